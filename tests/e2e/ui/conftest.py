"""Fixtures of the window suite: a virtual X server with a Wine prefix of its own (a wineserver
started without a display shows no windows) whose programs share one virtual desktop, so that the
notification area exists; the road of the main-job suites over that prefix; and the window driver."""
import os
import shutil
import subprocess
import uuid

import pytest

from road import PRODUCT_ROOT, Road
from wineenv import WineEnv


class DisplayWine(WineEnv):
    """The suite's prefix inside the build tree, running the build's updater and tools."""

    def __init__(self, base, display):
        super().__init__(base.build_dir / "display-prefix-ui", base.source_dir)
        self.updater = base.updater
        self.runexe = base.runexe
        self.driver = base.build_dir / "tools" / "uidriver.exe"
        self.display = display

    def env(self):
        env = super().env()
        env["DISPLAY"] = self.display
        return env


def start_xvfb():
    if shutil.which("Xvfb") is None:
        pytest.fail("Xvfb is missing (Debian package xvfb)")
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x960x24", "-nolisten",
                               "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = os.read(read_end, 16).decode().strip()
    os.close(read_end)
    return server, ":" + number


@pytest.fixture(scope="module")
def screen(wine):
    server, display = start_xvfb()
    desk = DisplayWine(wine, display)
    desk.ensure_prefix()
    desk.wine(["reg", "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/d", "Default", "/f"], check=True)
    desk.wine(["reg", "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", "Default", "/d", "1024x768", "/f"],
              check=True)
    yield desk
    env = desk.env()
    env["WINEPREFIX"] = str(desk.prefix)
    subprocess.run(["wineserver", "-k"], env=env, timeout=60, check=False)
    server.terminate()
    server.wait(timeout=30)


@pytest.fixture
def drive(screen):
    """Runs window-driver steps in the suite's prefix; returns its output lines."""
    def run(*steps, timeout=180):
        proc = screen.wine([str(screen.driver), *steps], timeout=timeout)
        out = proc.stdout.decode("utf-8", errors="replace")
        assert proc.returncode == 0, f"uidriver {' '.join(steps)}:\n{out}"
        return out.splitlines()
    return run


@pytest.fixture
def road(screen, http):
    screen.ensure_prefix()
    folder = screen.new_app_folder("ui-" + uuid.uuid4().hex[:10])
    made = Road(screen, folder, http)
    made.configure()
    yield made
    screen.reg_delete(f"{PRODUCT_ROOT}\\{made.id}")
    screen.reg_delete(made.state_key)
    for candidate in made.copy_folders():
        shutil.rmtree(candidate, ignore_errors=True)
    shutil.rmtree(folder, ignore_errors=True)
