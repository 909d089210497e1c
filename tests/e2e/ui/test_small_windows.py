"""The small windows under a virtual X server: "Checking for Updates" of an interactive check, the
reduced progress window of an install run, "Update Options" of "/configure", and the wizard's
notification-area commands while it works hidden."""
import contextlib
import concurrent.futures
import time

import servers
from test_wizard import FILETIME_DAY, filetime_now, next_update_check

APP = "Tool"
WORK = "Installing Updates for Tool"
OPTIONS = "Update Options"
STATUS = "1501"
BUTTON = "2"
OPTIONS_PROMPT, OPTIONS_AUTO, OPTIONS_KIND, OPTIONS_FREQUENCY, OPTIONS_FOLDER = "1602", "1603", "1604", "1607", "1610"
UP_TO_DATE = 0xE0000011
CANCELED = 0xE0000008
TRAY_SHOW, TRAY_EXIT = "40008", "40009"


@contextlib.contextmanager
def running(road, args):
    """The updater runs in the background while the test drives its window; yields its future."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
        future = pool.submit(road.run, args)
        try:
            yield future
        finally:
            future.result(timeout=180)


def settings_key(road):
    return rf"HKCU\Software\Velmora\Kestrune Updater\{road.id}\Settings"


def stored_values(road):
    """Name -> (type, data) of every value under the application's "Settings" key."""
    rc, out = road.wine.reg_query(settings_key(road))
    values = {}
    for line in out.splitlines():
        parts = line.split(None, 2)
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2].strip() if len(parts) > 2 else "")
    return values


def test_update_options_store_exactly_what_changed_and_cancel_stores_nothing(road, drive):
    road.configure()
    road.wine.reg_add(settings_key(road), "AutoUpdatePolicy", "3", kind="REG_DWORD")
    before = stored_values(road)

    with running(road, "/configure") as run:
        drive("waitvisible", OPTIONS, "60")
        # Policy 3: the automatic choice with "Critical"; the drop-down belongs to that choice.
        assert "state=1" in drive("checked", OPTIONS, OPTIONS_AUTO)[0]
        assert "text=Critical" in drive("text", OPTIONS, OPTIONS_KIND)[0]
        assert "text=3" in drive("text", OPTIONS, OPTIONS_FREQUENCY)[0]
        drive("click", OPTIONS, OPTIONS_PROMPT, "sleep", "300")
        assert "enabled=0" in drive("text", OPTIONS, OPTIONS_KIND)[0]
        drive("settext", OPTIONS, OPTIONS_FREQUENCY, "9", "clicktext", OPTIONS, "Cancel", "waitgone", OPTIONS, "30")
    assert run.result().code == 0
    assert stored_values(road) == before

    # The same folder in other letters is no change; the new frequency reschedules the next check.
    with running(road, "/configure") as run:
        drive("waitvisible", OPTIONS, "60")
        drive("settext", OPTIONS, OPTIONS_FOLDER, road.win(road.downloads).upper(),
              "settext", OPTIONS, OPTIONS_FREQUENCY, "5", "combo", OPTIONS, OPTIONS_KIND, "0")
        accepted = filetime_now()
        drive("clicktext", OPTIONS, "OK", "waitgone", OPTIONS, "30")
    assert run.result().code == 0
    after = stored_values(road)
    assert after.pop("AutoUpdatePolicy") == ("REG_DWORD", "0x2")
    assert after.pop("CheckFrequency") == ("REG_DWORD", "0x5")
    assert abs(next_update_check(road) - (accepted + 5 * FILETIME_DAY)) < 120 * 10_000_000
    after.pop("NextUpdateCheck")
    before.pop("AutoUpdatePolicy")
    assert after == before, "nothing else is written (the downloads folder kept its value)"


def test_check_window_waits_on_up_to_date_and_closes_itself_when_cancelled(road, drive):
    road.configure()
    road.publish()  # a catalogue without updates
    with running(road, "/checknow") as run:
        drive("waitvisible", APP, "60", "waittext", APP, STATUS, "Your software is up to date", "60")
        # The window stays until the user answers: the button now reads OK.
        drive("sleep", "1000", "waittext", APP, BUTTON, "OK", "5", "click", APP, BUTTON, "waitgone", APP, "30")
    # Quiet: no end-of-run message box follows (the run would not have ended).
    assert run.result().code == UP_TO_DATE

    # A scheduled check asked for the wait dialog shows the same window.
    with running(road, "/silentall -nofreqcheck -showaitdlg") as run:
        drive("waittext", APP, STATUS, "Your software is up to date", "60", "click", APP, BUTTON, "waitgone", APP, "30")
    assert run.result().code == UP_TO_DATE

    road.publish(mode="stall", stall_after=3)
    with running(road, "/checknow") as run:
        drive("waitvisible", APP, "60", "waittext", APP, STATUS, "Checking for Updates", "10", "sleep", "1500",
              "click", APP, BUTTON, "waitgone", APP, "30")
    assert run.result().code == CANCELED
    assert road.copy_folder() is None, "a cancelled check hands nothing over"


