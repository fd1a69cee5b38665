#!/usr/bin/env bash
# Builds every libFuzzer target in tests/fuzz/ with clang (address and
# undefined sanitizers) against the core, and runs each for a few seconds.
#   scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
out=${1:-build/fuzz}
seconds=${2:-5}
cd "$(dirname "$0")/.."
mkdir -p "$out"
shopt -s nullglob
targets=(tests/fuzz/*.cpp)
if [ ${#targets[@]} -eq 0 ]; then echo "no fuzz targets yet"; exit 0; fi
core=(program/*/core/*.cpp driver/core/*.cpp)
flags=(-std=c++20 -O1 -g -I. -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
for target in "${targets[@]}"; do
  name=$(basename "$target" .cpp)
  echo "--- $name"
  clang++ "${flags[@]}" "$target" "${core[@]}" -o "$out/$name"
  mkdir -p "$out/$name.corpus"
  status=0
  "$out/$name" -max_total_time="$seconds" -print_final_stats=1 "$out/$name.corpus" >"$out/$name.log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' "$out/$name.log" || true
  if [ "$status" -ne 0 ]; then tail -n 40 "$out/$name.log"; exit "$status"; fi
done
