#!/usr/bin/env bash
# The Wine tier: runs wine_tests.exe in a throwaway 32-bit prefix with a
# fresh wineserver session (so that services start).
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
wine ./wine_tests.exe --gtest_brief=1 "$@" | tr -d '\r'
exit "${PIPESTATUS[0]}"
