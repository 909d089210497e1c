#!/usr/bin/env bash
# Exits 0 when this Linux host can execute 32-bit x86 programs (and so 32-bit Wine).
# Some kernels are booted with 32-bit emulation switched off; Wine then runs 64-bit programs only.
[ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1
