#!/usr/bin/env bash
# Runs whole switched runs (/scan, /repair, /restore:) in a prefix whose C:
# Wine reports as FAT32: a volume that keeps no owners or access lists, as
# the system volume of many XP machines does.
#   tests/wine/fat-prefix.sh BUILD_DIR [gtest arguments...]
#
# Wine takes a drive's file system from the first sector of the Unix
# device that dosdevices/c:: names, and matches the files of drive C: to
# that device by their st_dev. So the prefix is made on an ext4 file system
# mounted from a loop device whose first sector (unused by ext4, whose
# superblock starts at byte 1024) holds a FAT32 boot sector, and c:: names
# that loop device. That needs root, a free loop device and ext4; where any
# is missing the run says why and is skipped (exit 77).
set -uo pipefail
build=$(realpath "${1:-build}")
shift || true
root=$(cd "$(dirname "$0")/../.." && pwd)

skip() { echo "--- FAT32 prefix SKIPPED: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "making a loop device needs root"
command -v losetup >/dev/null && command -v mkfs.ext4 >/dev/null && command -v mkfs.fat >/dev/null ||
  skip "losetup, mkfs.ext4 or mkfs.fat is missing"

work=$(mktemp -d -t korvale-fat.XXXXXX)
loop=
mounted=
cleanup() {
  [ -n "$mounted" ] && { WINEPREFIX=$work/mnt/prefix wineserver -k 2>/dev/null || true; sleep 1; umount "$work/mnt" 2>/dev/null || umount -l "$work/mnt"; }
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

truncate -s 2G "$work/volume.img"
mkfs.ext4 -q -F "$work/volume.img" || skip "mkfs.ext4 failed"
truncate -s 40M "$work/boot.img"
mkfs.fat -F 32 "$work/boot.img" >/dev/null || skip "mkfs.fat failed"
dd if="$work/boot.img" of="$work/volume.img" bs=512 count=1 conv=notrunc status=none
loop=$(losetup -f --show "$work/volume.img" 2>/dev/null) || { loop=; skip "no loop device could be set up"; }
mkdir -p "$work/mnt"
mount -t ext4 "$loop" "$work/mnt" 2>/dev/null || skip "the loop device could not be mounted as ext4"
mounted=1

prefix=$work/mnt/prefix
"$root/scripts/wine-prefix.sh" "$prefix" || exit 1
WINEPREFIX=$prefix wineserver -k || true
WINEPREFIX=$prefix wineserver -w
ln -s "$loop" "$prefix/dosdevices/c::"
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -p
wineboot >/dev/null 2>&1
export KORVALE_DRIVER_IMAGE="Z:${build//\//\\}\\wintest\\KorvaleNoQuorVallin.sys"
export KORVALE_EXPECT_FAT=1
export WINEPATH=
cd "$build/wintest" || exit 1
echo "--- wine_scan_tests.exe, C: on FAT32"
# (A log planted by another account is a test of owners, which FAT keeps none of.)
wine ./wine_scan_tests.exe "--gtest_filter=SwitchedRun.*:-SwitchedRun.ALogOwnedByAnotherAccountIsNotWritten" "$@" 2>&1 | tr -d '\r' |
  "$root/tests/wine/failed-and-skipped.sh"
exit "${PIPESTATUS[0]}"
