#!/usr/bin/env bash
# Installs what the project needs through apt-get, skipping what is present.
# Works as root without standard input (as CI runs it) and through sudo otherwise.
set -euo pipefail

packages=(
  # the two deliverables and the Wine tier
  g++-mingw-w64-i686 cmake make googletest python3 python3-pefile
  # Wine, 32-bit
  wine wine32:i386
  # the native tier
  g++
  # the Wine tier's prefix on a volume Wine reports as FAT32: a loop device and ext4
  mount e2fsprogs
  # the raw reader's image tier: file systems and their independent readers
  dosfstools mtools ntfs-3g sleuthkit
  # fuzzing
  clang libclang-rt-14-dev
  # script(1): colours as a person sees them, under a pseudo-terminal
  bsdutils
  # the benchmarks' arithmetic
  bc
)

# sudo drops the environment, so the front end is set on the command itself.
if [ "$(id -u)" -eq 0 ]; then sudo=(env); else sudo=(sudo env); fi
sudo+=(DEBIAN_FRONTEND=noninteractive)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq </dev/null
"${sudo[@]}" apt-get install -y -qq "${missing[@]}" </dev/null
