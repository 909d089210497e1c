#!/usr/bin/env python3
"""The updater's benchmarks under Wine, each against what the host does on the same data.

Usage: run_bench.py --build-dir build/x64 [--size-mib 256] [--small-size-mib 16]
                    [--only hash|download|catalogue|justcheck] [--catalogue-updates 100 1000 5000]

Hashes: the file hashes of the download checks against the host's sha256sum and md5sum on one file.
Downloads: the same file from one local HTTP server, fetched by curl on the host, by a plain WinINet
read loop under Wine (51,200-byte buffer) and by the download engine; the throughputs, the ratios of
the engine to the other two, and the peak working set of the engine for a small and the large file
(it must not grow with the file).
Catalogue: the load time of generated updates configuration files of 100, 1,000 and 5,000 updates
(no host counterpart: the growth with the size is the figure).
Just-check: an up-to-date "/justcheck" against a catalogue of 20 installed updates, against its floor:
the download test tool started the same way, fetching the same updates file once.
The digests and the downloaded files must agree; the times are reported, never judged.
"""
import argparse
import filecmp
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

from file_server import FileServer

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[1]
MB = 1_000_000
MIB = 1 << 20
# The engine's peak working set may differ by this much between the small and the large file.
WORKING_SET_GROWTH_LIMIT = 4 * MIB


def make_file(path, size_mib):
    chunk = os.urandom(1 << 20)
    with open(path, "wb") as out:
        for i in range(size_mib):
            # Vary every mebibyte cheaply so that no two blocks are alike.
            out.write(i.to_bytes(4, "little") + chunk[4:])


def host_hash(tool, path):
    start = time.perf_counter()
    out = subprocess.run([tool, str(path)], check=True, capture_output=True, text=True).stdout
    return out.split()[0], time.perf_counter() - start


