"""Credentials between processes: passwords protected by one process are read by another, the
hand-over block of a sending instance reaches a receiving one, and the User Authentication dialog
works as a window (under a virtual X server)."""
import shutil
import subprocess
import uuid

import pytest


def utf16_hex(text):
    return text.encode("utf-16-le").hex().upper()


def from_utf16_hex(digits):
    return bytes.fromhex(digits).decode("utf-16-le")


@pytest.fixture(scope="module")
def credtool(wine):
    tool = wine.build_dir / "tools" / "credtool.exe"
    if not tool.exists():
        pytest.fail(f"{tool} is missing: build the test tools first")
    return tool


def run_tool(wine, tool, *args):
    proc = wine.wine([str(tool), *args], timeout=120)
    return proc.returncode, proc.stdout.decode(errors="replace")


def field(output, name):
    for line in output.splitlines():
        if line.startswith(name + "="):
            return line[len(name) + 1:].strip()
    raise AssertionError(f"no {name}= in {output!r}")


@pytest.mark.parametrize("password", ["s3cret", "p\u00e4ssw\u00f6rd \u20ac:\\\"", "x" * 2000])
def test_password_protected_in_one_process_is_read_in_another(wine, credtool, password):
    code, out = run_tool(wine, credtool, "protect", utf16_hex(password))
    assert code == 0, out
    protected = field(out, "protected")
    assert len(protected) == 4 * len(password)
    assert protected == protected.upper()
    assert utf16_hex(password) != protected

    code, out = run_tool(wine, credtool, "unprotect", protected)
    assert code == 0, out
    assert from_utf16_hex(field(out, "password")) == password


def test_protection_refuses_empty_password_and_bad_text(wine, credtool):
    code, _ = run_tool(wine, credtool, "protect", "")
    assert code == 13
    code, _ = run_tool(wine, credtool, "unprotect", "ABC")
    assert code == 13


def test_hand_over_reaches_a_second_process_and_signals_the_sender(wine, credtool):
    exe_path = f"C:\\Apps\\{uuid.uuid4().hex[:8]}\\updater.exe"
    pairs = [("alice", "pw one"), ("b\u00f6b", "p\u00e4ss:\u20ac")]
    args = [str(wine.wine_run), str(credtool), "handover", exe_path, "20000"]
    for user, password in pairs:
        args += [utf16_hex(user), utf16_hex(password)]
    sender = subprocess.Popen(args, env=wine.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert sender.stdout.readline().decode().strip() == "ready"
        code, out = run_tool(wine, credtool, "receive", exe_path)
        assert code == 0, out
        received = [tuple(from_utf16_hex(part) for part in line[len("pair="):].split(","))
                    for line in out.splitlines() if line.startswith("pair=")]
        assert received == pairs
        # The receiver set the event: the sender stops waiting and reports the receipt.
        assert sender.wait(timeout=60) == 0
    finally:
        if sender.poll() is None:
            sender.kill()
            sender.wait()


def test_nothing_handed_over_means_nothing_received(wine, credtool):
    code, out = run_tool(wine, credtool, "receive", f"C:\\Apps\\{uuid.uuid4().hex[:8]}\\updater.exe")
    assert code == 1
    assert "pair=" not in out


def test_user_authentication_dialog_as_a_window(wine):
    xvfb_run = shutil.which("xvfb-run")
    if xvfb_run is None:
        pytest.fail("xvfb-run is missing (Debian package xvfb)")
    unit_ui = wine.build_dir / "unit" / "unit_ui.exe"
    # Wine's desktop process picks its display when a prefix's wineserver starts: a wineserver that
    # other tests started without a display never shows windows. The window tests get a prefix of
    # their own, and the virtual X server lives until that wineserver has ended.
    display_build = wine.build_dir / "display-prefix"
    env = wine.env()
    env["UPDATER_BUILD_DIR"] = str(display_build)
    env["WINEPREFIX"] = str(display_build / "wineprefix")
    script = ('"$0" "$1" --gtest_filter=CredentialsDialogWindow.*; rc=$?; wineserver -w; exit $rc')
    proc = subprocess.run([xvfb_run, "-a", "bash", "-c", script, str(wine.wine_run), str(unit_ui)],
                          env=env, capture_output=True, timeout=400)
    out = proc.stdout.decode(errors="replace")
    assert proc.returncode == 0, out
    assert "[  PASSED  ] 3 tests." in out, out
    assert "SKIPPED" not in out, out
