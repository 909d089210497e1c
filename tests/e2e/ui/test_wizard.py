"""The update wizard as a real window under a virtual X server: the temporary copy opens it after a
check hands over, and the window driver presses its buttons and reads its lists."""
import time

import servers

SHEET = "Found Updates for Tool"
WORK = "Installing Updates for Tool"
WELCOME_REMIND = "1102"
SELECTION_LIST = "1201"
SUMMARY_LIST = "1403"
NEXT_BUTTON = str(0x3024)
CANCEL_BUTTON = "2"
CANCELED = 0xE0000008
FILETIME_DAY = 864_000_000_000


def filetime_now():
    return int(time.time() * 10_000_000) + 116_444_736_000_000_000


def next_update_check(road):
    rc, out = road.wine.reg_query(rf"HKCU\Software\Velmora\Kestrune Updater\{road.id}\Settings", "NextUpdateCheck")
    assert rc == 0 and "REG_BINARY" in out, out
    return int.from_bytes(bytes.fromhex(out.split("REG_BINARY", 1)[1].split()[0]), "little")


def check_states(lines):
    """The check-box state image of each list item, as the driver reads them."""
    return [int(line.split("state=", 1)[1].split()[0]) for line in lines if line.startswith("item ")]


def test_remind_me_tomorrow_postpones_one_day_without_a_download(road, drive, http):
    road.update("A", "1.0")
    road.publish()
    assert road.run("/silent").code == 0
    drive("waitvisible", SHEET, "90", "waitenabled", SHEET, WELCOME_REMIND, "30")
    clicked = filetime_now()
    drive("click", SHEET, WELCOME_REMIND, "waitgone", SHEET, "30")
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0
    assert abs(next_update_check(road) - (clicked + FILETIME_DAY)) < 120 * 10_000_000
    assert http.requests_for(road.installer_path("A")) == []
    assert road.ran() == []


def test_checking_follows_dependencies_and_next_needs_a_selection(road, drive):
    road.update("Plugin", "1.0", "Depends=Base\n")
    road.update("Base", "1.0")
    road.publish()
    assert road.run("/checknow").code == 0
    drive("waitvisible", SHEET, "90", "waititems", SHEET, SELECTION_LIST, "2", "30")
    assert check_states(drive("listview", SHEET, SELECTION_LIST)) == [2, 2]
    # Unchecking what the plug-in needs unchecks the plug-in; checking the plug-in checks it again.
    drive("check", SHEET, SELECTION_LIST, "1", "1")
    assert check_states(drive("listview", SHEET, SELECTION_LIST)) == [1, 1]
    drive("check", SHEET, SELECTION_LIST, "0", "2")
    assert check_states(drive("listview", SHEET, SELECTION_LIST)) == [2, 2]
    # Unchecking the plug-in leaves what it needs alone.
    drive("check", SHEET, SELECTION_LIST, "0", "1")
    assert check_states(drive("listview", SHEET, SELECTION_LIST)) == [1, 2]
    assert [line.split("text=", 1)[1] for line in drive("listview", SHEET, SELECTION_LIST)
            if line.startswith("item ")][0].endswith("|Skip")
    drive("check", SHEET, SELECTION_LIST, "1", "1")
    # Nothing selected: Next keeps the page.
    drive("click", SHEET, NEXT_BUTTON, "sleep", "1000")
    assert check_states(drive("listview", SHEET, SELECTION_LIST)) == [1, 1]
    drive("clicktext", SHEET, "Cancel", "waitgone", SHEET, "30")
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0
    assert road.ran() == []


def test_cancel_during_the_download_keeps_a_part_file_to_resume(road, drive):
    road.update("Slow", "1.0", resource=servers.Resource(road.installer, mode="stall", stall_after=20_000))
    road.publish()
    assert road.run("/checknow").code == 0
    drive("waitvisible", SHEET, "90", "waititems", SHEET, SELECTION_LIST, "1", "30")
    drive("click", SHEET, NEXT_BUTTON, "waitvisible", WORK, "30", "waitenabled", WORK, CANCEL_BUTTON, "30",
          "sleep", "1500")
    drive("click", WORK, CANCEL_BUTTON, "waitgone", WORK, "20")
    road.wait_for_copy_to_end()
    assert road.copy_result() == CANCELED
    parts = list(road.downloads.rglob("*.part"))
    assert len(parts) == 1 and parts[0].stat().st_size == 20_000, parts
    assert road.ran() == []


def test_automatic_policy_works_hidden_and_ends_on_the_summary_when_asked(road, drive):
    road.configure("Flags=InstallSummaryAlways\r\n")
    road.update("A", "1.0")
    road.publish()
    road.wine.reg_add(rf"HKCU\Software\Velmora\Kestrune Updater\{road.id}\Settings", "AutoUpdatePolicy", "2",
                      kind="REG_DWORD")
    assert road.run("/silent").code == 0
    # No Welcome or selection page: the sheet works in the notification area and comes forward
    # with the summary, which the client configuration asks for after every installation.
    try:
        drive("waitvisible", WORK, "120", "waititems", WORK, SUMMARY_LIST, "1", "30")
    except AssertionError as failure:
        raise AssertionError(road.log()[-2500:]) from failure
    rows = [line.split("text=", 1)[1] for line in drive("listview", WORK, SUMMARY_LIST) if line.startswith("item ")]
    assert len(rows) == 1 and rows[0].startswith("A|"), rows
    status = rows[0].split("|", 1)[1]
    assert status and not status.startswith("Error:"), status
    texts = drive("texts", WORK)
    assert not any("Some of the updates failed" in line and "visible=1" in line for line in texts), texts
    assert road.ran() == ["A"]
    drive("clicktext", WORK, "Finish", "waitgone", WORK, "30")
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0
