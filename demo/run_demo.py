#!/usr/bin/env python3
"""The embedded demo: a publisher folder served on 127.0.0.1, an application folder with updater.exe
and its client configuration inside the build tree's Wine prefix, and the updater started the way a
publisher's application starts it. Prints what happened: each command, its exit code with its
meaning, the publisher server's requests and the log lines the run wrote."""
import argparse
import functools
import hashlib
import http.server
import json
import pathlib
import re
import shutil
import subprocess
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from wineenv import WineEnv, read_log, unix_time  # noqa: E402

APP_ID = "AcmeToolDemo"
QUIET = {0: "success", 1223: "cancelled", 1602: "user exit", 0xE0000008: "Action canceled",
         0xE0000011: "Your software is up to date", 0xE0000027: "another instance is running"}


class PublisherHandler(http.server.SimpleHTTPRequestHandler):
    requests = []

    def log_message(self, fmt, *args):
        PublisherHandler.requests.append(fmt % args)


def build_installer(folder):
    """The publisher's folder with the installer built from its WiX source; returns its bytes."""
    shutil.rmtree(folder, ignore_errors=True)
    (folder / "files").mkdir(parents=True)
    msi = folder / "files" / "acmetool-1.2.msi"
    subprocess.run(["wixl", "-o", str(msi), str(HERE / "publisher" / "acmetool-1.2.wxs")], check=True,
                   capture_output=True, timeout=120)
    return msi.read_bytes()


def prepare_publisher(folder, template=HERE / "publisher" / "updates.ini"):
    """The publisher's folder: the installer built from its WiX source, and the updates configuration
    file with the installer's real size and SHA-256 (the port is filled in once the server listens)."""
    data = build_installer(folder)
    return template.read_text(encoding="latin-1").replace(
        "@SIZE@", str(len(data))).replace("@SHA256@", hashlib.sha256(data).hexdigest().upper())


def publish_with_tool(wine, publisher, port):
    """The publisher's own steps: kestrune-publish hashes the installer, writes its size and SHA-256
    into updates.ini and lints the file against the installers folder."""
    template = (HERE / "publisher" / "updates.ini").read_text(encoding="latin-1")
    text = template.replace("@PORT@", str(port)).replace("Size=@SIZE@", "Size=").replace("SHA256=@SHA256@", "SHA256=")
    (publisher / "updates.ini").write_text(text, encoding="latin-1")
    print("== The publisher fills in the installer's size and SHA-256 with kestrune-publish, then lints the file")
    tool = pathlib.Path(wine.build_dir) / "kestrune-publish.exe"
    for arguments in (["hash", "files\\acmetool-1.2.msi"],
                      ["add", "updates.ini", "Acme Tool 1.2", "files\\acmetool-1.2.msi"],
                      ["lint", "updates.ini", "--installers", "files"]):
        proc = wine.wine([str(tool), *arguments], cwd=publisher)
        shown = " ".join(f'"{word}"' if " " in word else word for word in arguments)
        print(f"   kestrune-publish {shown}\n   exit code {proc.returncode}")
        for line in (proc.stdout + proc.stderr).decode("utf-8", errors="replace").splitlines():
            print("      " + line)


def start_publisher(folder, handler_class=PublisherHandler):
    handler = functools.partial(handler_class, directory=str(folder))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
    return server


