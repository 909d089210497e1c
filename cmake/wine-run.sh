#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix (never ~/.wine).
# The prefix is created once; concurrent callers wait for the first to finish it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build_dir=${UPDATER_BUILD_DIR:-$(cd "$here/.." && pwd)/build}
export WINEPREFIX=$build_dir/wineprefix
export WINEDEBUG=-all
export WINEARCH=win64
# powershell.exe=n: a PowerShell program placed in the prefix (the tests' stand-in) is run instead of
# Wine's built-in stub.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;powershell.exe=n"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ftp_proxy FTP_PROXY no_proxy NO_PROXY all_proxy ALL_PROXY
if "$here/host-runs-32bit.sh"; then
  loader=(wine)
else
  export WINELOADER=/usr/lib/wine/wine64
  loader=("$WINELOADER")
fi
mkdir -p "$build_dir"
ready="$WINEPREFIX/.updater-ready-2"
if [ ! -f "$ready" ]; then
  exec 9>"$build_dir/.wineprefix.lock"
  flock 9
  if [ ! -f "$ready" ]; then
    "${loader[@]}" wineboot -i >/dev/null 2>&1 || true
    [ -d "$WINEPREFIX/drive_c" ] || { echo "wine-run: could not create the prefix $WINEPREFIX" >&2; exit 1; }
    # Opening a Windows Installer package passes the parameters on, as on Windows (Wine's own open
    # command drops them).
    for view in 32 64; do
      "${loader[@]}" reg add 'HKCR\Msi.Package\shell\Open\command' /ve /t REG_SZ /f /reg:$view \
        /d '"C:\windows\system32\msiexec.exe" /i "%1" %*' >/dev/null 2>&1 || true
    done
    wineserver -w || true
    touch "$ready"
  fi
  flock -u 9
fi
exec "${loader[@]}" "$@"
