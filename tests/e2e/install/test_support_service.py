"""The support service's registration through the real service control manager of the prefix:
"/installservice", "/configservice -name" and "/uninstallservice"."""
import uuid

SERVICE_ACCESS = 0xE000001B


def query(wine, name):
    proc = wine.wine([str(wine.build_dir / "tools" / "svcquery.exe"), name])
    return dict(line.split("=", 1) for line in proc.stdout.decode("utf-8", errors="replace").splitlines() if "=" in line)


def test_install_config_and_uninstall_the_support_service(wine, workdir):
    name = "E2ESupport" + uuid.uuid4().hex[:8]
    (workdir / "updater.ini").write_text(f"[General]\r\nID={name}\r\nApplicationName=Tool\r\nSupportServiceName={name}\r\n",
                                         encoding="latin-1")
    exe = wine.windows_path(workdir / "updater.exe")
    try:
        assert wine.run_exe(workdir / "updater.exe", "/installservice").code == 0
        service = query(wine, name)
        assert service["name"] == name
        # The program's path is quoted: a path with blanks is never read as a shorter program.
        assert service["binary"] == f'"{exe}" /runservice'
        assert service["type"] == "16 start=3 error=1 account=LocalSystem"  # own process, on demand, normal
        assert service["description"] == "updater support service"
        # Granting access to a service that does not exist fails and creates nothing.
        missing = "E2EMissing" + uuid.uuid4().hex[:8]
        assert wine.run_exe(workdir / "updater.exe", f"/configservice -name {missing}").code == SERVICE_ACCESS
        assert query(wine, missing) == {"error": "1060"}
        assert wine.run_exe(workdir / "updater.exe", f"/configservice -name {name}").code == 0
        assert query(wine, name)["binary"] == f'"{exe}" /runservice', "the grant changes nothing else"
    finally:
        assert wine.run_exe(workdir / "updater.exe", "/uninstallservice").code == 0
    assert query(wine, name) == {"error": "1060"}
    # Without a service there is nothing to remove: the Windows error says so.
    assert wine.run_exe(workdir / "updater.exe", "/uninstallservice").code == 1060


# ---- The road through the service -------------------------------------------------------------------

import hashlib  # noqa: E402
import time  # noqa: E402

import pytest  # noqa: E402

import servers  # noqa: E402
from signing import SigningMaterial, trusted_root_of  # noqa: E402
from wineenv import read_log  # noqa: E402

SERVICE_ERROR = 0xE0000020


class ServiceRoad:
    """An application whose update is marked Advertises, a support service registered for its
    updater, and the publisher's server with the catalogue and the installer."""

    def __init__(self, wine, http, folder, material, updater, installer):
        self.wine, self.http, self.folder = wine, http, folder
        self.id = "E2ESvc" + uuid.uuid4().hex[:8]
        self.service = self.id
        self.downloads = folder / "downloads"
        self.order = folder / "order.txt"
        self.state_key = rf"HKCU\Software\KestruneE2E\{self.id}"
        shutil_copy(updater, folder / "updater.exe")
        self.installer = installer.read_bytes()
        self.updates = f"/{self.id}/updates.ini"
        (folder / "updater.ini").write_text(
            f"[General]\r\nID={self.id}\r\nApplicationName=Tool\r\nApplicationVersion=1.0\r\n"
            f"URL=http://127.0.0.1:{http.port}{self.updates}\r\nAppDir={wine.windows_path(folder)}\r\n"
            f"DownloadsFolder={wine.windows_path(self.downloads)}\r\nSupportServiceName={self.service}\r\n",
            encoding="latin-1")
        assert self.run("/set loglevel Error|Info|Debug|Trace") == 0
        self.publish()

    def publish(self, server_file_name="a.exe", flags="Advertises", extra_args="", command_line=None, detect_key=None,
                general=""):
        self.http.add(f"/{self.id}/installer", servers.Resource(self.installer))
        if command_line is None:
            command_line = (f'/regkey {self.state_key}\\A /regvalue Version /regdata 1.0 '
                            f'/order "{self.wine.windows_path(self.order)}" /name A {extra_args}').strip()
        section = (f"[A]\r\nName=A\r\nSize={len(self.installer)}\r\n"
                   f"SHA256={hashlib.sha256(self.installer).hexdigest().upper()}\r\n"
                   f"URL=http://127.0.0.1:{self.http.port}/{self.id}/installer\r\nServerFileName={server_file_name}\r\n"
                   f"CommandLine={command_line}\r\nRegistryKey={detect_key or self.state_key + chr(92) + 'A' + chr(92) + 'Version'}\r\n"
                   f"Version=1.0\r\nFlags={flags}\r\n")
        body = (";kxw;\r\n" + general + section).encode("latin-1")
        self.http.add(self.updates, servers.Resource(body, last_modified=time.time() - 600 + len(self.http.requests)))
        return body

    def run(self, args):
        return self.wine.run_exe(self.folder / "updater.exe", args).code

    def log(self):
        path = self.folder / "updater.log"
        return read_log(path) if path.exists() else ""

    def wait_for(self, text, timeout=120):
        deadline = time.time() + timeout
        while text not in self.log():
            assert time.time() < deadline, f"no {text!r} in the log:\n" + self.log()[-3000:]
            time.sleep(0.3)

    def ran(self):
        return self.order.read_text().split() if self.order.exists() else []

    def channel(self, command, section, config, url):
        proc = self.wine.wine([str(self.wine.build_dir / "tools" / "channelclient.exe"), self.service, command, section,
                               config, url], timeout=180)
        out = proc.stdout.decode(errors="replace")
        assert out.startswith("result="), out
        return int(out.split("=", 1)[1])


