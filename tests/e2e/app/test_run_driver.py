"""The life of one updater process: configuration, /set, the schedule, instance guards, the log."""
import subprocess
import time
import uuid

import pytest

from wineenv import read_log

ROOT = r"HKCU\Software\Velmora\Kestrune Updater"


def write_config(folder, app_id, **extra):
    values = {
        "ID": app_id,
        "ApplicationName": "Demo Tool",
        "ApplicationVersion": "1.0",
        "CompanyName": "Acme",
        "URL": "http://127.0.0.1:9/updates.ini",
        "AppDir": "C:\\e2e\\apps",
        "DownloadsFolder": "%TEMP%\\DemoDownloads",
    }
    values.update(extra)
    lines = ["[General]"] + [f"{k}={v}" for k, v in values.items() if v is not None]
    (folder / "updater.ini").write_text("\r\n".join(lines) + "\r\n", encoding="latin-1")


@pytest.fixture
def app(wine, workdir):
    app_id = "E2E" + uuid.uuid4().hex[:10]
    write_config(workdir, app_id)
    yield workdir, app_id
    wine.reg_delete(f"{ROOT}\\{app_id}")


def run(wine, folder, args):
    return wine.run_exe(folder / "updater.exe", args)


def dword(wine, key, value):
    rc, out = wine.reg_query(key, value)
    if rc != 0:
        return None
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[0] == value and parts[1] == "REG_DWORD":
            return int(parts[2], 16)
    return None


def test_set_autoupdatepolicy_values(wine, app):
    folder, app_id = app
    settings = f"{ROOT}\\{app_id}\\Settings"
    assert run(wine, folder, "/set autoupdatepolicy AutoCritical").code == 0
    assert dword(wine, settings, "AutoUpdatePolicy") == 3
    assert run(wine, folder, "/set autoupdatepolicy Never").code == 0xE0000006
    assert dword(wine, settings, "AutoUpdatePolicy") == 3
    assert run(wine, folder, "/set loglevel Error|Debug").code == 0
    assert dword(wine, settings, "LogLevel") == 5


def test_disable_forbidden_by_client_flag(wine, workdir):
    app_id = "E2E" + uuid.uuid4().hex[:10]
    write_config(workdir, app_id, Flags="NoDisableAutoCheck")
    try:
        assert run(wine, workdir, "/set autoupdatepolicy Disable").code == 0xE000002E
        assert dword(wine, f"{ROOT}\\{app_id}\\Settings", "AutoUpdatePolicy") is None
    finally:
        wine.reg_delete(f"{ROOT}\\{app_id}")


def test_silent_check_skipped_by_policy_and_schedule(wine, app):
    folder, app_id = app
    assert run(wine, folder, "/set autoupdatepolicy Disable").code == 0
    assert run(wine, folder, "/silent").code == 0xE0000019
    assert run(wine, folder, "/set autoupdatepolicy Prompt").code == 0
    # A next check one day ahead: not due.
    future = int((time.time() + 86400 + 11644473600) * 10_000_000)
    data = future.to_bytes(8, "little").hex()
    wine.wine(["reg", "add", f"{ROOT}\\{app_id}\\Settings", "/v", "NextUpdateCheck", "/t", "REG_BINARY",
               "/d", data, "/f", "/reg:32"], check=True)
    assert run(wine, folder, "/silent").code == 0xE000001A


def test_silent_check_records_the_updater_copy_and_logs(wine, app):
    folder, app_id = app
    assert run(wine, folder, "/set loglevel Error|Info|Debug|Trace").code == 0
    assert run(wine, folder, "/set autoupdatepolicy Disable").code == 0
    assert run(wine, folder, "/silent").code == 0xE0000019
    exe = wine.windows_path(folder / "updater.exe")
    assert dword(wine, f"{ROOT}\\{app_id}", exe) == 0
    log = read_log(folder / "updater.log")
    assert "Running updater. Mode: 1" in log
    assert "Updater finished. Mode: 1. Return code: 3758096409" in log
    assert "LastError: 0xE0000019" in log


def test_checking_mode_without_downloads_folder_is_invalid_configuration(wine, workdir):
    app_id = "E2E" + uuid.uuid4().hex[:10]
    write_config(workdir, app_id, DownloadsFolder=None)
    try:
        assert run(wine, workdir, "/silentall -nofreqcheck").code == 0xE0000007
        assert run(wine, workdir, "/justcheck").code == 0xE0000007
    finally:
        wine.reg_delete(f"{ROOT}\\{app_id}")


def test_empty_command_line_uses_the_default_command_line(wine, workdir):
    app_id = "E2E" + uuid.uuid4().hex[:10]
    write_config(workdir, app_id, DefaultCommandLine="/set autoupdatepolicy AutoAll")
    try:
        assert run(wine, workdir, "").code == 0
        assert dword(wine, f"{ROOT}\\{app_id}\\Settings", "AutoUpdatePolicy") == 2
    finally:
        wine.reg_delete(f"{ROOT}\\{app_id}")


def test_empty_command_line_without_configuration(wine, workdir):
    assert run(wine, workdir, "").code == 0xE0000002


def test_second_instance_activates_the_first(wine, app):
    folder, app_id = app
    exe = wine.windows_path(folder / "updater.exe")
    block = exe.replace("\\", "_")
    holder = subprocess.Popen([str(wine.wine_run), str(wine.build_dir / "tools" / "guardholder.exe"), block, "60"],
                              env=wine.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        assert holder.stdout.readline().strip() == "ready"
        result = run(wine, folder, "/checknow -startminimized")
        assert result.code == 0xE0000027
        line = holder.stdout.readline().strip()
        assert line == "activated wparam=1 lparam=1"
    finally:
        holder.kill()
        holder.wait(timeout=30)


def test_toast_command_purges_the_seen_mark(wine, app):
    folder, app_id = app
    key = f"{ROOT}\\{app_id}\\Messages"
    wine.reg_add(key, "ABCDEF", 0, kind="REG_DWORD")
    wine.reg_add(key, "KEEP", 0, kind="REG_DWORD")
    result = run(wine, folder, f"velmora-morvask-updater2:/Command PurgeNotifSeen {app_id} ABCDEF")
    assert result.code == 0
    assert dword(wine, key, "ABCDEF") is None
    assert dword(wine, key, "KEEP") == 0


def test_set_rememberpassword_writes_a_new_pair_once(wine, app):
    folder, app_id = app
    assert run(wine, folder, "/set rememberpassword alice s3cret").code == 0
    assert run(wine, folder, "/set rememberpassword alice s3cret").code == 0xE0000013
    assert run(wine, folder, "/set rememberpassword alice").code == 0xE0000006
    rc, out = wine.reg_query(f"{ROOT}\\{app_id}\\Settings", "UserDetailsU")
    assert rc == 0 and "UserDetailsU" in out
    assert "s3cret" not in out
