#!/usr/bin/env bash
# Runs the program under Wine in a throwaway 32-bit prefix, as an
# administrator would run it on Windows, and answers the final key press.
set -euo pipefail
exe=$(realpath "$1")
prefix=$(mktemp -d -t korvale-run.XXXXXX)
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
echo "Creating a throwaway Wine prefix in $prefix ..."
"$(dirname "$0")/wine-prefix.sh" "$prefix"
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
echo "Running KorvaleNoQuorVallin.exe:"
echo "-----"
# The newline answers "Press any key to exit".
status=0
printf '\n' | wine "$exe" || status=$?
echo "-----"
echo "exit code: $status"
