#!/usr/bin/env python3
"""The embedded demo: a publisher folder served on 127.0.0.1, an application folder with updater.exe
and its client configuration inside the build tree's Wine prefix, and the updater started the way a
publisher's application starts it. Prints what happened: each command, its exit code with its
meaning, the publisher server's requests and the log lines the run wrote."""
import argparse
import functools
import http.server
import pathlib
import shutil
import sys
import threading

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from wineenv import WineEnv, read_log  # noqa: E402

APP_ID = "AcmeToolDemo"
QUIET = {0: "success", 1223: "cancelled", 1602: "user exit", 0xE0000008: "Action canceled",
         0xE0000011: "Your software is up to date", 0xE0000027: "another instance is running"}


class PublisherHandler(http.server.SimpleHTTPRequestHandler):
    requests = []

    def log_message(self, fmt, *args):
        PublisherHandler.requests.append(fmt % args)


def start_publisher():
    handler = functools.partial(PublisherHandler, directory=str(HERE / "publisher"))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=str(ROOT / "build"))
    args = parser.parse_args()
    wine = WineEnv(args.build_dir, ROOT)
    print("Preparing the Wine prefix (the first time takes a few seconds)...")
    wine.ensure_prefix()
    server = start_publisher()
    port = server.server_address[1]

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
    wine.reg_delete(f"HKCU\\Software\\Velmora\\Kestrune Updater\\{APP_ID}")
    print(f"Publisher folder {HERE / 'publisher'} served at http://127.0.0.1:{port}/")
    print(f"Application folder {wine.windows_path(app)} with updater.exe and updater.ini:\n")
    print("    " + config.replace("\r\n", "\n    "))

    installed_key = r"HKLM\Software\Acme\Tool"
    wine.reg_delete(installed_key)

    def install_acme_tool_1_2():
        wine.reg_add(installed_key, "Version", "1.2")
        print(f"   (the demo writes what the Acme Tool 1.2 installer leaves: {installed_key} Version = 1.2)\n")

    scenarios = [
        ("Turn on the log", "/set loglevel Error|Info|Debug|Trace"),
        ("A just-check: fetch the publisher's updates configuration file and find what applies", "/justcheck"),
        ("The same check again: the server is asked only for a newer file", "/justcheck"),
        ("Only critical updates, and a list of what was found written to found.ini",
         '/justcheck -critical -dumpdetected "C:\\Program Files\\Acme Tool\\found.ini"'),
        ("Acme Tool 1.2 gets installed; the next just-check finds the software up to date", install_acme_tool_1_2),
        ("", "/justcheck"),
        ("The user switches automatic checks off; a scheduled check is skipped", "/set autoupdatepolicy Disable"),
        ("", "/silent"),
        ("Back to prompting; a scheduled silent check runs", "/set autoupdatepolicy Prompt"),
        ("", "/silent"),
        ("A mistyped switch", "/checknow -nogui"),
    ]
    log_path = app / "updater.log"
    for title, command in scenarios:
        if title:
            print(f"== {title}")
        if callable(command):
            command()
            continue
        before = len(read_log(log_path)) if log_path.exists() else 0
        PublisherHandler.requests.clear()
        result = wine.run_exe(app / "updater.exe", command)
        code = result.code
        if code is None:
            print(f"   updater.exe {command}\n   could not be started: {result.stdout}{result.stderr}")
            continue
        meaning = QUIET.get(code)
        text = read_log(log_path)[before:] if log_path.exists() else ""
        if meaning is None:
            errors = [line.split("|\t\t", 1)[-1] for line in text.splitlines() if " LastError: " in line]
            meaning = errors[-1].rsplit(" LastError: ", 1)[0] if errors else "see the log"
        print(f"   updater.exe {command}\n   exit code 0x{code:08X} ({code}): {meaning}")
        for request in PublisherHandler.requests:
            print(f"   publisher server: {request}")
        for line in text.splitlines():
            if "|\t\t" in line:
                print("   log: " + line.split("|\t\t", 1)[1])
        print()
    code, out = wine.reg_query(f"HKCU\\Software\\Velmora\\Kestrune Updater\\{APP_ID}\\Settings")
    print("Registry state of the application (HKCU\\Software\\Velmora\\Kestrune Updater\\AcmeToolDemo\\Settings):")
    print("\n".join("   " + line for line in out.splitlines() if line.strip()))
    found = app / "found.ini"
    if found.exists():
        print("\nThe list of found updates (found.ini):")
        print("\n".join("   " + line for line in found.read_bytes().decode("latin-1").splitlines() if line.strip()))
    wine.reg_delete(installed_key)
    print(f"\nThe whole log: {log_path}")
    server.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
