"""The shared check sequence: the updates configuration file is fetched (conditionally once a local
copy exists) and read; its failures end the run with their codes."""
import time
import uuid

import pytest

import servers
from wineenv import read_log

ROOT = r"HKCU\Software\Velmora\Kestrune Updater"

UPDATES = (
    ";kxw; demo\r\n[General]\r\nConfigFileVersion=1.0\r\n"
    "[Tool 1.1]\r\nName=Tool 1.1\r\nSize=1000\r\nURL=http://127.0.0.1/files/tool-1.1.msi\r\n"
    "RegistryKey=HKLM\\Software\\Acme\\Tool\r\nVersion=1.1\r\n"
    "[Tool 1.0.1]\r\nName=Tool 1.0.1\r\nSize=900\r\nURL=http://127.0.0.1/files/tool-1.0.1.msi\r\n"
    "RegistryKey=HKLM\\Software\\Acme\\Tool\r\nVersion=1.0.1\r\n"
)


@pytest.fixture
def checker(wine, workdir, http):
    app_id = "E2E" + uuid.uuid4().hex[:10]
    downloads = workdir / "downloads"
    config = (
        "[General]\r\n"
        f"ID={app_id}\r\nApplicationName=Tool\r\n"
        f"URL=http://127.0.0.1:{http.port}/pub/updates.ini\r\n"
        f"AppDir={wine.windows_path(workdir)}\r\n"
        f"DownloadsFolder={wine.windows_path(downloads)}\r\n"
    )
    (workdir / "updater.ini").write_text(config, encoding="latin-1")
    exe = workdir / "updater.exe"
    assert wine.run_exe(exe, "/set loglevel Error|Info|Debug|Trace").code == 0
    yield exe, app_id, downloads
    wine.reg_delete(f"{ROOT}\\{app_id}")


def last_modified_value(wine, app_id):
    rc, out = wine.reg_query(f"{ROOT}\\{app_id}\\Settings", "LastModified")
    return out.split()[-1] if rc == 0 and "LastModified" in out else None


def test_fetches_reads_and_then_asks_conditionally(wine, http, checker):
    exe, app_id, downloads = checker
    http.add("/pub/updates.ini", servers.Resource(UPDATES.encode("latin-1"), last_modified=time.time() - 7200))
    first = wine.run_exe(exe, "/justcheck")
    assert first.code == 0  # neither update is installed here: both apply
    assert (downloads / "updates.ini").read_bytes() == UPDATES.encode("latin-1")
    assert last_modified_value(wine, app_id) is not None
    log = read_log(exe.parent / "updater.log")
    assert "The updates configuration file lists 2 updates." in log

    second = wine.run_exe(exe, "/justcheck")
    assert second.code == 0
    requests = http.requests_for("/pub/updates.ini")
    assert len(requests) == 2
    assert "If-Modified-Since" not in requests[0].headers
    assert "If-Modified-Since" in requests[1].headers
    assert "not modified; using the local copy" in read_log(exe.parent / "updater.log")


def test_file_without_marker_fails_and_forgets_the_server_time(wine, http, checker):
    exe, app_id, _ = checker
    http.add("/pub/updates.ini", servers.Resource(UPDATES.encode("latin-1")))
    assert wine.run_exe(exe, "/justcheck").code == 0
    assert last_modified_value(wine, app_id) is not None
    # The publisher's server now serves an error page with status 200 and a newer time.
    http.add("/pub/updates.ini", servers.Resource(b"<html>maintenance</html>", last_modified=time.time()))
    assert wine.run_exe(exe, "/justcheck").code == 0xE000000E
    assert last_modified_value(wine, app_id) is None
    assert "LastError: 0xE000000E" in read_log(exe.parent / "updater.log")


def test_missing_updates_file_and_bad_section(wine, http, checker):
    exe, _, _ = checker
    assert wine.run_exe(exe, "/justcheck").code == 0xE0000018  # 404
    http.add("/pub/updates.ini", servers.Resource(b";kxw;\r\n[Broken]\r\nSize=10\r\n"))
    assert wine.run_exe(exe, "/justcheck").code == 0xE0000014  # a section without Name


def test_updates_disabled_by_the_publisher(wine, http, checker):
    exe, _, _ = checker
    http.add("/pub/updates.ini",
             servers.Resource(b";kxw;\r\n[General]\r\nUpdatesDisabled=Updates are paused for maintenance.\r\n"))
    assert wine.run_exe(exe, "/justcheck").code == 0xE000002D
    log = read_log(exe.parent / "updater.log")
    assert "Updates are paused for maintenance. LastError: 0xE000002D" in log
