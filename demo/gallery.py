#!/usr/bin/env python3
"""The gallery of the demo: runs the updater against a publisher with release notes under a virtual X
server (Wine's virtual desktop, so that the notification area exists) and saves a PNG picture of each
window it shows into <build>/demo/screens/.

Usage: gallery.py --build-dir build"""
import argparse
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import time
import zlib

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(HERE))
from run_demo import PublisherHandler, prepare_publisher, start_publisher, write_release_list  # noqa: E402
from wineenv import WineEnv  # noqa: E402

APP_ID = "AcmeToolGallery"
APP_NAME = "Acme Tool"
DESKTOP = "1024x768"


def bmp_to_png(bmp_path, png_path):
    """A 24-bit bottom-up BMP (as the window driver writes it) as a PNG, without image libraries."""
    data = bmp_path.read_bytes()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    bits = struct.unpack_from("<H", data, 28)[0]
    if bits != 24:
        raise RuntimeError(f"{bmp_path}: {bits} bits per pixel, expected 24")
    stride = (width * 3 + 3) & ~3
    rows = []
    bottom_up = height > 0
    for y in range(abs(height)):
        source_row = (abs(height) - 1 - y) if bottom_up else y
        start = offset + source_row * stride
        line = bytearray(b"\x00")
        pixels = data[start:start + width * 3]
        for x in range(width):
            b, g, r = pixels[3 * x:3 * x + 3]
            line += bytes((r, g, b))
        rows.append(bytes(line))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
    png_path.write_bytes(png)


class Session:
    """One X server and one Wine prefix of the gallery's own."""

    def __init__(self, build_dir):
        self.build_dir = pathlib.Path(build_dir).resolve()
        self.display_dir = self.build_dir / "demo" / "display"
        self.screens = self.build_dir / "demo" / "screens"
        self.wine = WineEnv(self.display_dir, ROOT)
        self.wine.updater = self.build_dir / "updater.exe"
        self.wine.runexe = self.build_dir / "tools" / "runexe.exe"
        self.driver = self.build_dir / "tools" / "uidriver.exe"
        self.xvfb = None
        self.env = None

    def start(self):
        # A wineserver of this prefix left from an earlier session knows no display, and windows
        # made under it fail (error 1400): it is ended first.
        prefix_env = dict(self.wine.env(), WINEPREFIX=str(self.wine.prefix))
        subprocess.run(["wineserver", "-k"], env=prefix_env, timeout=60, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=prefix_env, timeout=60, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x960x24",
                                      "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = os.read(read_end, 16).decode().strip()
        os.close(read_end)
        self.env = self.wine.env()
        self.env["DISPLAY"] = ":" + number
        self.env["WINEPREFIX"] = str(self.wine.prefix)
        self.run_wine(["cmd", "/c", "exit"], timeout=300)
        # Every program of the prefix runs in one virtual desktop, which has a notification area.
        self.run_wine(["reg", "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/d", "Default", "/f"])
        self.run_wine(["reg", "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", "Default", "/d", DESKTOP, "/f"])
        # A prefix made just now started its desktop before those settings: windows made under it
        # fail (error 1400). The prefix's programs are ended so that the next start reads them.
        for stop in (["wineserver", "-k"], ["wineserver", "-w"]):
            subprocess.run(stop, env=self.env, timeout=60, check=False, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        self.screens.mkdir(parents=True, exist_ok=True)

    def stop(self):
        if self.env:
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=60, check=False)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=30)

    def run_wine(self, args, timeout=120):
        return subprocess.run([str(self.wine.wine_run), *args], env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=timeout)

    def start_updater(self, exe, arguments):
        command = f'"{self.wine.windows_path(exe)}" {arguments}'
        env = dict(self.env, RUNEXE_COMMAND=command)
        return subprocess.Popen([str(self.wine.wine_run), str(self.wine.runexe)], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)

    def drive(self, *steps, timeout=120):
        proc = self.run_wine([str(self.driver), *steps], timeout=timeout)
        out = proc.stdout.decode("utf-8", errors="replace")
        if proc.returncode != 0:
            raise RuntimeError(f"uidriver {' '.join(steps)} failed:\n{out}")
        return out

    def shot(self, title, name):
        bmp = self.screens / f"{name}.bmp"
        self.drive("shot", title, self.wine.windows_path(bmp))
        bmp_to_png(bmp, self.screens / f"{name}.png")
        bmp.unlink()
        print(f"   {self.screens / (name + '.png')}")


class SlowFiles(PublisherHandler):
    """Serves the installers slowly, so that the progress page can be photographed mid-download."""

    def copyfile(self, source, destination):
        if not self.path.startswith("/files/"):
            return super().copyfile(source, destination)
        while True:
            block = source.read(512)
            if not block:
                return None
            try:
                destination.write(block)
                destination.flush()
            except (BrokenPipeError, ConnectionResetError):
                return None  # the gallery cancelled that download
            time.sleep(0.2)


