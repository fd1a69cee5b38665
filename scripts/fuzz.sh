#!/usr/bin/env bash
# Builds every libFuzzer target in tests/fuzz/ with clang (address and
# undefined sanitizers) against the core. For each target: first its seeds
# alone (tests/fuzz/seeds/TARGET), which must reach the checks behind the
# target's first gate; then fuzzing from those seeds (with the target's
# dictionary, where it has one) for the given seconds. New inputs and
# crash files stay in BUILD_DIR. Every target runs; the tier fails when any
# failed.
#   scripts/fuzz.sh BUILD_DIR SECONDS
set -uo pipefail
out=${1:-build/fuzz}
seconds=${2:-5}
cd "$(dirname "$0")/.."
mkdir -p "$out"
out=$(realpath "$out")
shopt -s nullglob
targets=(tests/fuzz/*_fuzz.cpp)
if [ ${#targets[@]} -eq 0 ]; then echo "FAILED: no fuzz targets in tests/fuzz"; exit 1; fi
core=(program/*/core/*.cpp driver/core/*.cpp)
flags=(-std=c++20 -O1 -g -I. -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
failed=()
for target in "${targets[@]}"; do
  name=$(basename "$target" .cpp)
  seeds=tests/fuzz/seeds/$name
  echo "--- $name"
  if ! clang++ "${flags[@]}" "$target" "${core[@]}" -o "$out/$name"; then
    failed+=("$name: does not build"); continue
  fi
  if [ -z "$(ls -A "$seeds" 2>/dev/null)" ]; then
    failed+=("$name: no seeds in $seeds (make fuzz-seeds)"); continue
  fi

  # The seeds alone, each run once.
  reached=$(FUZZ_REACHED_REPORT=1 "$out/$name" -runs=0 "$seeds" 2>&1 | sed -n 's/^reached the checks: \([0-9]*\) inputs$/\1/p')
  echo "seeds: $(ls "$seeds" | wc -l), reaching the checks: ${reached:-none}"
  if [ "${reached:-0}" -eq 0 ]; then
    failed+=("$name: no seed reaches the checks"); continue
  fi

  dictionary=()
  [ -f "tests/fuzz/$name.dict" ] && dictionary=(-dict="tests/fuzz/$name.dict")
  mkdir -p "$out/$name.corpus"
  status=0
  FUZZ_REACHED_REPORT=1 "$out/$name" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/$name." \
    "${dictionary[@]}" "$out/$name.corpus" "$seeds" >"$out/$name.log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units|reached the checks|ERROR|SUMMARY|Done|Test unit written' "$out/$name.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$out/$name.log"
    failed+=("$name: exit status $status (crash input in $out/$name.*)")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  printf 'FAILED %s\n' "${failed[@]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets passed"
