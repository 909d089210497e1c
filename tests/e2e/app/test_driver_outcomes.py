"""What one run leaves behind, seen through its exit code, the log, the registry and the programs it
starts: the automatic-update policy, "/set proxy", the application start around a check, toast links."""
import http.server as http_server
import pathlib
import shutil
import threading
import time
import uuid

import pytest

import servers
from wineenv import read_log

ROOT = r"HKCU\Software\Velmora\Kestrune Updater"
QUIET = {0, 1223, 1602, 0xE0000008, 0xE0000011, 0xE0000027}
UPDATES = (
    ";kxw; demo\r\n[General]\r\nConfigFileVersion=1.0\r\n"
    "[Tool 1.1]\r\nName=Tool 1.1\r\nSize=1000\r\nURL=http://127.0.0.1/files/tool-1.1.msi\r\n"
    "RegistryKey=HKLM\\Software\\Acme\\Tool\r\nVersion=1.1\r\n"
)


def write_config(wine, folder, app_id, url):
    config = (
        "[General]\r\n"
        f"ID={app_id}\r\nApplicationName=Driver Tool\r\n"
        f"URL={url}\r\n"
        f"AppDir={wine.windows_path(folder)}\r\n"
        f"DownloadsFolder={wine.windows_path(folder / 'downloads')}\r\n"
    )
    (folder / "updater.ini").write_text(config, encoding="latin-1")


@pytest.fixture
def app(wine, workdir, http):
    """An updater whose configuration points at the local server; logging on."""
    app_id = "E2E" + uuid.uuid4().hex[:10]
    write_config(wine, workdir, app_id, f"http://127.0.0.1:{http.port}/pub/updates.ini")
    exe = workdir / "updater.exe"
    assert wine.run_exe(exe, "/set loglevel Error|Info|Debug|Trace").code == 0
    yield exe, app_id
    wine.reg_delete(f"{ROOT}\\{app_id}")


def registry_string(wine, key, value):
    rc, out = wine.reg_query(key, value)
    if rc != 0:
        return None
    for line in out.splitlines():
        parts = line.split(None, 2)
        if len(parts) >= 2 and parts[0] == value and parts[1] == "REG_SZ":
            return parts[2] if len(parts) == 3 else ""
    return None


# --- automatic-update policy ----------------------------------------------------------------------

def test_policy_disable_stops_a_silent_check_before_the_network(wine, http, app):
    exe, app_id = app
    http.add("/pub/updates.ini", servers.Resource(UPDATES.encode("latin-1")))
    assert wine.run_exe(exe, "/set autoupdatepolicy Disable").code == 0
    # Even a next-check time long past does not make the check due.
    wine.wine(["reg", "add", f"{ROOT}\\{app_id}\\Settings", "/v", "NextUpdateCheck", "/t", "REG_BINARY",
               "/d", (116444736000000000).to_bytes(8, "little").hex(), "/f", "/reg:32"], check=True)
    assert wine.run_exe(exe, "/silent").code == 0xE0000019
    assert wine.run_exe(exe, "/silentcritical").code == 0xE0000019
    assert http.requests == []
    assert "LastError: 0xE0000019" in read_log(exe.parent / "updater.log")


def test_nofreqcheck_checks_despite_policy_disable(wine, http, app):
    exe, app_id = app
    http.add("/pub/updates.ini", servers.Resource(UPDATES.encode("latin-1")))
    assert wine.run_exe(exe, "/set autoupdatepolicy Disable").code == 0
    result = wine.run_exe(exe, "/silentall -nofreqcheck")
    assert result.code != 0xE0000019
    assert len(http.requests_for("/pub/updates.ini")) == 1
    assert "The updates configuration file lists 1 updates." in read_log(exe.parent / "updater.log")
    # "-nofreqcheck" leaves the schedule alone.
    rc, out = wine.reg_query(f"{ROOT}\\{app_id}\\Settings", "NextUpdateCheck")
    assert "NextUpdateCheck" not in out


# --- "/set proxy" ---------------------------------------------------------------------------------

def test_set_proxy_writes_and_an_empty_value_deletes(wine, app):
    exe, app_id = app
    settings = f"{ROOT}\\{app_id}\\Settings"
    assert wine.run_exe(exe, "/set proxy http://127.0.0.1:3128").code == 0
    assert registry_string(wine, settings, "Proxy") == "http://127.0.0.1:3128"
    assert wine.run_exe(exe, '/set proxy "user:pw@127.0.0.1:8080"').code == 0
    assert registry_string(wine, settings, "Proxy") == "user:pw@127.0.0.1:8080"
    assert wine.run_exe(exe, '/set proxy ""').code == 0
    assert registry_string(wine, settings, "Proxy") is None
    # Deleting what is not there is no failure either; a missing value is not an empty one.
    assert wine.run_exe(exe, '/set proxy ""').code == 0
    assert wine.run_exe(exe, "/set proxy").code == 0xE0000006


# --- the application started around a check ------------------------------------------------------

