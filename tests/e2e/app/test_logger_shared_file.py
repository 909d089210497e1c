"""Several processes append to one shared log at the same time: no line is lost or torn."""
import re
import subprocess

import pytest

BANNER_LINES = {"", "<< Kestrune Installer (x86) Log >>"}
LINE = re.compile(r"# \d{4}-\d\d-\d\d \d\d-\d\d-\d\d \[PID=(\d+)\|Thread=\d+\] +\|\t\t(\w+) (\d+) (\.*)")


def start_writers(wine, log, go, tags, count):
    tool = str(wine.build_dir / "tools" / "logwriter.exe")
    writers = []
    for tag in tags:
        writers.append(subprocess.Popen(
            [str(wine.wine_run), tool, wine.windows_path(log), "#lines", str(count), tag, wine.windows_path(go)],
            env=wine.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True))
    return writers


@pytest.mark.parametrize("tags", [("alpha", "beta"), ("alpha", "beta", "gamma")])
def test_concurrent_writers_lose_and_tear_no_line(wine, workdir, tags):
    count = 500
    log = workdir / "shared.log"
    go = workdir / "go"
    writers = start_writers(wine, log, go, tags, count)
    try:
        # Every writer is started and waiting before any of them opens the log.
        for writer in writers:
            assert writer.stdout.readline().strip() == "ready"
        go.write_bytes(b"")
        for writer in writers:
            assert writer.wait(timeout=120) == 0
    finally:
        for writer in writers:
            if writer.poll() is None:
                writer.kill()
                writer.wait()

    data = log.read_bytes()
    assert data[:2] == b"\xff\xfe"
    assert len(data) % 2 == 0
    text = data[2:].decode("utf-16-le")
    assert "\ufeff" not in text, "a second byte-order mark inside the log"
    assert text.endswith("\r\n")
    seen = {tag: [] for tag in tags}
    pids = {tag: set() for tag in tags}
    banners = 0
    for line in text[:-2].split("\r\n"):
        if line in BANNER_LINES or line.startswith("OS Version: ") or line.startswith("CPU: "):
            banners += line.startswith("<< Kestrune")
            continue
        match = LINE.fullmatch(line)
        assert match, f"torn or foreign line: {line!r}"
        pid, tag, number, filler = match.groups()
        assert tag in seen, line
        assert len(filler) == int(number) % 37, line
        seen[tag].append(int(number))
        pids[tag].add(pid)
    assert banners == len(tags)
    for tag in tags:
        # Each writer's lines all arrive, once each and in its own order.
        assert seen[tag] == list(range(1, count + 1)), tag
        assert len(pids[tag]) == 1
    # The writers really ran at the same time: their lines are interleaved.
    order = [m.group(2) for m in LINE.finditer(text)]
    switches = sum(1 for a, b in zip(order, order[1:]) if a != b)
    assert switches >= len(tags), f"the writers did not overlap ({switches} switches)"
