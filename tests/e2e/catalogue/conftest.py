"""Fixtures of the catalogue suites: a publisher's HTTP server and an application folder whose client
configuration points at it, with its own application ID and registry keys."""
import shutil
import time
import uuid

import pytest

import servers
from wineenv import read_log

ROOT = r"HKCU\Software\Velmora\Kestrune Updater"


class App:
    """An application folder with updater.exe, its client configuration and a registry key of its
    own that the updates of a test detect."""

    def __init__(self, wine, folder, http):
        self.wine = wine
        self.folder = folder
        self.http = http
        self.id = "E2E" + uuid.uuid4().hex[:10]
        self.exe = folder / "updater.exe"
        self.downloads = folder / "downloads"
        self.state_key = rf"HKCU\Software\KestruneE2E\{self.id}"
        self.updates_path = f"/{self.id}/updates.ini"
        self.published = 0

    def configure(self, extra=""):
        config = (
            "[General]\r\n"
            f"ID={self.id}\r\nApplicationName=Tool\r\nApplicationVersion=1.0\r\n"
            f"URL=http://127.0.0.1:{self.http.port}{self.updates_path}\r\n"
            f"AppDir={self.wine.windows_path(self.folder)}\r\n"
            f"DownloadsFolder={self.wine.windows_path(self.downloads)}\r\n" + extra
        )
        (self.folder / "updater.ini").write_text(config, encoding="latin-1")
        assert self.run("/set loglevel Error|Info|Debug|Trace").code == 0

    def publish(self, text):
        """Serves a new updates configuration file, newer than the one before (the updater asks for
        the file only when it is newer than its local copy)."""
        self.published += 1
        body = (";kxw;\r\n" + text).replace("\n", "\r\n").encode("latin-1")
        self.http.add(self.updates_path, servers.Resource(body, last_modified=time.time() - 86400 + self.published * 60))

    def install_state(self, name, version):
        """What an installer of the update would leave: the version value the detection reads."""
        self.wine.reg_add(rf"{self.state_key}\{name}", "Version", version)

    def run(self, args, timeout=120):
        return self.wine.run_exe(self.exe, args, timeout=timeout)

    def log(self):
        path = self.folder / "updater.log"
        return read_log(path) if path.exists() else ""


@pytest.fixture
def app(wine, http):
    folder = wine.new_app_folder("cat-" + uuid.uuid4().hex[:10])
    application = App(wine, folder, http)
    application.configure()
    yield application
    wine.reg_delete(f"{ROOT}\\{application.id}")
    wine.reg_delete(rf"HKCU\Software\KestruneE2E\{application.id}")
    shutil.rmtree(folder, ignore_errors=True)