class Demo:
    def __init__(self, wine, app):
        self.wine = wine
        self.app = app
        self.log_path = app / "updater.log"
        self.shown = 0
        self.pending = []

    def log_text(self):
        return read_log(self.log_path) if self.log_path.exists() else ""

    def print_news(self, only_first_process=False):
        """The publisher server's requests and the log lines written since the last step; with
        `only_first_process`, the lines of other processes (the temporary copy) wait for later."""
        for request in PublisherHandler.requests:
            print(f"   publisher server: {request}")
        PublisherHandler.requests.clear()
        text = self.log_text()
        lines = [line for line in text[self.shown:].splitlines() if "|\t\t" in line]
        first = re.search(r"\[PID=(\d+)\|", lines[0]).group(1) if lines and only_first_process else None
        for line in lines:
            if first is not None and f"[PID={first}|" not in line:
                self.pending.append(line)
                continue
            print("   log: " + line.split("|\t\t", 1)[1])
        self.shown = len(text)

    def meaning(self, code, text):
        known = QUIET.get(code)
        if known is not None:
            return known
        errors = [line.split("|\t\t", 1)[-1] for line in text.splitlines() if " LastError: " in line]
        return errors[-1].rsplit(" LastError: ", 1)[0] if errors else "see the log"

    def run(self, command, hands_over=False):
        self.shown = len(self.log_text())
        self.pending = []
        result = self.wine.run_exe(self.app / "updater.exe", command)
        if result.code is None:
            print(f"   updater.exe {command}\n   could not be started: {result.stdout}{result.stderr}")
            return None
        text = self.log_text()[self.shown:]
        print(f"   updater.exe {command}\n   exit code 0x{result.code:08X} ({result.code}): "
              f"{self.meaning(result.code, text)}")
        self.print_news(only_first_process=hands_over)
        return result.code

    def copy_folder(self):
        name = hashlib.md5(self.wine.windows_path(self.app / "updater.exe").encode("latin-1")).hexdigest()
        return self.wine.prefix / "drive_c" / "windows" / "SystemTemp" / name

    def follow_copy(self, timeout=180):
        """Waits for the temporary copy to write its last line and for its batch file to remove it."""
        folder = self.copy_folder()
        deadline = time.time() + timeout
        finished = re.compile(r"Updater finished\. Mode: [6-9]\. Return code: (\d+)")
        match = None
        while time.time() < deadline:
            match = finished.search("\n".join(self.pending) + self.log_text()[self.shown:])
            if match:
                break
            time.sleep(0.2)
        print(f"   the temporary copy ran from {self.wine.windows_path(folder)}:")
        for line in self.pending:
            print("   log: " + line.split("|\t\t", 1)[1])
        self.pending = []
        self.print_news()
        if not match:
            print("   the copy did not finish in time")
            return None
        while folder.exists() and time.time() < deadline:
            time.sleep(0.2)
        code = int(match.group(1))
        print(f"   the copy ended with 0x{code:08X} ({code}): {self.meaning(code, '')}; its folder is "
              + ("still there" if folder.exists() else "gone (its batch file removed the copy and itself)"))
        return code

    def show_registry(self, key, title, with_subkeys=False):
        if with_subkeys:
            proc = self.wine.wine(["reg", "query", key, "/s", "/reg:32"])
            code, out = proc.returncode, proc.stdout.decode(errors="replace")
        else:
            code, out = self.wine.reg_query(key)
        print(f"   {title} ({key}):")
        lines = [line for line in out.splitlines() if line.strip()] if code == 0 else ["(no such key)"]
        if any("REG_QWORD" in line for line in lines):
            qwords = self.qword_values(key)
            lines = [re.sub(r"^(\s*)(\S+)(\s+REG_QWORD\s+)\(null\)$",
                            lambda m: m.group(1) + m.group(2) + m.group(3) + qwords.get(m.group(2), "(null)"), line)
                     for line in lines]
        print("\n".join("      " + line.strip() for line in lines))

    def qword_values(self, key):
        """64-bit values of the key as Windows' reg shows them (Wine's reg query prints "(null)")."""
        export = self.app / "demo-export.reg"
        self.wine.wine(["reg", "export", key, self.wine.windows_path(export), "/y"])
        text = export.read_bytes().decode("utf-16") if export.exists() else ""
        export.unlink(missing_ok=True)
        return {name: hex(int.from_bytes(bytes.fromhex(data.replace(",", "")), "little"))
                for name, data in re.findall(r'^"([^"]+)"=hex\(b\):([0-9a-f,]+)', text, re.M)}

    def linux_path(self, windows_path):
        return self.wine.prefix / "drive_c" / windows_path[3:].replace("\\", "/")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=str(ROOT / "build"))
    args = parser.parse_args()
    wine = WineEnv(args.build_dir, ROOT)
    print("Preparing the Wine prefix (the first time takes a few seconds)...")
    wine.ensure_prefix()
    publisher = pathlib.Path(args.build_dir) / "demo-publisher"
    build_installer(publisher)
    server = start_publisher(publisher)
    port = server.server_address[1]
    publish_with_tool(wine, publisher, port)

    app = wine.prefix / "drive_c" / "Program Files" / "Acme Tool"
    shutil.rmtree(app, ignore_errors=True)
    app.mkdir(parents=True)
    shutil.copy2(wine.updater, app / "updater.exe")
    config = (
        "[General]\r\n"
        f"ID={APP_ID}\r\nApplicationName=Acme Tool\r\nApplicationVersion=1.0\r\nCompanyName=Acme\r\n"
        f"URL=http://127.0.0.1:{port}/updates.ini\r\n"
        "AppDir=C:\\Program Files\\Acme Tool\r\n"
        "DownloadsFolder=%TEMP%\\Acme Tool Updates\r\n"
        "CheckFrequency=3\r\n"
    )
    (app / "updater.ini").write_text(config, encoding="latin-1")
    app_key = f"HKCU\\Software\\Velmora\\Kestrune Updater\\{APP_ID}"
    installed_key = r"HKLM\Software\Acme\Tool"
    wine.reg_delete(app_key)
    wine.reg_delete(installed_key)
    shutil.rmtree(Demo(wine, app).copy_folder(), ignore_errors=True)
    print(f"Publisher folder {publisher} served at http://127.0.0.1:{port}/ (updates.ini and "
          "files/acmetool-1.2.msi, built with wixl)")
    print(f"Application folder {wine.windows_path(app)} with updater.exe and updater.ini:\n")
    print("    " + config.replace("\r\n", "\n    "))

    demo = Demo(wine, app)
    print("== Turn on the log")
    demo.run("/set loglevel Error|Info|Debug|Trace")
    print("== A just-check: fetch the publisher's updates configuration file and find what applies")
    demo.run("/justcheck")
    print("== The same check again: the server is asked only for a newer file")
    demo.run("/justcheck")
    print("== The user switches automatic checks off; a scheduled check is skipped")
    demo.run("/set autoupdatepolicy Disable")
    demo.run("/silent")
    print("== The user lets the updater install everything on its own")
    demo.run("/set autoupdatepolicy AutoAll")
    print("== The scheduled check: it finds Acme Tool 1.2, hands it to a temporary copy of the updater and ends")
    demo.run("/silent", hands_over=True)
    print("== The copy downloads the installer, verifies its SHA-256 and runs it with msiexec")
    demo.follow_copy()
    demo.show_registry(installed_key, "what the installer left")
    print("\n== The next check finds the software up to date")
    demo.run("/justcheck")
    print("== A mistyped switch")
    demo.run("/checknow -nogui")

    code, out = wine.reg_query(app_key + "\\Updates", "Acme Tool 1.2")
    installer = out.split("REG_SZ", 1)[1].strip() if code == 0 and "REG_SZ" in out else ""
    downloads = demo.linux_path(installer).parent.parent if installer else None
    demo.show_registry(app_key + "\\Settings", "the application's settings")
    if installer:
        print(f"   the verified installer is kept for later runs: {installer}")
    print("\n== The application's uninstaller cleans up after the updater")
    demo.run("/clean silent")
    if downloads is not None:
        print(f"   downloads folder {wine.windows_path(downloads)}: "
              + ("still there" if downloads.exists() else "removed"))
    demo.show_registry(app_key, "the application's keys")

    wine.reg_delete(installed_key)
    print(f"\nThe whole log: {demo.log_path}")
    service_demo(wine, publisher, port)
    signed_catalogue_demo(wine, publisher, port)
    rollout_demo(wine, publisher, port)
    results_demo(wine, publisher, port)
    automation_demo(wine, port)
    releases_demo(wine, publisher, port)
    server.shutdown()
    return 0


