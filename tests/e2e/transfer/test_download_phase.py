"""The download phase end to end: tests/tools/downloadphase.exe reads a client configuration and an
updates configuration file, downloads the selected updates from a real local HTTP server under Wine,
checks them, and records them in the prefix's registry."""
import hashlib
import pathlib
import re
import shutil
import subprocess
import sys
import time
import uuid

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from servers import Resource  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from wineenv import read_log  # noqa: E402

CANCELED = 0xE0000008
BAD_MD5 = 0xE0000022
WRONG_SIZE = 0xE0000023
BAD_SHA256 = 0xE0000030
RETRY = 1237
UPDATES_KEY = r"HKCU\Software\Velmora\Kestrune Updater\{}\Updates"


def payload(size, seed):
    return bytes((i * 37 + seed * 11 + (i >> 7)) & 0xFF for i in range(size))


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def md5(data):
    return hashlib.md5(data).hexdigest()


class Run:
    def __init__(self, out):
        self.out = out
        match = re.search(r"result=0x([0-9A-F]+)", out)
        self.code = int(match.group(1), 16) if match else None  # None: the process was killed
        self.lines = out.splitlines()

    def events(self, prefix):
        return [line for line in self.lines if line.startswith(prefix)]

    def status(self, section):
        for line in self.lines:
            if line.startswith(f"update {section} "):
                return int(line.split()[2], 16)
        return None

    def state(self, section):
        for line in self.lines:
            if line.startswith(f"state {section} "):
                return int(line.split()[2])
        return None

    def __repr__(self):
        return self.out


class Phase:
    """One application: its client configuration, its updates file, its downloads and registry keys."""

    def __init__(self, wine, server):
        self.wine = wine
        self.server = server
        self.id = "PhaseTest-" + uuid.uuid4().hex[:10]
        self.folder = wine.apps_root / ("phase-" + uuid.uuid4().hex[:10])
        self.downloads = self.folder / "downloads"
        (self.folder / "app").mkdir(parents=True)
        self.sections = []
        self.tool = wine.build_dir / "tools" / "downloadphase.exe"
        self.log = self.folder / "phase.log"
        (self.folder / "client.ini").write_text(
            "[General]\r\n"
            f"ID={self.id}\r\n"
            f"URL=http://127.0.0.1:{server.port}/updates.ini\r\n"
            f"AppDir={wine.windows_path(self.folder / 'app')}\r\n"
            f"DownloadsFolder={wine.windows_path(self.downloads)}\r\n")

    def add(self, section, content, size=None, sha=None, md5_value=None, resource=None):
        """Serves `content` (or `resource`) and describes it in the updates file."""
        path = f"/{self.id}/{section}/setup.bin"
        self.server.add(path, resource if resource is not None else Resource(content))
        lines = [f"[{section}]", f"Name=Update {section}", f"Size={size if size is not None else len(content)}",
                 f"URL=http://127.0.0.1:{self.server.port}{path}", r"RegistryKey=HKLM\Software\PhaseTest\Version"]
        if sha is not None:
            lines.append(f"SHA256={sha}")
        if md5_value is not None:
            lines.append(f"MD5={md5_value}")
        self.sections.append("\r\n".join(lines))
        self.write_updates()
        return path

    def write_updates(self):
        (self.folder / "updates.ini").write_text(";kxw;\r\n" + "\r\n".join(self.sections) + "\r\n")

    def local(self, section):
        return self.downloads / section / "setup.bin"

    def part(self, section):
        return self.downloads / section / "setup.bin.part"

    def args(self, *options):
        return [str(self.tool), "--log", self.wine.windows_path(self.log), *[str(o) for o in options],
                self.wine.windows_path(self.folder / "client.ini"),
                self.wine.windows_path(self.folder / "updates.ini")]

    def run(self, *options, timeout=120):
        proc = self.wine.wine(self.args(*options), timeout=timeout)
        return Run(proc.stdout.decode(errors="replace"))

    def recorded(self, section):
        """The path under the "Updates" key (32-bit view), or None."""
        code, out = self.wine.reg_query(UPDATES_KEY.format(self.id), section)
        if code != 0:
            return None
        match = re.search(rf"{re.escape(section)}\s+REG_SZ\s+(.*)", out)
        return match.group(1).strip() if match else None

    def cleanup(self):
        self.wine.reg_delete(r"HKCU\Software\Velmora\Kestrune Updater" + "\\" + self.id)
        shutil.rmtree(self.folder, ignore_errors=True)