def windows_path(path):
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def run_wine(env, *args, timeout=1800):
    return subprocess.run([str(SOURCE_DIR / "cmake" / "wine-run.sh"), *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=timeout)


def hash_bench(build_dir, env, folder, data, size_mib):
    host_sha256, host_sha256_s = host_hash("sha256sum", data)
    host_md5, host_md5_s = host_hash("md5sum", data)

    proc = run_wine(env, build_dir / "bench" / "hash_bench.exe", windows_path(data))
    pattern = r"^(sha256|md5)=([0-9A-Fa-f]+) seconds=([0-9.]+)"
    found = {name: (digest, float(seconds)) for name, digest, seconds in re.findall(pattern, proc.stdout, re.M)}
    if proc.returncode != 0 or set(found) != {"sha256", "md5"}:
        sys.exit(f"hash_bench failed: {proc.stdout}{proc.stderr}")
    if found["sha256"][0] != host_sha256.upper() or found["md5"][0] != host_md5.lower():
        sys.exit(f"digests differ from the host's: {found} vs {host_sha256} {host_md5}")

    print(f"Hashes, file: {size_mib} MiB")
    print(f"{'hash':8} {'updater (Wine)':>15} {'host':>10} {'ratio':>7}")
    figures = {}
    for name, host_seconds in (("sha256", host_sha256_s), ("md5", host_md5_s)):
        seconds = found[name][1]
        ratio = seconds / host_seconds if host_seconds > 0 else float("inf")
        print(f"{name:8} {seconds:14.2f}s {host_seconds:9.2f}s {ratio:7.2f}")
        figures[f"{name}_host_over_updater"] = host_seconds / seconds if seconds > 0 else float("inf")
    return figures


class Fetch:
    def __init__(self, size, seconds, peak=None, blocks=None, largest_block=None):
        self.size, self.seconds, self.peak, self.blocks, self.largest_block = size, seconds, peak, blocks, largest_block


def curl_download(url, destination):
    proc = subprocess.run(["curl", "--silent", "--show-error", "--fail", "--noproxy", "*", "--output",
                           str(destination), "--write-out", "%{size_download} %{time_total}", url],
                          capture_output=True, text=True, timeout=1800)
    if proc.returncode != 0:
        sys.exit(f"curl failed: {proc.stderr}")
    size, seconds = proc.stdout.split()
    return Fetch(int(size), float(seconds))


def wine_download(env, program, url, destination, *extra):
    proc = run_wine(env, program, url, windows_path(destination), *extra)
    found = re.search(r"^bytes=(\d+) seconds=([0-9.]+) peak_working_set=(\d+) blocks=(\d+)(?: largest_block=(\d+))?",
                      proc.stdout, re.M)
    if proc.returncode != 0 or not found:
        sys.exit(f"{program.name} failed: {proc.stdout}{proc.stderr}")
    size, seconds, peak, blocks, largest = found.groups()
    return Fetch(int(size), float(seconds), int(peak), int(blocks), int(largest) if largest else None)


def download_bench(build_dir, env, folder, sizes):
    """Downloads each file of `sizes` (MiB -> path) with every client and prints the figures."""
    downloads = folder / "downloads"
    downloads.mkdir()
    wininet = build_dir / "bench" / "wininet_bench.exe"
    engine = build_dir / "bench" / "engine_bench.exe"
    clients = {
        "curl": ("curl (host)", lambda url, out: curl_download(url, out)),
        "loop": ("WinINet loop", lambda url, out: wine_download(env, wininet, url, out)),
        "engine": ("engine", lambda url, out: wine_download(env, engine, url, out)),
        # Not one of the compared figures: the bare loop reading only what
        # InternetQueryDataAvailable reports, as the engine does.
        "qda": ("WinINet loop, reads sized by QDA", lambda url, out: wine_download(env, wininet, url, out, "qda")),
    }
    results = {}
    with FileServer(folder) as server:
        for size_mib, data in sizes.items():
            for key, (label, fetch) in clients.items():
                destination = downloads / f"{size_mib}-{key}.bin"
                fetched = fetch(server.url(data.name), destination)
                if fetched.size != data.stat().st_size or not filecmp.cmp(data, destination, shallow=False):
                    sys.exit(f"{label} did not download {data.name} intact ({fetched.size} bytes)")
                destination.unlink()
                results[(size_mib, key)] = fetched

    def throughput(size_mib, key):
        seconds = results[(size_mib, key)].seconds
        return size_mib * MIB / MB / seconds if seconds > 0 else float("inf")

    print("Downloads from one local HTTP server on 127.0.0.1 (MB/s = 10^6 bytes per second)")
    print(f"{'client':34}" + "".join(f" {f'{size_mib} MiB file':>30}" for size_mib in sizes))
    for key, (label, _) in clients.items():
        cells = []
        for size_mib in sizes:
            fetched = results[(size_mib, key)]
            blocks = f"{fetched.size / fetched.blocks / 1024:5.1f} KiB/read" if fetched.blocks else " " * 14
            cells.append(f" {throughput(size_mib, key):7.1f} MB/s {fetched.seconds:6.2f}s {blocks}")
        print(f"{label:34}" + "".join(cells))
    for size_mib in sizes:
        engine_mbs = throughput(size_mib, "engine")
        print(f"{size_mib} MiB: engine / WinINet loop {engine_mbs / throughput(size_mib, 'loop'):.2f}, "
              f"engine / curl {engine_mbs / throughput(size_mib, 'curl'):.2f}, "
              f"engine's largest block {results[(size_mib, 'engine')].largest_block} bytes")

    print("Peak working set (GetProcessMemoryInfo PeakWorkingSetSize)")
    for key in ("loop", "engine"):
        peaks = ", ".join(f"{size_mib} MiB file {results[(size_mib, key)].peak / MIB:.1f} MiB" for size_mib in sizes)
        print(f"  {clients[key][0]:12}: {peaks}")
    small, large = min(sizes), max(sizes)
    figures = {f"engine_vs_qda_loop_{size_mib}mib": throughput(size_mib, "engine") / throughput(size_mib, "qda")
               for size_mib in sizes}
    figures[f"engine_vs_bare_loop_{large}mib"] = throughput(large, "engine") / throughput(large, "loop")
    figures[f"engine_vs_curl_{large}mib"] = throughput(large, "engine") / throughput(large, "curl")
    growth = results[(large, "engine")].peak - results[(small, "engine")].peak
    verdict = "more than" if growth > WORKING_SET_GROWTH_LIMIT else "not more than"
    print(f"  engine, {large} MiB against {small} MiB file: {growth / MIB:+.1f} MiB, "
          f"{verdict} {WORKING_SET_GROWTH_LIMIT // MIB} MiB of growth")
    return figures


def catalogue_bench(build_dir, env, sizes):
    proc = run_wine(env, build_dir / "bench" / "catalogue_bench.exe", *sizes, timeout=3600)
    pattern = r"^updates=(\d+) bytes=(\d+) sections_loaded=\d+ seconds=([0-9.]+) ms_per_update=([0-9.]+)"
    found = [(int(n), int(size), float(seconds), float(per)) for n, size, seconds, per
             in re.findall(pattern, proc.stdout, re.M)]
    if proc.returncode != 0 or len(found) != len(sizes):
        sys.exit(f"catalogue_bench failed: {proc.stdout}{proc.stderr}")
    print("Catalogue load (UpdatesFileReader::Load, both switches on, under Wine)")
    print(f"{'updates':>8} {'file':>10} {'seconds':>9} {'ms/update':>10} {'growth':>8}")
    previous = None
    for updates, size, seconds, per_update in found:
        growth = f"{seconds / previous:7.1f}x" if previous else ""
        print(f"{updates:8} {size / 1024:7.0f} KiB {seconds:9.2f} {per_update:10.2f} {growth:>8}")
        previous = seconds
    return {f"catalogue_{updates}_s": seconds for updates, _, seconds, _ in found}


JUSTCHECK_UPDATES = 20
JUSTCHECK_RUNS = 7
UP_TO_DATE = 0xE0000011


def timed_windows_run(env, build_dir, command):
    """Starts a Windows program through the test launcher and returns (exit code, seconds)."""
    # Output goes to a file: a pipe would be held open by Wine's background programs that the run
    # starts, and the time would be theirs.
    with tempfile.TemporaryFile() as out:
        start = time.perf_counter()
        subprocess.run([str(SOURCE_DIR / "cmake" / "wine-run.sh"), str(build_dir / "tools" / "runexe.exe")],
                       env=dict(env, RUNEXE_COMMAND=command), stdout=out, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, timeout=300)
        seconds = time.perf_counter() - start
        out.seek(0)
        found = re.search(r"exit=(\d+)", out.read().decode(errors="replace"))
    return (int(found.group(1)) if found else None), seconds


def justcheck_bench(build_dir, env, folder):
    app_id = "BenchJustCheck"
    state_key = rf"HKCU\Software\KestruneBench\{app_id}"
    app = folder / "app"
    app.mkdir()
    shutil.copy2(build_dir / "updater.exe", app / "updater.exe")
    sections = [";kxw;\r\n"]
    registry = ["Windows Registry Editor Version 5.00", ""]
    for i in range(JUSTCHECK_UPDATES):
        sections.append(f"[Tool 1.{i}]\r\nName=Tool 1.{i}\r\nDescription=Release {i}.\r\nSize=1048576\r\n"
                        f"URL=http://127.0.0.1/tool-1.{i}.exe\r\nRegistryKey={state_key}\\U{i}\\Version\r\n"
                        f"Version=1.{i}\r\n\r\n")
        registry += [f"[{state_key.replace('HKCU', 'HKEY_CURRENT_USER')}\\U{i}]", f'"Version"="1.{i}"', ""]
    (folder / "updates.ini").write_bytes("".join(sections).encode("latin-1"))
    (folder / "state.reg").write_text("\r\n".join(registry), encoding="utf-16")
    run_wine(env, "reg", "import", windows_path(folder / "state.reg"), "/reg:32")
    with FileServer(folder) as server:
        url = server.url("updates.ini")
        (app / "updater.ini").write_text(
            f"[General]\r\nID={app_id}\r\nApplicationName=Tool\r\nApplicationVersion=1.0\r\nURL={url}\r\n"
            f"AppDir={windows_path(app)}\r\nDownloadsFolder={windows_path(app / 'downloads')}\r\n",
            encoding="latin-1")
        check = f'"{windows_path(app / "updater.exe")}" /justcheck'
        fetch = f'"{windows_path(build_dir / "tools" / "fetch.exe")}" "{windows_path(folder / "fetched.ini")}" {url}'
        trivial = f'"{windows_path(build_dir / "tools" / "exitwith.exe")}" 0'
        checks, floors, starts = [], [], []
        for _ in range(JUSTCHECK_RUNS):
            code, seconds = timed_windows_run(env, build_dir, check)
            if code != UP_TO_DATE:
                sys.exit(f"/justcheck did not find the software up to date: {code}")
            checks.append(seconds)
            code, seconds = timed_windows_run(env, build_dir, fetch)
            if code != 0:
                sys.exit(f"fetch.exe failed: {code}")
            floors.append(seconds)
            starts.append(timed_windows_run(env, build_dir, trivial)[1])
    run_wine(env, "reg", "delete", rf"HKCU\Software\KestruneBench", "/f", "/reg:32")
    run_wine(env, "reg", "delete", rf"HKCU\Software\Velmora\Kestrune Updater\{app_id}", "/f", "/reg:32")
    check_s, floor_s, start_s = (sorted(values)[len(values) // 2] for values in (checks, floors, starts))
    print(f"Up-to-date /justcheck, {JUSTCHECK_UPDATES} updates (median of {JUSTCHECK_RUNS} runs, started through "
          "the test launcher under Wine)")
    print(f"  /justcheck {check_s:.3f} s; floor (one GET by the download test tool) {floor_s:.3f} s; "
          f"a trivial program alone {start_s:.3f} s")
    return check_s / floor_s


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--small-size-mib", type=int, default=16)
    parser.add_argument("--only", choices=("hash", "download", "catalogue", "justcheck"))
    parser.add_argument("--catalogue-updates", type=int, nargs="+", default=[100, 1000, 5000])
    args = parser.parse_args()
    build_dir = pathlib.Path(args.build_dir).resolve()
    needed = {"hash": ("hash_bench",), "download": ("wininet_bench", "engine_bench"),
              "catalogue": ("catalogue_bench",), "justcheck": ()}
    programs = needed[args.only] if args.only else sum(needed.values(), ())
    for program in programs:
        if not (build_dir / "bench" / f"{program}.exe").exists():
            sys.exit(f"{program}.exe is missing in {build_dir / 'bench'}: build the target 'bench' first")
    if shutil.which("curl") is None:
        sys.exit("curl is missing: run scripts/install-deps.sh")

    env = dict(os.environ, UPDATER_BUILD_DIR=str(build_dir))
    # Start the prefix and the wine server before anything is timed, and keep the server alive between
    # the short runs (a fresh wine server per run costs seconds).
    run_wine(env, "cmd", "/c", "exit", timeout=300)
    subprocess.run(["wineserver", "-p60"], env=dict(env, WINEPREFIX=str(build_dir / "wineprefix")), timeout=30,
                   check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    figures = {}
    if args.only in ("catalogue", None):
        figures.update(catalogue_bench(build_dir, env, args.catalogue_updates))
        print()
    if args.only in ("hash", "download", "justcheck", None):
        folder = pathlib.Path(tempfile.mkdtemp(prefix="bench-", dir=build_dir))
        try:
            if args.only in ("hash", "download", None):
                data = folder / "data.bin"
                make_file(data, args.size_mib)
            if args.only in ("hash", None):
                figures.update(hash_bench(build_dir, env, folder, data, args.size_mib))
                print()
            if args.only in ("download", None):
                small = folder / "small.bin"
                make_file(small, args.small_size_mib)
                figures.update(download_bench(build_dir, env, folder, {args.small_size_mib: small, args.size_mib: data}))
                print()
            if args.only in ("justcheck", None):
                figures["justcheck_uptodate_over_floor"] = justcheck_bench(build_dir, env, folder)
                print()
        finally:
            shutil.rmtree(folder, ignore_errors=True)
    order = ["catalogue_1000_s", "catalogue_5000_s", f"engine_vs_qda_loop_{args.small_size_mib}mib",
             f"engine_vs_qda_loop_{args.size_mib}mib", f"engine_vs_bare_loop_{args.size_mib}mib",
             f"engine_vs_curl_{args.size_mib}mib", "sha256_host_over_updater", "md5_host_over_updater",
             "justcheck_uptodate_over_floor"]
    for name in order + sorted(set(figures) - set(order)):
        if name in figures:
            print(f"BENCH {name}={figures[name]:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
