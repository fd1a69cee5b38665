#!/usr/bin/env bash
# Benchmarks of the cleanup under Wine (not tests): the rootkit folder purge
# over a chain of nested folders as deep as 499-character paths allow and
# over trees of up to 20,000 folders, each folder holding a read-only "@"
# (so every subfolder earns its second walk); and the service registry
# cleanup over up to 4,000 service keys. Each line gives the time per folder
# or key at several sizes, so linear growth shows as a flat column, and the
# purge's listings per folder (at most 2).
#   bench/cleanup.sh [BUILD_DIR]
set -euo pipefail
build=$(realpath "${1:-build}")
cd "$(dirname "$0")/.."
make wintest BUILD="$build" JOBS=2 >/dev/null
exe=$build/wintest/cleanup_bench.exe

prefix=$(mktemp -d -t korvale-bench.XXXXXX)
cleanup() { WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; WINEPREFIX=$prefix wineserver -w 2>/dev/null || true; rm -rf "$prefix"; }
trap cleanup EXIT
scripts/wine-prefix.sh "$prefix"
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

wine "$exe" chain 29 58 116 233
for folders in 2500 5000 10000 20000; do
  wine "$exe" tree "$folders" 20
done
wine "$exe" registry 500 1000 2000 4000