@pytest.fixture
def phase(wine, http):
    app = Phase(wine, http)
    yield app
    app.cleanup()


class SwitchingResource(Resource):
    """Serves `first` to the first request and `then` to every later one."""

    def __init__(self, first, then):
        super().__init__(then)
        self._first = first
        self._served = 0

    @property
    def content(self):
        self._served += 1
        return self._first if self._served == 1 else self._then

    @content.setter
    def content(self, value):
        self._then = value


def assert_gone(phase, section):
    assert not phase.local(section).exists()
    assert not phase.part(section).exists()
    assert not (phase.downloads / section).exists()
    assert phase.recorded(section) is None


# --- choosing and applying the check ------------------------------------------------------------------

def test_sha256_is_preferred_over_md5(phase):
    good = payload(70_000, 1)
    phase.add("Both", good, sha=sha256(good).lower(), md5_value="0" * 32)  # a wrong MD5 is never looked at
    result = phase.run()
    assert result.code == 0, result
    assert "begin 105 0 -" in result.lines and "end 105 0x0" in result.lines
    assert not result.events("begin 102")
    assert phase.local("Both").read_bytes() == good
    assert phase.recorded("Both") == phase.wine.windows_path(phase.local("Both"))


def test_sha256_mismatch_fails_even_when_md5_matches(phase):
    good = payload(50_000, 2)
    phase.add("ShaWins", good, sha="0" * 64, md5_value=md5(good))
    result = phase.run()
    assert result.code == BAD_SHA256, result
    assert result.status("ShaWins") == BAD_SHA256
    assert_gone(phase, "ShaWins")


def test_uppercase_md5_matches_the_lowercase_digest(phase):
    good = payload(90_000, 3)
    phase.add("Md5", good, md5_value=md5(good).upper())
    result = phase.run()
    assert result.code == 0, result
    assert "begin 102 0 -" in result.lines and "end 102 0x0" in result.lines
    assert phase.local("Md5").read_bytes() == good


def test_file_one_byte_short_of_its_size_fails_and_is_gone(phase, http):
    short = payload(999, 4)
    # The server announces no length, so the bytes arrive and only the size check can catch them.
    phase.add("Short", short, size=1000, resource=Resource(short, mode="no-length"))
    result = phase.run("--answer", RETRY)
    assert result.code == WRONG_SIZE, result
    assert "error - 0xE0000023 answer 1237" in result.lines  # reported, but never downloaded again
    assert len(http.requests_for(f"/{phase.id}/Short/setup.bin")) == 1
    assert_gone(phase, "Short")


def test_size_announced_by_the_server_differs_nothing_is_kept(phase, http):
    phase.add("Announced", payload(999, 5), size=1000)
    result = phase.run()
    assert result.code == WRONG_SIZE, result
    assert_gone(phase, "Announced")


# --- the corrupt-file question ------------------------------------------------------------------------

def test_sha256_mismatch_answered_retry_downloads_again_from_zero_and_checks_again(phase, http):
    good = payload(120_000, 6)
    corrupt = bytearray(good)
    corrupt[60_000] ^= 0xFF
    path = phase.add("Again", good, sha=sha256(good).upper(), resource=SwitchingResource(bytes(corrupt), good))
    result = phase.run("--answer", RETRY)
    assert result.code == 0, result
    assert result.events("begin 105") == ["begin 105 0 -"] * 2
    assert result.events("end 105") == ["end 105 0xE0000030", "end 105 0x0"]
    requests = http.requests_for(path)
    assert len(requests) == 2
    assert all(r.headers.get("Range") is None for r in requests)
    assert phase.local("Again").read_bytes() == good
    assert phase.recorded("Again") == phase.wine.windows_path(phase.local("Again"))


