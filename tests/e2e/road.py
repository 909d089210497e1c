"""The whole road of one application (check, hand-over, the temporary copy's download and
installation) against a publisher's HTTP server with real installers, shared by the main-job and the
window suites."""
import hashlib
import os
import pathlib
import shutil
import signal
import time
import uuid

import servers
from wineenv import read_log

PRODUCT_ROOT = r"HKCU\Software\Velmora\Kestrune Updater"


class Road:
    """One application on the whole road: check, hand-over, the copy's download and installation."""

    def __init__(self, wine, folder, http):
        self.wine = wine
        self.folder = folder
        self.http = http
        self.id = "E2E" + uuid.uuid4().hex[:10]
        self.exe = folder / "updater.exe"
        self.downloads = folder / "downloads"
        self.state_key = rf"HKCU\Software\KestruneE2E\{self.id}"
        self.order = folder / "order.txt"
        self.updates_path = f"/{self.id}/updates.ini"
        self.sections = []
        self.published = 0
        self.copies_finished_before = 0
        self.installer = (wine.updater.parent / "tools" / "testinstaller.exe").read_bytes()

    def win(self, path):
        return self.wine.windows_path(path)

    def configure(self, extra=""):
        config = (
            "[General]\r\n"
            f"ID={self.id}\r\nApplicationName=Tool\r\nApplicationVersion=1.0\r\n"
            f"URL=http://127.0.0.1:{self.http.port}{self.updates_path}\r\n"
            f"AppDir={self.win(self.folder)}\r\nDownloadsFolder={self.win(self.downloads)}\r\n" + extra)
        (self.folder / "updater.ini").write_text(config, encoding="latin-1")
        assert self.run("/set loglevel Error|Info|Debug|Trace").code == 0

    def update(self, name, version="1.0", keys="", installer_args="", sha256=None, resource=None):
        """An update whose installer (served by the publisher) writes the value it is detected by."""
        file_name = name.replace(" ", "-").lower() + ".exe"
        path = self.installer_path(name)
        self.http.add(path, resource or servers.Resource(self.installer))
        digest = sha256 or hashlib.sha256(self.installer).hexdigest().upper()
        args = (f'/regkey "{self.state_key}\\{name}" /regvalue Version /regdata {version} '
                f'/order "{self.win(self.order)}" /name {name.replace(" ", "_")} {installer_args}').strip()
        self.sections.append(
            f"[{name}]\nName={name}\nSize={len(self.installer)}\nSHA256={digest}\n"
            f"URL=http://127.0.0.1:{self.http.port}{path}\nServerFileName={file_name}\nCommandLine={args}\n"
            f"RegistryKey={self.state_key}\\{name}\\Version\nVersion={version}\n{keys}")

    def publish(self, general="", **resource_options):
        """Serves the updates file: `general` holds keys of its "General" section (a message)."""
        self.published += 1
        head = ";kxw;\n" + ("[General]\n" + general if general else "")
        body = (head + "".join(self.sections)).replace("\n", "\r\n").encode("latin-1")
        self.http.add(self.updates_path, servers.Resource(
            body, last_modified=time.time() - 86400 + self.published * 60, **resource_options))
        return body

    def installer_path(self, name):
        return f"/{self.id}/files/" + name.replace(" ", "-").lower() + ".exe"

    def run(self, args, timeout=180):
        self.copies_finished_before = len(self.finished_copies())
        return self.wine.run_exe(self.exe, args, timeout=timeout)

    def finished_copies(self):
        """The last lines of temporary copies that ran (a copy turned away as a second one excluded)."""
        return [line for line in self.log().splitlines()
                if any(f"Updater finished. Mode: {m}." in line for m in (6, 7, 8, 9))
                and not line.rstrip().endswith(f"Return code: {0xE0000027}")]

    def log(self):
        path = self.folder / "updater.log"
        return read_log(path) if path.exists() else ""

    def ran(self):
        return self.order.read_text().split() if self.order.exists() else []

    def installed(self, name):
        rc, out = self.wine.reg_query(rf"{self.state_key}\{name}", "Version")
        return out.split()[-1] if rc == 0 and "Version" in out else None

    def copy_folders(self):
        """Where the temporary copy of this updater lives (the folder is named by the MD5 of its path)."""
        name = hashlib.md5(self.win(self.exe).encode("latin-1")).hexdigest()
        drive = self.wine.prefix / "drive_c"
        candidates = [drive / "windows" / "SystemTemp" / name]
        candidates += [user / "Temp" / name for user in (drive / "users").glob("*")]
        candidates += [user / "AppData" / "Local" / "Temp" / name for user in (drive / "users").glob("*")]
        return candidates

    def copy_folder(self):
        for candidate in self.copy_folders():
            if candidate.exists():
                return candidate
        return None

    def wait_for_copy_to_end(self, timeout=120):
        """The copy ends by writing its last log line; its batch file then removes the folder."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            if len(self.finished_copies()) > self.copies_finished_before:
                break
            time.sleep(0.2)
        else:
            raise AssertionError("the temporary copy did not finish:\n" + self.log()[-3000:])
        while time.time() < deadline:
            if self.copy_folder() is None:
                return
            time.sleep(0.2)
        left = self.copy_folder()
        raise AssertionError(f"the copy folder stayed: {left} {sorted(p.name for p in left.iterdir())}")

    def copy_result(self):
        lines = [line for line in self.log().splitlines() if "Updater finished. Mode: " in line]
        copies = [line for line in lines if any(f"Mode: {m}." in line for m in (6, 7, 8, 9))]
        return int(copies[-1].rsplit("Return code: ", 1)[1]) if copies else None


def kill_windows_processes(fragment):
    """Kills, as a crash would, every Wine process whose command line holds `fragment` (Wine gives a
    program's Linux process its Windows command line); returns how many were killed."""
    killed = 0
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            command = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if fragment.lower() in command.lower() and "python" not in command:
            try:
                os.kill(int(entry.name), signal.SIGKILL)
                killed += 1
            except ProcessLookupError:
                pass
    return killed


def windows_processes_alive(fragment):
    for entry in pathlib.Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and fragment.lower() in (entry / "cmdline").read_bytes().decode(
                    errors="replace").lower():
                return True
        except OSError:
            continue
    return False


def road_on(wine, http, prefix):
    """A configured road in a new application folder of `wine`'s prefix, removed with its registry
    state and copy folders afterwards (a generator for fixtures)."""
    # Wine's background programs (services, the desktop) start with the first program that needs
    # them and keep its current folder; started by a temporary copy, they would hold the copy's
    # folder for ever. They are started here, from a neutral folder, before each road.
    wine.ensure_prefix()
    folder = wine.new_app_folder(prefix + uuid.uuid4().hex[:10])
    made = Road(wine, folder, http)
    made.configure()
    yield made
    wine.reg_delete(f"{PRODUCT_ROOT}\\{made.id}")
    wine.reg_delete(made.state_key)
    for candidate in made.copy_folders():
        shutil.rmtree(candidate, ignore_errors=True)
    shutil.rmtree(folder, ignore_errors=True)
