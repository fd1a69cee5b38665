#!/usr/bin/env bash
# Runs the Wine tier: wine_tests.exe in a throwaway 32-bit prefix with a
# fresh wineserver session (in which services can be started).
#   tests/wine/run.sh BUILD_DIR [gtest arguments...]
set -euo pipefail
build=$(realpath "${1:-build}")
shift || true
cd "$(dirname "$0")/../.."
exe=$build/wintest/wine_tests.exe
driver=$build/wintest/KorvaleNoQuorVallin.sys
[ -f "$exe" ] || { echo "missing $exe (make wintest)"; exit 1; }

prefix=$(mktemp -d /tmp/korvale-wine-tests.XXXXXX)
cleanup() { WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; WINEPREFIX=$prefix wineserver -w 2>/dev/null || true; rm -rf "$prefix"; }
trap cleanup EXIT
scripts/wine-prefix.sh "$prefix"
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
KORVALE_DRIVER_IMAGE=$(winepath -w "$driver" 2>/dev/null)
export KORVALE_DRIVER_IMAGE
WINEDEBUG=-all wine "$exe" "$@"
