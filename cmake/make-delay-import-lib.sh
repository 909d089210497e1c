#!/bin/sh
# Makes a delay-load import library for one system DLL from the toolchain's ordinary import library:
# every function the ordinary library exports, resolved on the first call instead of at process start.
#   make-delay-import-lib.sh <toolchain prefix> <ordinary import library> <dll file name> <output library>
set -eu
prefix=$1
import_library=$2
dll=$3
output=$4
definitions=$output.def
case "$prefix" in
  i686-*) machine="-m i386 --kill-at"; strip_underscore=1 ;;
  *) machine="-m i386:x86-64"; strip_underscore=0 ;;
esac
{
  echo "LIBRARY $dll"
  echo "EXPORTS"
  # Function entries only ("T"): data cannot be delay-loaded. 32-bit symbols carry the C prefix "_".
  "$prefix-nm" "$import_library" | awk -v strip="$strip_underscore" \
    '$2 == "T" { name = $3; if (strip == 1) sub(/^_/, "", name); print name }' | sort -u
} > "$definitions"
# shellcheck disable=SC2086
"$prefix-dlltool" $machine --input-def "$definitions" --dllname "$dll" --output-delaylib "$output"
