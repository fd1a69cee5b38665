#!/usr/bin/env bash
# The Wine tier: runs wine_tests.exe, then wine_scan_tests.exe (the driver
# scan with a substitute raw copy), in a throwaway 32-bit prefix with a
# fresh wineserver session (so that services start); then the whole
# switched runs once more in a prefix whose C: Wine reports as FAT32
# (tests/wine/fat-prefix.sh; skipped with its cause where the host cannot
# make one). All always run; the tier fails when any fails. Prints each
# failed or skipped test whole, with its name, and the totals.
#   tests/wine/run.sh BUILD_DIR [gtest arguments...]
# The tests find the built driver through KORVALE_DRIVER_IMAGE (a Windows path).
set -uo pipefail
build=$(realpath "${1:-build}")
shift || true
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$(mktemp -d -t korvale-wine.XXXXXX)
cleanup() { WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; rm -rf "$prefix"; }
trap cleanup EXIT
"$root/scripts/wine-prefix.sh" "$prefix" || exit 1
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export KORVALE_DRIVER_IMAGE="Z:${build//\//\\}\\wintest\\KorvaleNoQuorVallin.sys"
# A log planted by another account: Wine reports a file's owner from its
# Unix owner (any Unix user but its own as Anonymous Logon) and keeps no
# owner set with SetFileSecurityW, so the planted file belongs to another
# Unix user. Only root can give it one; elsewhere that test is skipped.
printf 'planted\r\n' > "$prefix/drive_c/foreign-owner.log"
if [ "$(id -u)" -eq 0 ] && chown 65534:65534 "$prefix/drive_c/foreign-owner.log"; then
  export KORVALE_FOREIGN_LOG='C:\foreign-owner.log'
fi
export WINEPATH=
cd "$build/wintest" || exit 1

status=0
for exe in wine_tests.exe wine_scan_tests.exe; do
  echo "--- $exe"
  wine "./$exe" "$@" 2>&1 | tr -d '\r' | "$root/tests/wine/failed-and-skipped.sh"
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "--- $exe FAILED"; status=1; }
done
cleanup
trap - EXIT
"$root/tests/wine/fat-prefix.sh" "$build" "$@"
case $? in
  0 | 77) ;;
  *) echo "--- the runs on FAT32 FAILED"; status=1 ;;
esac
exit "$status"
