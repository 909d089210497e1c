"""Applications closed before an installer runs and started again afterwards, as real windows under
a virtual X server (a wineserver without a display shows no windows): the display prefix of this
suite runs the application, the installation phase and the fake installer."""
import shutil
import subprocess
import uuid

import pytest

# The application starts; once its window is up the installation phase runs; afterwards the session
# waits for a restarted application (if any), ends what is left and waits for its wineserver.
SESSION = r'''
wine_run=$0; app=$1; tool=$2; config=$3; updates=$4; events=$5; out=$6; title=$7; restarts=$8
"$wine_run" "$app" /title "$title" /events "$events" /lifetime 90 >/dev/null 2>&1 &
for _ in $(seq 300); do grep -q '^started' "$events" 2>/dev/null && break; sleep 0.1; done
"$wine_run" "$tool" "$config" "$updates" > "$out" 2>&1
if [ "$restarts" = 1 ]; then
  for _ in $(seq 300); do [ "$(grep -c '^started' "$events")" -ge 2 ] && break; sleep 0.1; done
else
  sleep 3
fi
"$wine_run" taskkill /f /im acmeapp.exe >/dev/null 2>&1
wineserver -w
'''


def windows(path):
    return "Z:" + str(path).replace("/", "\\")


def escaped(text):
    """An item of a ";"-separated list: backslashes and semicolons are escaped."""
    return text.replace("\\", "\\\\").replace(";", "\\;")


@pytest.mark.parametrize("flags,restarted", [("", True), ("NoRestart", False)])
def test_running_application_is_closed_and_started_again(wine, tmp_path, flags, restarted):
    xvfb_run = shutil.which("xvfb-run")
    if xvfb_run is None:
        pytest.fail("xvfb-run is missing (Debian package xvfb)")
    display_build = wine.build_dir / "display-prefix-install"
    app = tmp_path / "acmeapp.exe"
    shutil.copy2(wine.build_dir / "tools" / "windowapp.exe", app)
    downloads = tmp_path / "downloads"
    (downloads / "Tool").mkdir(parents=True)
    installer = downloads / "Tool" / "setup.exe"
    shutil.copy2(wine.build_dir / "tools" / "testinstaller.exe", installer)
    events = tmp_path / "events.txt"
    order = tmp_path / "order.txt"
    title = "Acme " + uuid.uuid4().hex[:8]
    restart_args = f'/title "{title}" /events {windows(events)} /lifetime 60'
    entry = f"{windows(app)}|{escaped(restart_args)};{title}" + (f";{flags}" if flags else "")
    (tmp_path / "updater.ini").write_text(
        f"[General]\r\nID=E2E{uuid.uuid4().hex[:10]}\r\nURL=http://127.0.0.1:9/u.ini\r\n"
        f"AppDir={windows(tmp_path)}\r\nDownloadsFolder={windows(downloads)}\r\n", encoding="latin-1")
    (tmp_path / "updates.ini").write_text(
        f";kxw;\r\n[Tool]\r\nName=Tool\r\nSize={installer.stat().st_size}\r\nServerFileName=setup.exe\r\n"
        f"URL=http://127.0.0.1:9/setup.exe\r\nCommandLine=/order {windows(order)} /name setup\r\n"
        f"Flags=NoRedetect\r\nRegistryKey=HKCU\\Software\\KestruneE2E\\Never\\Version\r\n"
        f"AutoCloseApplication={entry}\r\n", encoding="latin-1")
    out = tmp_path / "phase.out"
    env = wine.env()
    env["UPDATER_BUILD_DIR"] = str(display_build)
    env["WINEPREFIX"] = str(display_build / "wineprefix")
    proc = subprocess.run(
        [xvfb_run, "-a", "bash", "-c", SESSION, str(wine.wine_run), str(app),
         str(wine.build_dir / "tools" / "installphase.exe"), windows(tmp_path / "updater.ini"),
         windows(tmp_path / "updates.ini"), str(events), str(out), title, "1" if restarted else "0"],
        env=env, capture_output=True, timeout=300)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")

    phase = out.read_text(errors="replace")
    assert "result=0x00000000" in phase, phase
    lines = [line.split()[0] for line in events.read_text(encoding="utf-8").splitlines()]
    # The application was asked to close before the installer ran.
    assert lines[:2] == ["started", "closed"], lines
    assert order.read_text().split() == ["setup"]
    started = [line for line in events.read_text(encoding="utf-8").splitlines() if line.startswith("started")]
    if restarted:
        assert len(started) == 2, lines
        assert f'/title "{title}"' in started[1]  # started again with its restart arguments
    else:
        assert len(started) == 1, lines
