"""The automation server out of process under Wine: a C++ host (tests/tools/comclient.exe) registers
the local server and the type library, creates the object, registers its callback and walks the
road: check, the update's details, selection, download with progress, installation, error texts."""
import hashlib
import pathlib
import shutil
import threading
import time
import uuid

import servers

UP_TO_DATE = 0xE0000011


class Host:
    def __init__(self, wine, http, folder):
        self.wine, self.http, self.folder = wine, http, folder
        self.id = "E2ECom" + uuid.uuid4().hex[:8]
        self.state_key = rf"HKCU\Software\KestruneE2E\{self.id}"
        self.order = folder / "order.txt"
        self.installer = (wine.build_dir / "tools" / "testinstaller.exe").read_bytes()
        self.path = f"/{self.id}/updates.ini"
        (folder / "updater.ini").write_text(
            f"[General]\r\nID={self.id}\r\nApplicationName=Tool\r\nApplicationVersion=1.0\r\n"
            f"URL=http://127.0.0.1:{http.port}{self.path}\r\nAppDir={wine.windows_path(folder)}\r\n"
            f"DownloadsFolder={wine.windows_path(folder / 'downloads')}\r\n", encoding="latin-1")
        assert wine.run_exe(folder / "updater.exe", "/set loglevel Error|Info|Debug|Trace").code == 0

    def publish(self, with_update=True):
        section = ""
        if with_update:
            self.http.add(f"/{self.id}/a.exe", servers.Resource(self.installer))
            args = (f'/regkey {self.state_key}\\A /regvalue Version /regdata 2.1 '
                    f'/order "{self.wine.windows_path(self.order)}" /name A')
            section = (f"[Tool A]\r\nName=Tool A\r\nVersion=2.1\r\nSize={len(self.installer)}\r\n"
                       f"SHA256={hashlib.sha256(self.installer).hexdigest().upper()}\r\n"
                       f"URL=http://127.0.0.1:{self.http.port}/{self.id}/a.exe\r\nCommandLine={args}\r\n"
                       f"RegistryKey={self.state_key}\\A\\Version\r\nVersion=2.1\r\n")
        self.http.add(self.path, servers.Resource((";kxw;\r\n" + section).encode("latin-1"),
                                                  last_modified=time.time() - 3600 + len(self.http.requests)))

    def drive(self, *steps):
        proc = self.wine.wine([str(self.wine.build_dir / "tools" / "comclient.exe"),
                               self.wine.windows_path(self.folder / "updater.exe"), *steps], timeout=240)
        out = proc.stdout.decode("utf-8", errors="replace").splitlines()
        assert proc.returncode == 0, "\n".join(out)
        return out


def line(lines, prefix):
    found = [entry for entry in lines if entry.startswith(prefix)]
    assert found, f"no {prefix!r} in:\n" + "\n".join(lines)
    return found[0]