def test_sha256_mismatch_declined_leaves_no_file_and_no_entry(phase, http):
    good = payload(80_000, 7)
    phase.add("Declined", good, sha=sha256(b"something else"))
    result = phase.run("--answer", 0)
    assert result.code == BAD_SHA256, result
    assert "error - 0xE0000030 answer 0" in result.lines
    assert result.events("end 105") == ["end 105 0xE0000030"]
    assert_gone(phase, "Declined")


def test_cancel_answer_ends_the_phase_before_the_next_update(phase, http):
    first = payload(30_000, 8)
    second = payload(30_000, 9)
    phase.add("First", first, md5_value="f" * 32)
    second_path = phase.add("Second", second)
    result = phase.run("--answer", CANCELED)
    assert result.code == CANCELED, result
    assert result.status("First") == CANCELED
    assert http.requests_for(second_path) == []
    assert result.lines[-1] == "result=0xE0000008"
    assert "end 101 0xE0000008" in result.lines
    assert_gone(phase, "First")


# --- the phase as a whole -----------------------------------------------------------------------------

def test_phase_downloads_selected_updates_in_order_and_returns_the_last_error(phase, http):
    a = payload(40_000, 10)
    b = payload(40_000, 11)
    c = payload(40_000, 12)
    phase.add("UpdA", a, sha=sha256(a))
    phase.add("UpdB", b, md5_value="1" * 32)
    skipped = phase.add("UpdC", c)
    result = phase.run("--select", "UpdA", "--select", "UpdB")
    assert result.code == BAD_MD5, result
    assert result.lines[1] == "begin 101 0 -"
    names = [line.split()[3] for line in result.events("begin 1 ")]
    assert names == [phase.wine.windows_path(phase.local("UpdA")), phase.wine.windows_path(phase.local("UpdB"))]
    assert "end 101 0xE0000022" in result.lines
    assert http.requests_for(skipped) == []
    log = read_log(phase.log)
    assert 'Update "Update UpdA" installer downloaded. Return code: 0' in log
    assert 'Update "Update UpdB" installer downloaded. Return code: 0xE0000022' in log


def test_recorded_download_is_not_fetched_again(phase, http):
    good = payload(60_000, 13)
    path = phase.add("Once", good, sha=sha256(good))
    assert phase.run().code == 0
    assert phase.recorded("Once") == phase.wine.windows_path(phase.local("Once"))
    assert phase.run("--state-only").state("Once") == 2
    second = phase.run()
    assert second.code == 0, second
    assert len(http.requests_for(path)) == 1
    assert not second.events("begin 1 ")


def test_part_file_larger_than_size_is_deleted_when_the_state_is_computed(phase, http):
    good = payload(50_000, 14)
    path = phase.add("Big", good, sha=sha256(good))
    phase.part("Big").parent.mkdir(parents=True)
    phase.part("Big").write_bytes(b"\xAA" * 50_100)
    state = phase.run("--state-only")
    assert state.state("Big") == 1, state
    assert not phase.part("Big").exists()
    assert http.requests_for(path) == []
    result = phase.run()
    assert result.code == 0, result
    assert http.requests_for(path)[0].headers.get("Range") is None
    assert phase.local("Big").read_bytes() == good


# --- a download process killed on the way -------------------------------------------------------------

@pytest.mark.parametrize("die_after", [1, 60_000, 240_000])
def test_process_killed_mid_transfer_leaves_a_part_file_that_resumes_to_a_verified_file(phase, http, die_after):
    good = payload(300_000, 15)
    path = phase.add("Killed", good, sha=sha256(good))
    killed = phase.run("--die-after", die_after)
    assert "dying" in killed.lines, killed
    assert not phase.local("Killed").exists()
    assert phase.recorded("Killed") is None
    kept = phase.part("Killed").stat().st_size if phase.part("Killed").exists() else 0
    assert kept < len(good)
    assert phase.part("Killed").read_bytes() == good[:kept] if kept else True

    result = phase.run()
    assert result.code == 0, result
    assert phase.local("Killed").read_bytes() == good
    assert not phase.part("Killed").exists()
    assert phase.recorded("Killed") == phase.wine.windows_path(phase.local("Killed"))
    if kept:
        assert http.requests_for(path)[-1].headers.get("Range") == f"bytes={kept}-"


