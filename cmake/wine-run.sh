#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix (never ~/.wine).
# The prefix is created once; concurrent callers wait for the first to finish it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build_dir=${UPDATER_BUILD_DIR:-$(cd "$here/.." && pwd)/build}
export WINEPREFIX=$build_dir/wineprefix
export WINEDEBUG=-all
export WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ftp_proxy FTP_PROXY no_proxy NO_PROXY all_proxy ALL_PROXY
if "$here/host-runs-32bit.sh"; then
  loader=(wine)
else
  export WINELOADER=/usr/lib/wine/wine64
  loader=("$WINELOADER")
fi
mkdir -p "$build_dir"
if [ ! -f "$WINEPREFIX/.updater-ready" ]; then
  exec 9>"$build_dir/.wineprefix.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.updater-ready" ]; then
    "${loader[@]}" wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    [ -d "$WINEPREFIX/drive_c" ] || { echo "wine-run: could not create the prefix $WINEPREFIX" >&2; exit 1; }
    touch "$WINEPREFIX/.updater-ready"
  fi
  flock -u 9
fi
exec "${loader[@]}" "$@"