def test_reduced_progress_window_cancels_the_download(road, drive):
    road.update("Slow", "1.0", resource=servers.Resource(road.installer, mode="stall", stall_after=30_000))
    road.publish()
    assert road.run("/silentall -nofreqcheck -reducedgui").code == 0
    drive("waitvisible", WORK, "90", "waitenabled", WORK, BUTTON, "30", "sleep", "1000")
    status = drive("text", WORK, STATUS)[0]
    assert "Downloading (" in status, status
    drive("click", WORK, BUTTON, "waitgone", WORK, "30")
    road.wait_for_copy_to_end()
    assert road.copy_result() == CANCELED
    assert [p.stat().st_size for p in road.downloads.rglob("*.part")] == [30_000]
    assert road.ran() == []


def test_hidden_wizard_waits_for_its_window_before_asking_for_credentials(road, drive, http):
    road.update("Locked", "1.0",
                resource=servers.Resource(road.installer, mode="auth", user="reader", password="s3cret"))
    road.publish()
    road.wine.reg_add(settings_key(road), "AutoUpdatePolicy", "2", kind="REG_DWORD")
    assert road.run("/silent").code == 0
    # The automatic run works in the notification area: the question waits for the window.
    deadline = time.time() + 90
    while "Waiting for the window to be shown: To access the update" not in road.log():
        assert time.time() < deadline, road.log()[-2500:]
        time.sleep(0.5)
    drive("sleep", "1500")
    assert drive("windows", "Connect to 127.0.0.1")[0] == "windows 0"
    assert "visible=0" in drive("state", WORK)[0]
    # The icon's show command brings the window back, and the question is asked over it.
    drive("menu", WORK, TRAY_SHOW, "waitvisible", "Connect to 127.0.0.1", "60")
    drive("settext", "Connect to 127.0.0.1", "1003", "reader", "settext", "Connect to 127.0.0.1", "1005", "s3cret",
          "clicktext", "Connect to 127.0.0.1", "OK", "waitgone", "Connect to 127.0.0.1", "30")
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0
    assert road.ran() == ["Locked"]


def test_tray_exit_ends_a_hidden_run(road, drive):
    road.update("Slow", "1.0", resource=servers.Resource(road.installer, mode="stall", stall_after=10_000))
    road.publish()
    road.wine.reg_add(settings_key(road), "AutoUpdatePolicy", "2", kind="REG_DWORD")
    assert road.run("/silent").code == 0
    deadline = time.time() + 90
    while not list(road.downloads.rglob("*.part")):
        assert time.time() < deadline, road.log()[-2500:]
        time.sleep(0.5)
    drive("wait", WORK, "30", "sleep", "1000")
    assert "visible=0" in drive("state", WORK)[0]
    drive("menu", WORK, TRAY_EXIT, "waitgone", WORK, "30")
    road.wait_for_copy_to_end()
    assert road.copy_result() == CANCELED
    assert road.ran() == []


def test_clean_up_with_its_window_removes_the_downloads_and_the_state(road):
    road.publish()  # nothing new; the check leaves its local copy of the catalogue behind
    assert road.run("/checknow -minuseractions").code == UP_TO_DATE
    assert (road.downloads / "updates.ini").exists()
    assert road.run("/clean").code == 0
    assert not road.downloads.exists()
    rc, _ = road.wine.reg_query(settings_key(road))
    assert rc != 0, "the application's settings are gone"
    log = road.log()
    assert "DoErase started." in log and "Cleaning without a window." not in log, log[-2000:]


def test_message_pop_up_is_seen_when_the_user_closes_it_not_when_its_timer_does(road, drive):
    today = time.gmtime()
    road.publish(general="MessageTitle=Maintenance\nMessageBody=Servers move on <b>Friday</b>.\n"
                         f"MessageExpirationDate={today.tm_mday}/{today.tm_mon}/{today.tm_year}\n")
    messages_key = rf"HKCU\Software\Velmora\Kestrune Updater\{road.id}\Messages"
    # Windows 7 has no toasts: a top-most tool window 10 pixels from the right and 60 from the
    # bottom of the 1024 x 768 desktop, which its timer closes after 30 s.
    with running(road, "/justcheck") as run:
        drive("waitvisible", "Messages", "60")
        assert "rect=634,538,1014,708" in drive("state", "Messages")[0]
        text = drive("text", "Messages", "100")[0]
        assert "Maintenance" in text and "Servers move on Friday." in text, text
        drive("waitgone", "Messages", "45")
    assert run.result().code == UP_TO_DATE
    assert road.wine.reg_query(messages_key)[1].count("REG_DWORD") == 0, "the timer does not mark it seen"
    # Shown again at the next check; closed by the user it is seen and stays away.
    with running(road, "/justcheck") as run:
        drive("waitvisible", "Messages", "60", "message", "Messages", "0x10", "0", "0", "waitgone", "Messages", "10")
    assert run.result().code == UP_TO_DATE
    assert road.wine.reg_query(messages_key)[1].count("REG_DWORD") == 1
    assert road.run("/justcheck").code == UP_TO_DATE
    assert drive("windows", "Messages")[0] == "windows 0"