def test_a_host_checks_downloads_and_installs_through_the_server(wine, http, workdir):
    host = Host(wine, http, workdir)
    host.publish()
    out = host.drive("check", "info", "0", "info", "1", "download", "select", "0", "1", "download", "launch", "0",
                     "info", "0", "error", "0xE0000011", "error", "5", "error", "0x12345678", "error", "0xE0000019", "dispatch", "0xE0000011",
                     "release")
    assert line(out, "create hr=") == "create hr=00000000"
    assert line(out, "check ") == "check hr=00000000 count=1 download=1 ret=00000000 list=1"
    infos = [entry for entry in out if entry.startswith("info ")]
    size = len(host.installer)
    assert infos[0] == f"info hr=00000000 name=Tool A display=Tool A version=2.1 size={size} basic=Tool A|2.1|{size} state=0"
    assert infos[1] == "info hr=80004005", "index equal to the count"
    downloads = [entry for entry in out if entry.startswith("download ")]
    assert downloads == ["download hr=00000000 ret=00000000"] * 2, "nothing selected first: nothing downloaded"
    # The plan is announced, then the download reports its actions and all the file's bytes.
    plan = out.index("cb register 101 0")
    assert out[plan:plan + 3] == ["cb register 101 0", f"cb register 1 {size}", "cb register 102 0"], out
    assert f"cb progress 1 {size}" in out and "cb end 1 00000000" in out and "cb begin 105" in out
    assert line(out, "launch ") == "launch hr=00000000 ret=00000000"
    assert "cb register 103 0" in out and "cb register 2 0" in out
    assert host.order.read_text().split() == ["A"]
    # Detected afterwards: the installer's value is there and the update's state is 0.
    rc, value = wine.reg_query(rf"{host.state_key}\A", "Version")
    assert rc == 0 and "2.1" in value, value
    assert infos[2].endswith(" state=0"), infos
    # The host's check and installation are recorded for the machine's administrator.
    results = wine.reg_tree(rf"HKCU\Software\Velmora\Kestrune Updater\{host.id}\Results")
    assert results[""]["LastCheckResult"] == 0 and results[""]["LastInstallResult"] == 0, results
    assert results["Tool A"]["Result"] == 0 and results["Tool A"]["Version"] == "2.1", results
    # Only the selected download fetched the installer; the first, with nothing selected, fetched nothing.
    assert len(http.requests_for(f"/{host.id}/a.exe")) == 1
    assert line(out, "error text=Your") == "error text=Your software is up to date"
    texts = [entry for entry in out if entry.startswith("error text=")]
    # A Windows code gets the system's text; a code nobody knows its decimal form, and one of the
    # updater's own codes without a text its hexadecimal form, as in the updater's log.
    assert texts[1:] == ["error text=Access denied.", "error text=305419896", "error text=0xE0000019"], texts
    assert line(out, "dispatch ") == "dispatch hr=00000000 text=Your software is up to date"
    assert "released" in out
    # Releasing the last object ends the server.
    deadline = time.time() + 30
    log = workdir / "updater.log"
    from wineenv import read_log
    while "Updater finished. Mode: 20. Return code: 0" not in read_log(log):
        assert time.time() < deadline, read_log(log)[-2000:]
        time.sleep(0.3)
    from road import windows_processes_alive
    while windows_processes_alive("/automation -clsid"):
        assert time.time() < deadline, "the server process stayed"
        time.sleep(0.3)


def test_nothing_to_update_and_a_cancelling_host(wine, http, workdir):
    host = Host(wine, http, workdir)
    host.publish(with_update=False)
    out = host.drive("check", "release")
    assert line(out, "check ") == f"check hr=00000000 count=0 download=0 ret={UP_TO_DATE:08X} list=0"

    # A host that cancels once 20,000 bytes came: the download ends with 0xE0000008.
    host.installer = host.installer * 8
    host.publish()
    host.http.add(f"/{host.id}/a.exe", servers.Resource(host.installer, mode="stall", stall_after=60_000))
    out = host.drive("check", "select", "0", "1", "cancel", "20000", "download", "release")
    assert line(out, "download ") == "download hr=00000000 ret=E0000008"
    parts = list((workdir / "downloads").rglob("*.part"))
    assert len(parts) == 1 and parts[0].stat().st_size >= 20000, parts


def test_the_server_refuses_a_missing_or_malformed_class_id(wine, workdir):
    (workdir / "updater.ini").write_text("[General]\r\nID=E2EComBad\r\nApplicationName=Tool\r\n"
                                         "URL=http://127.0.0.1:9/u.ini\r\nDownloadsFolder=C:\\d\r\nAppDir=C:\\\r\n",
                                         encoding="latin-1")
    assert wine.run_exe(workdir / "updater.exe", "/automation").code == 0xE0000007
    assert wine.run_exe(workdir / "updater.exe", "/automation -clsid not-a-guid -Embedding").code == 0xE0000007


