#!/usr/bin/env bash
# Two clean builds of the deliverables, in two different folders, must give
# byte-identical KorvaleNoQuorVallin.exe and KorvaleNoQuorVallin.sys.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d -t korvale-repro.XXXXXX)
trap 'rm -rf "$work"' EXIT
for side in first second-build; do
  cmake -S . -B "$work/$side" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DMINGW_THREADS=win32 >/dev/null
  cmake --build "$work/$side" -j "$(nproc)" --target program >/dev/null
done
status=0
for file in KorvaleNoQuorVallin.exe KorvaleNoQuorVallin.sys; do
  a=$(sha256sum < "$work/first/$file" | cut -d' ' -f1)
  b=$(sha256sum < "$work/second-build/$file" | cut -d' ' -f1)
  if [ "$a" = "$b" ]; then echo "ok   $file identical in two clean builds ($a)"; else echo "FAIL $file differs: $a $b"; status=1; fi
done
exit $status
