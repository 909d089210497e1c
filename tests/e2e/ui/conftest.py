"""Fixtures of the window suite: a virtual X server with a Wine prefix of its own (a wineserver
started without a display shows no windows) whose programs share one virtual desktop, so that the
notification area exists; the road of the main-job suites over that prefix; and the window driver."""
import os
import shutil
import subprocess
import time

import pytest

from road import road_on
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


def start_xvfb(log_path):
    """An X server on the first free display from a number of this process's own, so that suites
    running side by side (and xvfb-run's choice from 99 on) do not meet; its messages go to a file."""
    if shutil.which("Xvfb") is None:
        pytest.fail("Xvfb is missing (Debian package xvfb)")
    log = open(log_path, "wb")
    for number in range(200 + os.getpid() % 500, 1000):
        if os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}"):
            continue
        server = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1280x960x24", "-nolisten", "tcp"],
                                  stdout=log, stderr=log, stdin=subprocess.DEVNULL, start_new_session=True)
        for _ in range(100):
            if server.poll() is not None or os.path.exists(f"/tmp/.X11-unix/X{number}"):
                break
            time.sleep(0.05)
        if server.poll() is None:
            return server, f":{number}"
    pytest.fail(f"no X server could be started (see {log_path})")


@pytest.fixture(scope="module")
def screen(wine):
    server, display = start_xvfb(wine.build_dir / "display-prefix-ui.xvfb.log")
    desk = DisplayWine(wine, display)
    desk.xserver = server
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
        assert screen.xserver.poll() is None, "the X server of the suite has ended"
        proc = screen.wine([str(screen.driver), *steps], timeout=timeout)
        out = proc.stdout.decode("utf-8", errors="replace")
        assert proc.returncode == 0, f"uidriver {' '.join(steps)}:\n{out}"
        return out.splitlines()
    return run


@pytest.fixture
def road(screen, http):
    yield from road_on(screen, http, "ui-")
