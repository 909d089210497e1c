#!/usr/bin/env python3
"""Times the updater's file hashes under Wine against the host's sha256sum and md5sum on one 256 MiB file.

Usage: run_bench.py --build-dir build/x64 [--size-mib 256]
Prints the seconds of each and the ratio updater / host. The digests must agree; the times are
reported, never judged.
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[1]


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--size-mib", type=int, default=256)
    args = parser.parse_args()
    build_dir = pathlib.Path(args.build_dir).resolve()
    bench_exe = build_dir / "bench" / "hash_bench.exe"
    if not bench_exe.exists():
        sys.exit(f"{bench_exe} is missing: build the target 'bench' first")

    env = dict(os.environ, UPDATER_BUILD_DIR=str(build_dir))
    wine_run = SOURCE_DIR / "cmake" / "wine-run.sh"
    # Start the prefix and the wine server before anything is timed.
    subprocess.run([str(wine_run), "cmd", "/c", "exit"], env=env, capture_output=True, timeout=300)

    folder = pathlib.Path(tempfile.mkdtemp(prefix="hash-bench-", dir=build_dir))
    try:
        data = folder / "data.bin"
        make_file(data, args.size_mib)
        host_sha256, host_sha256_s = host_hash("sha256sum", data)
        host_md5, host_md5_s = host_hash("md5sum", data)

        proc = subprocess.run([str(wine_run), str(bench_exe), windows_path(data)], env=env, capture_output=True,
                              text=True, timeout=1800)
        pattern = r"^(sha256|md5)=([0-9A-Fa-f]+) seconds=([0-9.]+)"
        found = {name: (digest, float(seconds)) for name, digest, seconds in re.findall(pattern, proc.stdout, re.M)}
        if proc.returncode != 0 or set(found) != {"sha256", "md5"}:
            sys.exit(f"hash_bench failed: {proc.stdout}{proc.stderr}")
        if found["sha256"][0] != host_sha256.upper() or found["md5"][0] != host_md5.lower():
            sys.exit(f"digests differ from the host's: {found} vs {host_sha256} {host_md5}")

        print(f"File: {args.size_mib} MiB")
        print(f"{'hash':8} {'updater (Wine)':>15} {'host':>10} {'ratio':>7}")
        for name, host_seconds in (("sha256", host_sha256_s), ("md5", host_md5_s)):
            seconds = found[name][1]
            ratio = seconds / host_seconds if host_seconds > 0 else float("inf")
            print(f"{name:8} {seconds:14.2f}s {host_seconds:9.2f}s {ratio:7.2f}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
