"""Broken and hostile servers: redirect loops, endless answers and installers longer than the
catalogue says. The engine bounds each of them and fails with a clear code, leaving nothing behind."""
import shutil

from servers import Resource
from test_download import WRONG_SIZE, fetch, payload, url  # noqa: F401 (fetch is a fixture)
from wineenv import read_log

REDIRECT_FAILED = 12156  # ERROR_HTTP_REDIRECT_FAILED
BAD_UPDATES_FILE = 0xE000000E
MAX_REDIRECTS = 10


def test_a_redirect_loop_fails_the_attempt_and_the_next_mirror_serves(http, folder, fetch):
    content = payload(40_000, 11)
    loop = Resource(mode="redirect-loop")
    loop_path = http.add("/loop/update.bin", loop)
    good = http.add("/loop-mirror/update.bin", Resource(content))

    alone = fetch(folder / "alone.bin", url(http, loop_path), timeout=60)
    assert alone.code == REDIRECT_FAILED, alone
    assert loop.hops == MAX_REDIRECTS + 1  # ten followed, the eleventh refused
    assert not (folder / "alone.bin").exists() and not (folder / "alone.bin.part").exists()

    loop.hops = 0
    rotated = fetch(folder / "rotated.bin", url(http, loop_path), url(http, good), timeout=60)
    assert rotated.code == 0, rotated
    assert loop.hops == MAX_REDIRECTS + 1
    assert (folder / "rotated.bin").read_bytes() == content


def test_a_chain_of_five_redirects_reaches_the_file(http, folder, fetch):
    content = payload(70_000, 12)
    final = http.add("/chain/final.bin", Resource(content))
    # Absolute, host-relative, scheme-relative and path-relative locations.
    http.add("/chain/4", Resource(mode="redirect", location="final.bin"))
    http.add("/chain/3", Resource(mode="redirect", location=f"//127.0.0.1:{http.port}/chain/4"))
    http.add("/chain/2", Resource(mode="redirect", location="/chain/3"))
    http.add("/chain/1", Resource(mode="redirect", location=url(http, "/chain/2")))
    start = http.add("/chain/0", Resource(mode="redirect", location="1"))
    result = fetch(folder / "chained.bin", url(http, start), options=["--expected", len(content)])
    assert result.code == 0, result
    assert (folder / "chained.bin").read_bytes() == content
    assert len(http.requests_for(final)) == 1


def test_an_installer_longer_than_its_size_is_refused_without_a_part_file(http, folder, fetch):
    content = payload(300_000, 13)
    size = 100_000
    announced = http.add("/long/announced.bin", Resource(content))
    unannounced = http.add("/long/unannounced.bin", Resource(content, mode="no-length"))
    for name, path in (("announced", announced), ("unannounced", unannounced)):
        destination = folder / f"{name}.bin"
        destination.with_name(destination.name + ".part").write_bytes(b"")
        result = fetch(destination, url(http, path), options=["--expected", size])
        assert result.code == WRONG_SIZE, (name, result)
        assert not destination.exists(), name
        assert not destination.with_name(destination.name + ".part").exists(), name


def test_a_resumed_download_from_a_server_ignoring_range_still_completes(http, folder, fetch):
    content = payload(150_000, 14)
    path = http.add("/long/norange.bin", Resource(content, mode="ignore-range"))
    (folder / "norange.bin.part").write_bytes(content[:90_000])
    result = fetch(folder / "norange.bin", url(http, path), options=["--expected", len(content)])
    assert result.code == 0, result
    assert (folder / "norange.bin").read_bytes() == content
    assert http.requests_for(path)[-1].headers.get("Range") == "bytes=90000-"


def test_an_endless_updates_file_stops_at_its_cap(wine, http):
    endless = Resource(b";kxw;\r\n[Endless]\r\nName=Endless\r\n", mode="endless")
    path = http.add("/endless/updates.ini", endless)
    app = wine.new_app_folder()
    downloads = app / "downloads"
    (app / "updater.ini").write_text(
        "[General]\r\nID=HostileEndless\r\nApplicationName=Tool\r\nApplicationVersion=1.0\r\n"
        f"URL={url(http, path)}\r\nAppDir={wine.windows_path(app)}\r\n"
        f"DownloadsFolder={wine.windows_path(downloads)}\r\n", encoding="latin-1")
    try:
        assert wine.run_exe(app / "updater.exe", "/set loglevel Error|Info|Debug|Trace").code == 0
        result = wine.run_exe(app / "updater.exe", "/justcheck", timeout=120)
        assert result.code == BAD_UPDATES_FILE, result
        assert not [p for p in downloads.rglob("*") if p.is_file()] if downloads.exists() else True
        log = read_log(app / "updater.log")
        assert f"would pass its bound of {32 << 20} bytes" in log, log[-2000:]
        # The engine stopped reading: the server got no further than the cap and its buffers.
        assert endless.sent < (32 << 20) + (16 << 20)
    finally:
        wine.reg_delete(r"HKCU\Software\Velmora\Kestrune Updater\HostileEndless")
        shutil.rmtree(app, ignore_errors=True)
