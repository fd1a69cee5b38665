#!/usr/bin/env bash
# Creates a throwaway 32-bit Wine prefix in the given folder and leaves a
# fresh wineserver session running, in which services can be started.
# (In the session that created the prefix the service database stays
# locked and StartServiceW fails with 1055.)
set -euo pipefail
prefix=$1
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1
wineserver -k || true
wineserver -w
wineserver -p
wineboot >/dev/null 2>&1