def test_process_killed_by_another_process_while_the_server_stalls(phase, http, wine):
    good = payload(200_000, 16)
    resource = Resource(good, mode="stall", stall_after=100_000)
    path = phase.add("Stalled", good, sha=sha256(good), resource=resource)
    env = wine.env()
    proc = subprocess.Popen([str(wine.wine_run), *phase.args("--progress")], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    pid = None
    received = 0
    deadline = time.monotonic() + 60
    try:
        while time.monotonic() < deadline and received < 100_000:
            line = proc.stdout.readline().decode(errors="replace").strip()
            if not line:
                if proc.poll() is not None:
                    break
                continue
            if line.startswith("pid "):
                pid = int(line.split()[1])
            elif line.startswith("progress "):
                received = int(line.split()[1])
        assert pid is not None and received >= 100_000, (pid, received)
        killer = wine.wine([str(wine.build_dir / "tools" / "killprocess.exe"), str(pid)], timeout=60)
        assert killer.returncode == 0, killer.stderr
        proc.wait(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(timeout=30)
        proc.stdout.close()
    assert not phase.local("Stalled").exists()
    assert phase.recorded("Stalled") is None
    assert phase.part("Stalled").read_bytes() == good[:100_000]

    resource.mode = "normal"
    result = phase.run()
    assert result.code == 0, result
    assert http.requests_for(path)[-1].headers.get("Range") == "bytes=100000-"
    assert phase.local("Stalled").read_bytes() == good
    assert phase.recorded("Stalled") == phase.wine.windows_path(phase.local("Stalled"))


@pytest.mark.parametrize("tampered", [False, True])
def test_process_killed_before_the_check_leaves_a_file_that_is_never_trusted_unchecked(phase, http, tampered):
    good = payload(100_000, 17)
    path = phase.add("Unchecked", good, sha=sha256(good))
    killed = phase.run("--die-at-begin", 105)
    assert "dying" in killed.lines, killed
    # The bytes are all there, but only in the part file: nothing complete-looking, nothing recorded.
    assert not phase.local("Unchecked").exists()
    assert phase.part("Unchecked").read_bytes() == good
    assert phase.recorded("Unchecked") is None
    if tampered:
        data = bytearray(phase.part("Unchecked").read_bytes())
        data[5] ^= 0x01
        phase.part("Unchecked").write_bytes(bytes(data))

    state = phase.run("--state-only")
    if tampered:
        assert state.state("Unchecked") == 1, state
        assert_gone(phase, "Unchecked")
        result = phase.run()
        assert result.code == 0, result
        assert len(http.requests_for(path)) == 2
        assert http.requests_for(path)[-1].headers.get("Range") is None
    else:
        assert state.state("Unchecked") == 2, state
        assert len(http.requests_for(path)) == 1
    assert phase.local("Unchecked").read_bytes() == good
    assert phase.recorded("Unchecked") == phase.wine.windows_path(phase.local("Unchecked"))


def test_stream_that_always_ends_early_is_repeated_a_bounded_number_of_times(phase, http):
    content = payload(50_000, 18)
    # The server announces 5,000 bytes more than it ever sends.
    phase.add("Cut", content, size=55_000, sha=sha256(content + b"\0" * 5_000),
              resource=Resource(content, mode="wrong-length", extra=5_000))
    result = phase.run(timeout=180)
    assert result.code == 0xE000000F, result
    assert len(result.events("begin 1 ")) == 4  # the first download and three repetitions
    assert not result.events("begin 105")
    assert not phase.local("Cut").exists()
    assert phase.part("Cut").read_bytes() == content  # kept for a later resume
    assert phase.recorded("Cut") is None