def prepare_app(session, port, folder=APP_NAME, catalogue="updates.ini", flags="Flags=ShowConfigOptionsButton\r\n"):
    app = session.wine.prefix / "drive_c" / "Program Files" / folder
    shutil.rmtree(app, ignore_errors=True)
    app.mkdir(parents=True)
    shutil.copy2(session.wine.updater, app / "updater.exe")
    app_id = APP_ID if folder == APP_NAME else APP_ID + folder.replace(" ", "")
    session.run_wine(["reg", "delete", rf"HKCU\Software\Velmora\Kestrune Updater\{app_id}", "/f", "/reg:32"])
    (app / "updater.ini").write_text(
        "[General]\r\n"
        f"ID={app_id}\r\nApplicationName={APP_NAME}\r\nApplicationVersion=1.0\r\nCompanyName=Acme\r\n"
        f"URL=http://127.0.0.1:{port}/{catalogue}\r\nAppDir=C:\\Program Files\\{folder}\r\n"
        f"DownloadsFolder=%TEMP%\\{folder} Gallery\r\nCheckFrequency=3\r\n{flags}",
        encoding="latin-1")
    return app


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=str(ROOT / "build"))
    args = parser.parse_args()
    session = Session(args.build_dir)
    publisher = session.build_dir / "demo" / "gallery-publisher"
    updates = prepare_publisher(publisher, HERE / "publisher" / "gallery.ini")
    server = start_publisher(publisher, SlowFiles)
    port = server.server_address[1]
    (publisher / "updates.ini").write_text(updates.replace("@PORT@", str(port)), encoding="latin-1")
    print(f"== The gallery: pictures of the updater's windows in {session.screens}")
    session.start()
    try:
        app = prepare_app(session, port)
        # A fresh start: no schedule, policy or downloads from an earlier gallery, and the tool not
        # installed yet.
        session.run_wine(["reg", "delete", rf"HKCU\Software\Velmora\Kestrune Updater\{APP_ID}", "/f", "/reg:32"])
        session.run_wine(["msiexec", "/x", session.wine.windows_path(publisher / "files" / "acmetool-1.2.msi"), "/qn"],
                         timeout=180)
        for key in (r"HKLM\Software\Acme\Tool", r"HKLM\Software\Acme\PDF"):
            session.run_wine(["reg", "delete", key, "/f", "/reg:32"])
        exe = app / "updater.exe"
        sheet = f"Found Updates for {APP_NAME}"
        session.run_wine([str(session.wine.runexe)], timeout=60)
        subprocess.run([str(session.wine.wine_run), str(session.wine.runexe)], timeout=60, check=False,
                       env=dict(session.env, RUNEXE_COMMAND=f'"{session.wine.windows_path(exe)}" /set loglevel Error|Info|Debug|Trace'),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A scheduled check that prompts: the copy opens on the Welcome page.
        updater = session.start_updater(exe, "/silent")
        # The publisher's message comes first: Windows 7 (the prefix's version) shows it in a pop-up.
        session.drive("waitvisible", "Messages", "90", "sleep", "800")
        session.shot("Messages", "0-message")
        session.drive("message", "Messages", "0x10", "0", "0", "waitgone", "Messages", "10")
        session.drive("wait", sheet, "90", "sleep", "500")
        session.shot(sheet, "1-welcome")
        session.drive("clicktext", sheet, "Download and install now", "sleep", "700")
        session.shot(sheet, "2-selection")
        # Next: the download runs slowly enough to be seen; the plug-in's installer is missing on the
        # server, so the summary reports it.
        work = f"Installing Updates for {APP_NAME}"
        session.drive("clicktext", sheet, "Next", "wait", work, "30", "sleep", "1500")
        session.shot(work, "3-progress")
        session.drive("waittext", work, "1402", "Some of the updates failed to install properly.", "240",
                      "sleep", "500", timeout=300)
        session.shot(work, "4-summary")
        session.drive("clicktext", work, "Finish", "waitgone", work, "30")
        updater.wait(timeout=60)

        # An interactive check against a catalogue with nothing new: the window waits for OK.
        (publisher / "uptodate.ini").write_text(";kxw;\r\n", encoding="latin-1")
        updater = session.start_updater(exe, f"/checknow -url http://127.0.0.1:{port}/uptodate.ini")
        session.drive("waittext", APP_NAME, "1501", "Your software is up to date", "90", "sleep", "500")
        session.shot(APP_NAME, "5-up-to-date")
        session.drive("click", APP_NAME, "2", "waitgone", APP_NAME, "30")
        updater.wait(timeout=60)

        # The options of "/configure".
        updater = session.start_updater(exe, "/configure")
        session.drive("wait", "Update Options", "60", "sleep", "500")
        session.shot("Update Options", "6-update-options")
        session.drive("clicktext", "Update Options", "Cancel", "waitgone", "Update Options", "30")
        updater.wait(timeout=60)

        # The reduced progress window of an automatic run, downloading the tool again.
        session.run_wine(["msiexec", "/x", session.wine.windows_path(publisher / "files" / "acmetool-1.2.msi"), "/qn"],
                         timeout=180)
        # Without the downloaded installers the run downloads the tool again.
        for downloads in (session.wine.prefix / "drive_c" / "users").glob(f"*/Temp/{APP_NAME} Gallery"):
            shutil.rmtree(downloads, ignore_errors=True)
        updater = session.start_updater(exe, "/silentall -nofreqcheck -reducedgui")
        session.drive("waitenabled", work, "2", "90", "sleep", "2500")
        session.shot(work, "7-reduced-progress")
        session.drive("click", work, "2", "waitgone", work, "30")
        updater.wait(timeout=60)

        # The same tool published as GitHub releases: the release notes, written in Markdown, on the
        # selection page.
        write_release_list(publisher, port)
        releases = prepare_app(session, port, "Acme Tool Releases", "releases.json", "Flags=GitHubUpdates\r\n")
        updater = session.start_updater(releases / "updater.exe", "/checknow")
        session.drive("wait", sheet, "90", "sleep", "900")
        session.shot(sheet, "8-release-notes")
        session.drive("clicktext", sheet, "Cancel", "waitgone", sheet, "30")
        updater.wait(timeout=60)
    finally:
        session.stop()
        server.shutdown()


if __name__ == "__main__":
    main()
