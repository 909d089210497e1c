#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; skips what is present.
set -euo pipefail
packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 cmake make googletest python3-pytest
          python3-pyftpdlib python3-cryptography libwine-dev wine64-tools rapidjson-dev osslsigncode openssl wixl xvfb xauth curl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
# A mirror in the middle of a sync answers with index files of the wrong size for a while: the
# update is tried again, and the installation goes on with the indexes that did arrive.
for attempt in 1 2 3 4; do
  $sudo apt-get update -q && break
  echo "apt-get update failed (attempt $attempt); trying again" >&2
  sleep $((attempt * 15))
done
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
