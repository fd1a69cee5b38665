#!/usr/bin/env bash
# Remakes the fuzz targets' seed corpora in tests/fuzz/seeds from real
# inputs: the boot sectors, retrieval answers and file records that the
# image tests take from FAT12/16/32 and NTFS volumes made by mkfs.fat and
# mkntfs, and the replies, requests, stream chains, quarantine manifests and
# registry exports of tools/fuzz_seeds.cpp.
#   scripts/make-fuzz-seeds.sh NATIVE_BUILD_DIR
set -euo pipefail
build=$(realpath "${1:-build/native}")
cd "$(dirname "$0")/.."
seeds=$PWD/tests/fuzz/seeds
rm -rf "$seeds"
mkdir -p "$seeds"
KORVALE_FUZZ_SEEDS=$seeds scripts/with-scratch.sh "$build/image_tests" --gtest_brief=1
work=$(mktemp -d -t korvale-seeds.XXXXXX)
trap 'rm -rf "$work"' EXIT
g++ -std=c++20 -O1 -I. tools/fuzz_seeds.cpp program/deploy/core/Signature.cpp \
  program/quarantine/core/Manifest.cpp program/quarantine/core/RegistryExport.cpp \
  program/quarantine/core/QuarantineText.cpp program/run/core/*.cpp \
  -o "$work/fuzz_seeds"
"$work/fuzz_seeds" "$seeds"
for folder in "$seeds"/*/; do
  echo "$(basename "$folder"): $(ls "$folder" | wc -l) seeds, $(du -sb "$folder" | cut -f1) bytes"
done