def test_a_server_nobody_connects_to_ends_after_a_minute(wine, http, workdir):
    host = Host(wine, http, workdir)
    started = time.time()
    code = wine.run_exe(workdir / "updater.exe", "/automation -clsid {169CF221-57E4-4FCF-BC3B-A3B6B3A3BB52} -Embedding",
                        timeout=150).code
    assert code == 0x80004004  # E_ABORT
    assert time.time() - started >= 59


def test_the_proxy_stub_library_marshals_the_interfaces(wine, http, workdir):
    host = Host(wine, http, workdir)
    host.publish(with_update=False)
    clsid = "{169CF221-57E4-4FCF-BC3B-A3B6B3A3BB52}"
    # Without the library beside the updater a server asked to register it cannot start.
    assert wine.run_exe(workdir / "updater.exe", f"/automation -clsid {clsid} -registerproxystub -Embedding").code == \
        0x80004005
    import shutil
    shutil.copy2(wine.updater.parent / "Updater-comproxystub.dll", workdir / "Updater-comproxystub.dll")
    # A host that marshals through the library's proxies and stubs (the callback's stub included).
    out = host.drive("--localproxystub", wine.windows_path(workdir / "Updater-comproxystub.dll"), "check", "error",
                     "0xE0000011", "release")
    assert line(out, "localproxystub ") == "localproxystub hr=00000000"
    assert line(out, "check ") == f"check hr=00000000 count=0 download=0 ret={UP_TO_DATE:08X} list=0"
    assert line(out, "error ") == "error text=Your software is up to date"
    # A server that registers the library's proxies and stubs for itself.
    out = host.drive("--proxystub", "check", "error", "0xE0000011", "release")
    assert line(out, "check ") == f"check hr=00000000 count=0 download=0 ret={UP_TO_DATE:08X} list=0"
    assert line(out, "error ") == "error text=Your software is up to date"


def test_script_hosts_call_the_server_by_name(wine, http, workdir):
    host = Host(wine, http, workdir)
    host.publish()
    assert host.drive("--register") == ["registered"]
    here = pathlib.Path(__file__).parent
    for script in ("script_host.js", "script_host.vbs"):
        shutil.copy2(here / script, workdir / script)

    def run(script):
        proc = wine.wine(["cscript", "//nologo", wine.windows_path(workdir / script)], timeout=240)
        out = proc.stdout.decode("utf-8", errors="replace").splitlines()
        assert proc.returncode == 0, out
        return out

    size = len(host.installer)
    # JScript cannot take the check's counts back, only the list it returns.
    assert run("script_host.js") == [
        "check list=1", f"info name=Tool A display=Tool A version=2.1 size={size} state=0", "beyond 80004005",
        "download ret=0", "text=Your software is up to date"]
    assert len(http.requests_for(f"/{host.id}/a.exe")) == 1
    assert len(list((workdir / "downloads").rglob("a.exe"))) == 1
    # VBScript gets the counts through its variables; the installer is there already.
    assert run("script_host.vbs") == ["check count=1 download=0 ret=0", "name=Tool A"]


def test_a_second_host_checking_while_a_check_runs_is_told_the_updater_is_busy(wine, http, workdir):
    host = Host(wine, http, workdir)
    host.publish()
    gate = workdir / "gate"
    first = {}
    # The first host keeps the server inside its check: its callback waits for the gate.
    runner = threading.Thread(target=lambda: first.update(out=host.drive("hold", wine.windows_path(gate), "check",
                                                                          "release")))
    runner.start()
    deadline = time.time() + 60
    while not (workdir / "gate.ready").exists():
        assert time.time() < deadline and runner.is_alive(), first
        time.sleep(0.2)
    try:
        second = host.drive("check", "release")
    finally:
        gate.write_text("go")
        runner.join(120)
    # The counts travel back as [out] values: zero, as nothing was counted.
    assert line(second, "check ") == "check hr=00000000 count=0 download=0 ret=E0000027 list=0"
    out = first["out"]
    assert out.index("cb held") < out.index("cb released") < out.index(line(out, "check "))
    assert line(out, "check ") == "check hr=00000000 count=1 download=1 ret=00000000 list=1"