def shutil_copy(source, target):
    import shutil
    shutil.copy2(source, target)


@pytest.fixture(scope="module")
def material(tmp_path_factory):
    return SigningMaterial(tmp_path_factory.mktemp("signing"))


@pytest.fixture
def service_road(wine, http, material, request):
    signed_updater, installer_signer = request.param
    updater = material.sign(wine.updater, "publisher", f"updater-{uuid.uuid4().hex[:6]}.exe") if signed_updater \
        else wine.updater
    testinstaller = wine.build_dir / "tools" / "testinstaller.exe"
    installer = material.sign(testinstaller, installer_signer, f"inst-{uuid.uuid4().hex[:6]}.exe")
    folder = wine.new_app_folder("svc-" + uuid.uuid4().hex[:8])
    with trusted_root_of(wine, material):
        road = ServiceRoad(wine, http, folder, material, updater, installer)
        assert road.run("/installservice") == 0
        try:
            yield road
        finally:
            road.run("/uninstallservice")
            wine.reg_delete(rf"HKCU\Software\Velmora\Kestrune Updater\{road.id}")
            wine.reg_delete(road.state_key)
            import shutil
            shutil.rmtree(folder, ignore_errors=True)


@pytest.mark.parametrize("service_road", [(True, "publisher")], indirect=True)
def test_an_advertised_update_is_installed_by_the_service_and_hostile_commands_are_refused(service_road):
    road = service_road
    assert road.run("/silentall -nofreqcheck -nogui") == 0
    road.wait_for("Updater finished. Mode: 8.")
    log = road.log()
    assert "Installing using helper service." in log and "Service started." in log, log[-3000:]
    assert "Command install(\"A\"," in log and "Updater finished. Mode: 18. Return code: 0" in log, log[-3000:]
    assert road.ran() == ["A"]
    assert "Updater finished. Mode: 8. Return code: 0" in road.log()

    # A standard user's own client may name the update, nothing else.
    config = road.wine.windows_path(road.folder / "updater.ini")
    url = f"http://127.0.0.1:{road.http.port}{road.updates}"
    other_config = road.wine.windows_path(road.folder / "other.ini")
    assert road.channel("Install", "A", config, url) == SERVICE_ERROR
    # Texts are cut to 1,039 characters on their way.
    assert road.channel("install", "x" * 2000, config, url) == SERVICE_ERROR
    assert 'Command install("' + "x" * 1039 + '", ' in road.log()
    assert road.channel("install", "A", other_config, url) == SERVICE_ERROR
    assert road.channel("install", "A", config, f"http://127.0.0.1:{road.http.port}/evil/updates.ini") == SERVICE_ERROR
    # A catalogue whose installer name leads out of the downloads folder.
    evil = road.folder / "evil.exe"
    evil.write_bytes(road.installer)
    road.publish(server_file_name="..\\..\\evil.exe")
    assert road.channel("install", "A", config, url) == SERVICE_ERROR
    log = road.log()
    for reason in ("Unknown server command Install", "is not the service's", "is not one the service's configuration names"):
        assert reason in log, reason
    # The catalogue reader already refuses such a name; the server's own folder rule stands behind it.
    assert "Failed to parse the server config file" in log or "lies outside the downloads folder" in log
    # The installer the client downloaded, changed afterwards by the user.
    road.publish()
    downloaded = next(road.downloads.rglob("a.exe"))
    changed = bytearray(downloaded.read_bytes())
    changed[len(changed) // 2] ^= 0xFF
    downloaded.write_bytes(bytes(changed))
    assert road.channel("install", "A", config, url) == SERVICE_ERROR
    assert "fails its check" in road.log(), road.log()[-2000:]
    assert road.ran() == ["A"], "no refused command ran anything"


@pytest.mark.parametrize("service_road,reason", [((False, "publisher"), "the updater carries no trusted signature"),
                                                 ((True, "other"), "is not signed by the updater's publisher")],
                         indirect=["service_road"])
def test_the_server_refuses_an_unsigned_updater_and_another_publishers_installer(service_road, reason):
    road = service_road
    config = road.wine.windows_path(road.folder / "updater.ini")
    url = f"http://127.0.0.1:{road.http.port}{road.updates}"
    # The installer is downloaded first by an ordinary run that leaves it in the downloads folder.
    assert road.run("/silentall -nofreqcheck -nogui -justdownload") == 0
    road.wait_for("Updater finished. Mode: 8.")
    assert list(road.downloads.rglob("a.exe"))
    assert road.channel("install", "A", config, url) == SERVICE_ERROR
    assert "The support server refuses the command: " in road.log() and reason in road.log(), road.log()[-3000:]
    assert road.ran() == []


@pytest.mark.parametrize("service_road", [(True, "publisher")], indirect=True)
def test_a_server_that_requires_signatures_checks_the_file_it_reads(service_road, material):
    road = service_road
    config = road.folder / "updater.ini"
    config.write_text(config.read_text(encoding="latin-1") + "UpdatesFileSignature=Required\r\n", encoding="latin-1")
    until = time.strftime("%d/%m/%Y", time.gmtime(time.time() + 7 * 86400))
    body = road.publish(general=f"[General]\r\nSerial=5\r\nValidUntil={until}\r\n")
    road.http.add(road.updates + ".p7s", servers.Resource(material.sign_detached(body)))
    assert road.run("/silentall -nofreqcheck -nogui") == 0
    road.wait_for("Updater finished. Mode: 8.")
    assert "Updater finished. Mode: 18. Return code: 0" in road.log(), road.log()[-3000:]
    # The check and the server each verified the file they read.
    assert road.log().count("The updates configuration file is signed by the publisher (Serial 5,") == 2
    assert road.ran() == ["A"]

    # The server reads the file again for every command: signed by another publisher, it is refused.
    road.http.add(road.updates + ".p7s", servers.Resource(material.sign_detached(body, "other")))
    url = f"http://127.0.0.1:{road.http.port}{road.updates}"
    assert road.channel("install", "A", road.wine.windows_path(config), url) == SERVICE_ERROR
    assert "The updates configuration file is refused: it is signed by " in road.log(), road.log()[-3000:]
    assert road.ran() == ["A"]


@pytest.mark.parametrize("service_road", [(True, "publisher")], indirect=True)
def test_without_advertises_or_a_service_name_the_update_installs_locally(service_road):
    road = service_road
    road.publish(flags="")
    assert road.run("/silentall -nofreqcheck -nogui") == 0
    road.wait_for("Updater finished. Mode: 8.")
    assert "Installing using helper service." not in road.log() and "Mode: 18" not in road.log()
    assert road.ran() == ["A"]

    # Advertised, but the client configuration names no service.
    road.wine.reg_delete(road.state_key)
    config = road.folder / "updater.ini"
    original = config.read_text(encoding="latin-1")
    config.write_text("".join(line for line in config.read_text(encoding="latin-1").splitlines(keepends=True)
                              if not line.startswith("SupportServiceName=")), encoding="latin-1")
    road.publish()
    before = road.log().count("Updater finished. Mode: 8.")
    assert road.run("/silentall -nofreqcheck -nogui") == 0
    deadline = time.time() + 120
    while road.log().count("Updater finished. Mode: 8.") == before:
        assert time.time() < deadline, road.log()[-3000:]
        time.sleep(0.3)
    assert "Support service not configured in updates.ini." in road.log()
    assert road.ran() == ["A", "A"]
    # Back to the configuration that names the service, so that the fixture removes it.
    config.write_text(original, encoding="latin-1")


@pytest.mark.parametrize("service_road", [(True, "publisher")], indirect=True)
def test_a_server_that_ends_before_answering_releases_the_client(service_road):
    from road import kill_windows_processes
    road = service_road
    marker = road.folder / "started.txt"
    road.publish(extra_args=f'/touch "{road.wine.windows_path(marker)}" /sleep 8000')
    assert road.run("/silentall -nofreqcheck -nogui") == 0
    deadline = time.time() + 120
    while not marker.exists():
        assert time.time() < deadline, road.log()[-3000:]
        time.sleep(0.2)
    assert kill_windows_processes("/runserver") >= 1
    road.wait_for("Updater finished. Mode: 8.", timeout=60)
    assert "The support server ended without answering." in road.log()
    assert f"Updater finished. Mode: 8. Return code: {SERVICE_ERROR}" in road.log()


@pytest.mark.parametrize("service_road", [(True, "publisher")], indirect=True)
def test_a_package_goes_through_msiexec_on_the_server(service_road, material, tmp_path):
    from conftest import build_msi
    road = service_road
    msi, _ = build_msi(tmp_path, road.state_key, "1.0")
    road.installer = material.sign(msi, "publisher", f"pkg-{uuid.uuid4().hex[:6]}.msi").read_bytes()
    road.publish(server_file_name="a.msi", command_line="", detect_key=rf"{road.state_key}\Tool\Version")
    assert road.run("/silentall -nofreqcheck -nogui") == 0
    road.wait_for("Updater finished. Mode: 8.")
    assert "Updater finished. Mode: 8. Return code: 0" in road.log(), road.log()[-3000:]
    assert 'Command install("A",' in road.log()
    rc, out = road.wine.reg_query(rf"{road.state_key}\Tool", "Version")
    assert rc == 0 and "1.0" in out, out