class GateServer:
    """Answers every request with 404, but first waits (bounded) until a marker file exists or the
    wait is over, and records whether the marker existed when it answered."""

    def __init__(self, marker, wait_seconds):
        self.marker = pathlib.Path(marker)
        self.wait_seconds = wait_seconds
        self.seen = []
        owner = self

        class Handler(http_server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def log_message(self, fmt, *args):
                pass

            def do_GET(self):  # noqa: N802
                deadline = time.monotonic() + owner.wait_seconds
                while not owner.marker.exists() and time.monotonic() < deadline:
                    time.sleep(0.05)
                owner.seen.append((self.path, owner.marker.exists()))
                self.send_response(404)
                self.send_header("Content-Length", "0")
                self.end_headers()

        self._server = http_server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
                                        daemon=True)
        self._timer = threading.Timer(servers.LIFETIME_SECONDS, self.stop)
        self._timer.daemon = True
        self._thread.start()
        self._timer.start()

    def stop(self):
        self._timer.cancel()
        self._server.shutdown()
        self._server.server_close()


def wait_for_lines(path, count, seconds=15):
    """The lines of the marker file once it has `count` of them (the started program is not waited for)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if path.exists():
            lines = path.read_text(encoding="utf-8").splitlines()
            if len(lines) >= count:
                return lines
        time.sleep(0.1)
    return path.read_text(encoding="utf-8").splitlines() if path.exists() else []


@pytest.fixture
def starter(wine, workdir):
    """A copy of the stand-in application and a fresh configuration for each gate server."""
    touch = workdir / "touchfile.exe"
    shutil.copy2(wine.build_dir / "tools" / "touchfile.exe", touch)
    app_id = "E2E" + uuid.uuid4().hex[:10]
    gates = []

    def make(wait_seconds):
        marker = workdir / f"marker-{len(gates)}.txt"
        gate = GateServer(marker, wait_seconds)
        gates.append(gate)
        write_config(wine, workdir, app_id, f"http://127.0.0.1:{gate.port}/pub/updates.ini")
        return gate, marker

    yield workdir / "updater.exe", touch, make
    for gate in gates:
        gate.stop()
    wine.reg_delete(f"{ROOT}\\{app_id}")


def test_restartapp_starts_the_application_after_a_failing_check(wine, starter):
    exe, touch, make = starter
    gate, marker = make(wait_seconds=1.5)
    args = (f'/silentall -nofreqcheck -restartapp "{wine.windows_path(touch)}" '
            f'-restartappcmd "{wine.windows_path(marker)} hello"')
    result = wine.run_exe(exe, args)
    assert result.code not in QUIET, result
    # The check ran first, without the application; the application came once, at the end.
    assert gate.seen == [("/pub/updates.ini", False)]
    assert wait_for_lines(marker, 1) == ["hello"]
    time.sleep(0.5)
    assert marker.read_text(encoding="utf-8").splitlines() == ["hello"]


@pytest.mark.parametrize("switches", ["/silentall -nofreqcheck -startappfirst", "/checknow -minuseractions -startappfirst",
                                      "/justcheck"])
def test_application_started_before_the_check_only(wine, starter, switches):
    exe, touch, make = starter
    gate, marker = make(wait_seconds=20)
    args = (f'{switches} -restartapp "{wine.windows_path(touch)}" '
            f'-restartappcmd "{wine.windows_path(marker)} first"')
    result = wine.run_exe(exe, args)
    assert result.code not in QUIET, result
    # The server answered only once the application had been started: it came before the check.
    assert gate.seen == [("/pub/updates.ini", True)]
    time.sleep(0.5)
    assert marker.read_text(encoding="utf-8").splitlines() == ["first"]


def test_restartapp_is_not_started_for_a_check_that_never_ran(wine, starter):
    """An invalid command line ends before any mode runs: nothing is started."""
    exe, touch, make = starter
    gate, marker = make(wait_seconds=0)
    args = f'/silentall -bogus -restartapp "{wine.windows_path(touch)}" -restartappcmd "{wine.windows_path(marker)} x"'
    assert wine.run_exe(exe, args).code == 0xE0000006
    time.sleep(1)
    assert not marker.exists()
    assert gate.seen == []


# --- toast links ----------------------------------------------------------------------------------

def test_toast_link_opens_its_target_with_parameters(wine, workdir):
    touch = workdir / "touchfile.exe"
    shutil.copy2(wine.build_dir / "tools" / "touchfile.exe", touch)
    marker = workdir / "link-marker.txt"
    args = f'velmora-morvask-updater2:/Link "{wine.windows_path(touch)}" "{wine.windows_path(marker)} x"'
    assert wine.run_exe(workdir / "updater.exe", args).code == 0
    assert wait_for_lines(marker, 1) == ["x"]


def test_toast_link_to_a_missing_target_still_ends_with_0(wine, workdir):
    missing = workdir / "no-such-program.exe"
    result = wine.run_exe(workdir / "updater.exe", f'velmora-morvask-updater2:/Link "{wine.windows_path(missing)}"')
    assert result.code == 0