def service_demo(wine, publisher, port):
    """A standard user's per-machine update, installed by the support service: the updater and the
    package are signed by one publisher (a throwaway certification authority trusted for the demo)."""
    from signing import SigningMaterial, trusted_root_of
    print("\n== The support service: an update marked Advertises is installed by the service's server copy")
    folder = pathlib.Path(wine.build_dir) / "demo" / "signing"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    material = SigningMaterial(folder)
    publisher = publisher.resolve()
    package = material.sign(publisher / "files" / "acmetool-1.2.msi", "publisher", "acmetool-1.2-signed.msi")
    shutil.copy2(package, publisher / "files" / package.name)
    data = package.read_bytes()
    (publisher / "service.ini").write_text(
        ";kxw; Acme Tool updates for the support service\r\n[Acme Tool 1.2]\r\nName=Acme Tool 1.2\r\n"
        f"Size={len(data)}\r\nSHA256={hashlib.sha256(data).hexdigest().upper()}\r\nFlags=Advertises\r\n"
        f"URL=http://127.0.0.1:{port}/files/{package.name}\r\nRegistryKey=HKLM\\Software\\Acme\\Tool\\Version\r\n"
        "Version=1.2\r\n", encoding="latin-1")
    app = wine.prefix / "drive_c" / "Program Files" / "Acme Tool Service"
    shutil.rmtree(app, ignore_errors=True)
    app.mkdir(parents=True)
    material.sign(wine.updater, "publisher", "updater-signed.exe")
    shutil.copy2(folder / "updater-signed.exe", app / "updater.exe")
    app_id = APP_ID + "Service"
    (app / "updater.ini").write_text(
        f"[General]\r\nID={app_id}\r\nApplicationName=Acme Tool\r\nApplicationVersion=1.0\r\nCompanyName=Acme\r\n"
        f"URL=http://127.0.0.1:{port}/service.ini\r\nAppDir=C:\\Program Files\\Acme Tool Service\r\n"
        "DownloadsFolder=%TEMP%\\Acme Tool Service Updates\r\nSupportServiceName=AcmeToolSupport\r\n",
        encoding="latin-1")
    wine.reg_delete(f"HKCU\\Software\\Velmora\\Kestrune Updater\\{app_id}")
    wine.reg_delete(r"HKLM\Software\Acme\Tool")
    demo = Demo(wine, app)
    with trusted_root_of(wine, material):
        demo.run("/set loglevel Error|Info|Debug|Trace")
        print("== The publisher's installer registers the service (the updater, signed, run as LocalSystem)")
        demo.run("/installservice")
        print("== A scheduled check hands the update over; the copy asks the service to install it")
        demo.run("/silentall -nofreqcheck -nogui", hands_over=True)
        demo.follow_copy()
        demo.show_registry(r"HKLM\Software\Acme\Tool", "what the installer left")
        print("== The application's uninstaller removes the service")
        demo.run("/uninstallservice")
    wine.reg_delete(r"HKLM\Software\Acme\Tool")


