#!/usr/bin/env bash
# Benchmark: the system driver scan under Wine, with the raw copy substitute,
# over the prefix's drivers folder plus 200 driver-sized files (100 KiB to
# 4 MiB), against reading the same files once with cat. Prints both times
# and their ratio from one run.
#   scripts/bench-scan.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:-build}")
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$(mktemp -d -t korvale-bench.XXXXXX)
cleanup() { WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; rm -rf "$prefix"; }
trap cleanup EXIT
"$root/scripts/wine-prefix.sh" "$prefix" >/dev/null 2>&1 </dev/null
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
drivers=$prefix/drive_c/windows/system32/drivers

RANDOM=6
for i in $(seq -w 1 200); do
  size=$(( 102400 + (RANDOM * 32768 + RANDOM) % (4194304 - 102400 + 1) ))
  head -c "$size" /dev/urandom > "$drivers/bench$i.sys"
done
echo "drivers folder: $(ls "$drivers"/*.sys | wc -l) files, $(du -cb "$drivers"/*.sys | tail -1 | cut -f1) bytes"

# Both sides start from a warm page cache.
cat "$drivers"/*.sys > /dev/null
start=$(date +%s.%N)
cat "$drivers"/*.sys > /dev/null
end=$(date +%s.%N)
cat_seconds=$(echo "$end - $start" | bc -l)

cd "$build/wintest"
report=$(wine ./wine_scan_tests.exe --gtest_also_run_disabled_tests \
  --gtest_filter=ScanBenchmark.DISABLED_ScanTheDriversFolder </dev/null 2>&1 | tr -d '\r' | grep -- '-seconds')
scan_seconds=$(echo "$report" | grep '^scan-seconds' | cut -d' ' -f2)
echo "$report"
# For the breakdown: the same digest natively, and reading in 1024-byte pieces.
start=$(date +%s.%N); md5sum "$drivers"/*.sys > /dev/null; end=$(date +%s.%N)
printf 'native-md5sum-seconds %.3f\n' "$(echo "$end - $start" | bc -l)"
start=$(date +%s.%N); for f in "$drivers"/*.sys; do dd if="$f" bs=1024 of=/dev/null status=none; done; end=$(date +%s.%N)
printf 'dd-1024-byte-reads-seconds %.3f\n' "$(echo "$end - $start" | bc -l)"
printf 'cat-seconds %.3f\nratio %.1f\n' "$cat_seconds" "$(echo "$scan_seconds / $cat_seconds" | bc -l)"
