"""Fixtures of the notification suite: a Wine prefix of its own that reports Windows 10 (so that
messages go out as toasts) with the stand-in powershell.exe in both system folders, and one
application's check against the publisher's server."""
import re
import shutil
import time
import uuid

import pytest

import servers
from wineenv import WineEnv, read_log

PRODUCT_ROOT = r"HKCU\Software\Velmora\Kestrune Updater"


class ToastWine(WineEnv):
    def __init__(self, base):
        super().__init__(base.build_dir / "notify-prefix", base.source_dir)
        self.updater = base.updater
        self.runexe = base.runexe
        self.tools = base.build_dir / "tools"


@pytest.fixture(scope="session")
def wine_win10(wine):
    env = ToastWine(wine)
    env.ensure_prefix()
    env.wine(["reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", "win10", "/f"], check=True)
    for system in ("system32", "syswow64"):
        folder = env.prefix / "drive_c" / "windows" / system / "WindowsPowerShell" / "v1.0"
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy2(env.tools / "powershell.exe", folder / "powershell.exe")
    yield env


class Publisher:
    """One application whose updates file carries a message; the stand-in records every script."""

    def __init__(self, wine, http, folder):
        self.wine = wine
        self.http = http
        self.folder = folder
        self.id = "E2E" + uuid.uuid4().hex[:10]
        self.exe = folder / "updater.exe"
        self.downloads = folder / "downloads"
        self.control = folder / "standin.ini"
        self.record = folder / "record.txt"
        self.path = f"/{self.id}/updates.ini"
        self.sections = ""
        self.general = ""
        self.published = 0
        (folder / "updater.ini").write_text(
            "[General]\r\n"
            f"ID={self.id}\r\nApplicationName=Tool\r\nApplicationVersion=1.0\r\nAppId=Acme.Tool\r\n"
            f"URL=http://127.0.0.1:{http.port}{self.path}\r\nAppDir={wine.windows_path(folder)}\r\n"
            f"DownloadsFolder={wine.windows_path(self.downloads)}\r\n", encoding="latin-1")
        self.standin(0)
        assert self.run("/set loglevel Error|Info|Debug|Trace") == 0

    def standin(self, exit_code, error_text=""):
        self.control.write_text(f"[Run]\r\nRecordFile={self.wine.windows_path(self.record)}\r\nExitCode={exit_code}\r\n"
                                f"ErrorText={error_text}\r\n", encoding="latin-1")

    def publish(self, general="", sections=""):
        self.published += 1
        body = (";kxw;\r\n[General]\r\n" + general + sections).encode("latin-1")
        self.http.add(self.path, servers.Resource(body, last_modified=time.time() - 86400 + self.published * 60))

    def run(self, args):
        env = {"UPDATER_PS_STANDIN": self.wine.windows_path(self.control)}
        command = f'"{self.wine.windows_path(self.exe)}" {args}'
        proc = self.wine.wine([str(self.wine.runexe)], timeout=180, extra_env={"RUNEXE_COMMAND": command, **env})
        out = proc.stdout.decode(errors="replace")
        match = re.search(r"exit=(\d+)", out)
        return int(match.group(1)) if match else None

    def scripts(self):
        """The toast scripts the stand-in received, in order, with their own line breaks."""
        if not self.record.exists():
            return []
        text = self.record.read_bytes().decode("utf-8")
        found = []
        for block in re.split(r"(?m)^run\n", text):
            if block.startswith("shape toast\n") and "script-begin\n" in block:
                found.append(block.split("script-begin\n", 1)[1].rsplit("\nscript-end\n", 1)[0])
        return found

    def log(self):
        path = self.folder / "updater.log"
        return read_log(path) if path.exists() else ""

    def seen(self, message_id):
        rc, out = self.wine.reg_query(rf"{PRODUCT_ROOT}\{self.id}\Messages", message_id)
        return rc == 0 and "0x0" in out


@pytest.fixture
def publisher(wine_win10, http):
    # The protocol is the user's, registered by the first updater that needs it: each test starts
    # without it, so that its own updater registers it.
    wine_win10.reg_delete(r"HKCU\Software\Classes\velmora-morvask-updater2")
    folder = wine_win10.new_app_folder("notify-" + uuid.uuid4().hex[:10])
    made = Publisher(wine_win10, http, folder)
    yield made
    wine_win10.reg_delete(rf"{PRODUCT_ROOT}\{made.id}")
    shutil.rmtree(folder, ignore_errors=True)
