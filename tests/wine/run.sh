#!/usr/bin/env bash
# The Wine tier: runs wine_tests.exe, then wine_scan_tests.exe (the driver
# scan with a substitute raw copy), in a throwaway 32-bit prefix with a
# fresh wineserver session (so that services start). Fails when either fails.
#   tests/wine/run.sh BUILD_DIR [gtest arguments...]
# The tests find the built driver through KORVALE_DRIVER_IMAGE (a Windows path).
set -euo pipefail
build=$(realpath "${1:-build}")
shift || true
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$(mktemp -d /tmp/korvale-wine.XXXXXX)
cleanup() { WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; rm -rf "$prefix"; }
trap cleanup EXIT
"$root/scripts/wine-prefix.sh" "$prefix"
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export KORVALE_DRIVER_IMAGE="Z:${build//\//\\}\\wintest\\KorvaleNoQuorVallin.sys"
export WINEPATH=
cd "$build/wintest"
status=0
for exe in wine_tests.exe wine_scan_tests.exe; do
  echo "--- $exe"
  wine "./$exe" --gtest_brief=1 "$@" | tr -d '\r'
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
done
exit "$status"
