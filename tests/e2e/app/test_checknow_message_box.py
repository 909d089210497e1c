"""The end-of-run message box of "/checknow", as a real window under a virtual X server: a test tool
reads its text and presses OK while the launcher waits for the updater's exit code."""
import re
import shutil
import subprocess
import uuid

import pytest

ROOT = r"HKCU\Software\Velmora\Kestrune Updater"

# One session of the display prefix: the updater runs in the background through the launcher (for
# its full exit code) while closebox looks for its message box; then the registry entry of the run
# is removed and the session waits for its wineserver, so that the X server outlives it. Only the
# display prefix's own wineserver is ever ended, and only when an unanswered box holds the updater.
SESSION = r'''
wine_run=$0; runexe=$1; closebox=$2; updater=$3; title=$4; app_id=$5; out=$6
run_case() {  # $1 name, $2 updater arguments, $3 seconds closebox waits
  RUNEXE_COMMAND="\"$updater\" $2" "$wine_run" "$runexe" > "$out/$1.updater" 2>/dev/null &
  local launcher=$!
  "$wine_run" "$closebox" "$title" "$3" > "$out/$1.box" 2>/dev/null
  echo "box-exit=$?" >> "$out/$1.box"
  # A box nobody answered would hold the updater for ever: after 30 s end this prefix's programs.
  for _ in $(seq 300); do kill -0 $launcher 2>/dev/null || break; sleep 0.1; done
  if kill -0 $launcher 2>/dev/null; then echo "updater-hung" >> "$out/$1.box"; wineserver -k; fi
  wait $launcher
}
run_case plain "/checknow" 40
run_case minimal "/checknow -minuseractions" 6
"$wine_run" reg delete "$ROOT\\$app_id" /f /reg:32 >/dev/null 2>&1
wineserver -w
'''.replace("$ROOT", ROOT.replace("\\", "\\\\"))


def read_case(folder, name):
    box = (folder / f"{name}.box").read_text(errors="replace")
    updater = (folder / f"{name}.updater").read_text(errors="replace")
    match = re.search(r"exit=(\d+)", updater)
    return box, int(match.group(1)) if match else None


def test_checknow_shows_the_failure_in_a_message_box_unless_minuseractions(wine, tmp_path):
    xvfb_run = shutil.which("xvfb-run")
    if xvfb_run is None:
        pytest.fail("xvfb-run is missing (Debian package xvfb)")
    # A wineserver started without a display never shows windows: this test uses the display prefix
    # that the other window tests use, inside its own virtual X server.
    display_build = wine.build_dir / "display-prefix-app"
    app = tmp_path / "app"
    app.mkdir()
    shutil.copy2(wine.updater, app / "updater.exe")
    app_id = "E2E" + uuid.uuid4().hex[:10]
    title = f"Box Tool {app_id}"
    # No DownloadsFolder: the configuration is incomplete for a check.
    (app / "updater.ini").write_text(
        f"[General]\r\nID={app_id}\r\nApplicationName={title}\r\nURL=http://127.0.0.1:9/updates.ini\r\n",
        encoding="latin-1")
    out = tmp_path / "out"
    out.mkdir()
    env = wine.env()
    env["UPDATER_BUILD_DIR"] = str(display_build)
    env["WINEPREFIX"] = str(display_build / "wineprefix")
    proc = subprocess.run(
        [xvfb_run, "-a", "bash", "-c", SESSION, str(wine.wine_run), str(wine.runexe),
         str(wine.build_dir / "tools" / "closebox.exe"), "Z:" + str(app / "updater.exe").replace("/", "\\"),
         title, app_id, str(out)],
        env=env, capture_output=True, timeout=240)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")

    box, code = read_case(out, "plain")
    assert "box-exit=0" in box, box
    assert "text=Checking for Updates - Invalid client configuration file" in box.splitlines(), box
    assert code == 0xE0000007

    box, code = read_case(out, "minimal")
    assert "box-exit=1" in box, box
    assert "text=" not in box
    assert code == 0xE0000007
