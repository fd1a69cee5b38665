#!/usr/bin/env bash
# Creates a throwaway 32-bit Wine prefix in the given folder, kept apart from
# the user's home, and leaves a fresh wineserver session running, in which
# services can be started.
# (In the session that created the prefix the service database stays
# locked and StartServiceW fails with 1055.)
set -euo pipefail
prefix=$1
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1
# Wine links the user's Desktop, Documents, Downloads, ... to the invoking
# user's home (to the home itself where it has no such folders). Made into
# plain folders, the prefix holds everything the program writes or deletes,
# and a search of drive_c does not wander into the home (nor into a checkout
# that lies under it).
while IFS= read -r -d '' link; do
  rm "$link" && mkdir "$link"
done < <(find "$prefix/drive_c/users" -type l -print0)
wineserver -k || true
wineserver -w
wineserver -p
wineboot >/dev/null 2>&1