def signed_catalogue_demo(wine, publisher, port):
    """The publisher signs its updates configuration file (a detached signature beside it, made with
    openssl by the code-signing certificate that also signed updater.exe); the file's Serial and
    ValidUntil keep it fresh. A replayed older file, genuinely signed, is refused."""
    from signing import SigningMaterial, trusted_root_of
    print("\n== A signed updates configuration file: UpdatesFileSignature=Required in the client configuration")
    folder = pathlib.Path(wine.build_dir) / "demo" / "signing-catalogue"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    material = SigningMaterial(folder)
    publisher = publisher.resolve()
    valid_until = time.strftime("%d/%m/%Y", time.gmtime(time.time() + 14 * 86400))
    template = (publisher / "updates.ini").read_text(encoding="latin-1")
    files = {}
    for serial in (2026120901, 2026121001):
        text = re.sub(r"^\[General\]\r?\n", lambda m: f"{m.group(0)}Serial={serial}\nValidUntil={valid_until}\n",
                      template, count=1, flags=re.M)
        data = text.replace("\r\n", "\n").replace("\n", "\r\n").encode("latin-1")
        files[serial] = (data, material.sign_detached(data))

    def serve(serial):
        data, signature = files[serial]
        (publisher / "signed.ini").write_bytes(data)
        (publisher / "signed.ini.p7s").write_bytes(signature)
        print(f"   the publisher serves signed.ini with Serial={serial} and ValidUntil={valid_until}, "
              f"and its signature signed.ini.p7s ({len(signature)} bytes)")

    app = fresh_app(wine, "Acme Tool Signed", APP_ID + "Signed", f"http://127.0.0.1:{port}/signed.ini",
                    "UpdatesFileSignature=Required\r\n")
    material.sign(wine.updater, "publisher", "updater-signed.exe")
    shutil.copy2(folder / "updater-signed.exe", app / "updater.exe")
    demo = Demo(wine, app)
    with trusted_root_of(wine, material):
        demo.run("/set loglevel Error|Info|Debug|Trace")
        serve(2026121001)
        print("== A just-check accepts the file: signed by the updater's own publisher, fresh, the newest seen")
        demo.run("/justcheck")
        demo.show_registry(f"HKCU\\Software\\Velmora\\Kestrune Updater\\{APP_ID}Signed\\Settings",
                           "what the updater remembers")
        time.sleep(1.1)  # a new modification time, so that the server sends the file again
        serve(2026120901)
        print("== Someone replays yesterday's genuine file: the signature holds, but the serial is older")
        demo.run("/justcheck")


def rollout_demo(wine, publisher, port):
    """A staged rollout: Acme Tool 1.3 goes to 5 % of the machines first; this machine's bucket lies
    outside that share until the publisher widens it."""
    print("\n== A staged rollout: Acme Tool 1.3 released to a share of the machines")
    template = (publisher / "updates.ini").read_text(encoding="latin-1")
    release = ("[Acme Tool 1.3]\r\nName=Acme Tool 1.3\r\nSize=1024\r\n"
               f"URL=http://127.0.0.1:{port}/files/acmetool-1.3.msi\r\n"
               "RegistryKey=HKLM\\Software\\Acme\\Tool\\Version\r\nVersion=1.3\r\n"
               "ReleaseDate=14/12/2026\r\nRolloutPercent={percent}\r\n\r\n")

    def publish(percent):
        text = template.replace("[Acme Tool 1.2]", release.format(percent=percent) + "[Acme Tool 1.2]", 1)
        (publisher / "rollout.ini").write_text(text, encoding="latin-1")
        print(f"   the publisher serves rollout.ini with Acme Tool 1.3 at RolloutPercent={percent}")

    app = fresh_app(wine, "Acme Tool Rollout", APP_ID + "Rollout", f"http://127.0.0.1:{port}/rollout.ini")
    settings = f"HKCU\\Software\\Velmora\\Kestrune Updater\\{APP_ID}Rollout\\Settings"
    wine.reg_add(r"HKLM\Software\Acme\Tool", "Version", "1.2")  # 1.2 is installed here
    demo = Demo(wine, app)
    demo.run("/set loglevel Error|Info|Debug|Trace")
    wine.reg_add(settings, "RolloutBucket", "4711", kind="REG_DWORD")
    print("   this machine's bucket: 4711 (drawn once at random; set here so that the demo is repeatable)")
    publish(5)
    print("== The scheduled check on a machine outside the 5 %: the release is held back")
    demo.run("/justcheck")
    time.sleep(1.1)  # a new modification time, so that the server sends the file again
    publish(50)
    print("== The publisher widens the share to 50 %: the machine is offered Acme Tool 1.3")
    demo.run("/justcheck")
    wine.reg_delete(r"HKLM\Software\Acme\Tool")


def results_demo(wine, publisher, port):
    """What support reads on a machine where an installation failed: the publisher's updates file
    expects version 1.3 from the 1.2 installer, so the update is never detected afterwards."""
    print("\n== Results on the machine: an update whose installer does not give what the updates file expects")
    text = (publisher / "updates.ini").read_text(encoding="latin-1")
    (publisher / "mislabelled.ini").write_text(re.sub(r"^Version=1\.2\s*$", "Version=1.3", text, count=1, flags=re.M),
                                               encoding="latin-1")
    print("   the publisher serves mislabelled.ini: Acme Tool 1.2's installer, detected as Version=1.3")
    app_id = APP_ID + "Results"
    app = fresh_app(wine, "Acme Tool Results", app_id, f"http://127.0.0.1:{port}/mislabelled.ini")
    app_key = f"HKCU\\Software\\Velmora\\Kestrune Updater\\{app_id}"
    demo = Demo(wine, app)
    demo.run("/set loglevel Error|Info|Debug|Trace")
    print("== The scheduled check hands the update over and ends with 0, as it must")
    demo.run("/silentall -nogui", hands_over=True)
    print("== The copy installs; the detection, still not satisfied, says what it saw")
    demo.follow_copy()
    print("== Support reads the machine's record (reg query ...\\Results /s)")
    demo.show_registry(app_key + "\\Results", "the results of the last check and installation", with_subkeys=True)
    code, out = wine.reg_query(app_key + "\\Settings", "NextUpdateCheck")
    if code == 0 and "REG_BINARY" in out:
        due = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(unix_time(out.split()[-1])))
        print(f"   NextUpdateCheck: {due} (a failed installation brings the next check within a day; CheckFrequency alone gives 3 days)")
    wine.reg_delete(r"HKLM\Software\Acme\Tool")


def fresh_app(wine, folder_name, app_id, url, flags=""):
    """A new application folder with updater.exe and its client configuration, without the state,
    the installed tool or the downloads an earlier demo left."""
    app = wine.prefix / "drive_c" / "Program Files" / folder_name
    shutil.rmtree(app, ignore_errors=True)
    app.mkdir(parents=True)
    shutil.copy2(wine.updater, app / "updater.exe")
    (app / "updater.ini").write_text(
        f"[General]\r\nID={app_id}\r\nApplicationName=Acme Tool\r\nApplicationVersion=1.0\r\nCompanyName=Acme\r\n"
        f"{flags}URL={url}\r\nAppDir=C:\\Program Files\\{folder_name}\r\n"
        f"DownloadsFolder=%TEMP%\\{folder_name} Updates\r\n", encoding="latin-1")
    wine.reg_delete(f"HKCU\\Software\\Velmora\\Kestrune Updater\\{app_id}")
    wine.reg_delete(r"HKLM\Software\Acme\Tool")
    for downloads in (wine.prefix / "drive_c" / "users").glob(f"*/Temp/{folder_name} Updates"):
        shutil.rmtree(downloads, ignore_errors=True)  # an earlier demo's, without its registry state
    return app


def automation_demo(wine, port):
    """Acme Tool drives the updater itself: demo/host/acme_host.cpp creates the updater's automation
    object, checks, downloads with progress and installs, through the COM interface."""
    print("\n== Acme Tool drives the updater through its automation interface (COM)")
    app = fresh_app(wine, "Acme Tool COM", APP_ID + "Com", f"http://127.0.0.1:{port}/updates.ini")
    demo = Demo(wine, app)
    demo.run("/set loglevel Error|Info|Debug|Trace")
    host = pathlib.Path(wine.build_dir) / "demo" / "acme_host.exe"
    updater = wine.windows_path(app / "updater.exe")

    def drive(*args):
        demo.shown = len(demo.log_text())
        proc = wine.wine([str(host), updater, *args], timeout=300)
        print(f"   acme_host.exe {' '.join(args)}".rstrip())
        for entry in proc.stdout.decode("utf-8", errors="replace").splitlines():
            print("   | " + entry)
        if proc.returncode != 0:
            print(f"   acme_host.exe ended with {proc.returncode}")
        demo.print_news()

    print("== The application's installer registers the local server and its type library")
    drive("--register")
    print("== Acme Tool's \"Check for updates\": the updater starts as a COM server and does the work")
    drive()
    demo.show_registry(r"HKLM\Software\Acme\Tool", "what the installer left")
    print("== Asked again, the updater finds nothing to do")
    drive()
    wine.reg_delete(r"HKLM\Software\Acme\Tool")


RELEASE_NOTES = """Acme Tool 1.2 starts **twice as fast** and exports to PDF.
See the [full notes](https://example.com/acme/1.2) for details.

## Features
- Export to PDF, with `--pdf` on the command line
- Faster start-up

## Bug Fixes
1. No crash when the settings folder is read-only
2. Dates in _ISO 8601_ form are read again
"""


def write_release_list(publisher, port):
    """releases.json in the shape of GitHub's releases interface: a draft, a pre-release and Acme
    Tool 1.2 with its notes in Markdown and its morvask_update.json asset."""
    msi = (publisher / "files" / "acmetool-1.2.msi").read_bytes()
    base = f"http://127.0.0.1:{port}/files"
    keys = {"SHA256": hashlib.sha256(msi).hexdigest().upper(), "RegistryKey": r"HKLM\Software\Acme\Tool\Version",
            "Version": "1.2"}
    (publisher / "files" / "morvask_update.json").write_text(json.dumps(keys), encoding="utf-8")

    def release(node, tag, draft=False, prerelease=False, body=""):
        return {"node_id": node, "tag_name": tag, "name": f"Acme Tool {tag.lstrip('v')}", "draft": draft,
                "prerelease": prerelease, "published_at": "2026-12-01T09:00:00Z", "body": body,
                "assets": [{"name": "acmetool-1.2.msi", "size": len(msi), "browser_download_url": f"{base}/acmetool-1.2.msi"},
                           {"name": "morvask_update.json", "size": 0, "browser_download_url": f"{base}/morvask_update.json"}]}
    listing = [release("RE_kwDOdraft", "v1.4", draft=True), release("RE_kwDOpre", "v1.3-beta", prerelease=True),
               release("RE_kwDO12", "v1.2", body=RELEASE_NOTES)]
    (publisher / "releases.json").write_text(json.dumps(listing, indent=1), encoding="utf-8")
    return listing


def releases_demo(wine, publisher, port):
    """The same application published as GitHub releases: the server answers with a release list in
    the shape of GitHub's releases interface; a draft and a pre-release are never offered."""
    print("\n== Updates from GitHub releases: the publisher's release list, served locally")
    listing = write_release_list(publisher, port)
    print(f"   releases.json: {len(listing)} releases (a draft, a pre-release, Acme Tool 1.2 with its notes in Markdown)")

    app = fresh_app(wine, "Acme Tool Releases", APP_ID + "Releases", f"http://127.0.0.1:{port}/releases.json",
                    "Flags=GitHubUpdates\r\n")
    demo = Demo(wine, app)
    demo.run("/set loglevel Error|Info|Debug|Trace")
    found = app / "found.ini"
    found.unlink(missing_ok=True)
    print("== A just-check reads the release list; the dump file shows the update it became")
    demo.run(f'/justcheck -dumpdetected "{wine.windows_path(found)}"')
    if found.exists():
        for line in found.read_bytes().decode("latin-1").splitlines():
            if line.startswith(("[", "Name=", "URL=", "SHA256=", "Replaces=", "Description", "Feature", "BugFix")):
                print("   | " + line)
    print("== The scheduled check installs it through the temporary copy")
    demo.run("/silentall -nogui -nofreqcheck", hands_over=True)
    demo.follow_copy()
    demo.show_registry(r"HKLM\Software\Acme\Tool", "what the installer left")
    print("== The next check is up to date")
    demo.run("/justcheck")
    wine.reg_delete(r"HKLM\Software\Acme\Tool")


if __name__ == "__main__":
    sys.exit(main())
