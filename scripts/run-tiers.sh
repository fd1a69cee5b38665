#!/usr/bin/env bash
# Runs every test tier in turn, reports each one's result and duration, and
# fails when any tier failed.
set -uo pipefail
build=${1:-build}
fuzz_seconds=${2:-5}
cd "$(dirname "$0")/.."

tiers=(
  "native|cd $build/native && ctest --output-on-failure -R '^native\$'"
  "images|cd $build/native && if ctest -N -R '^images\$' | grep -q 'Total Tests: 1'; then ctest --output-on-failure -R '^images\$'; else echo 'no image tests yet'; fi"
  "pe|/usr/bin/python3 tests/pe/check_binaries.py $build/win"
  "wine|tests/wine/run.sh $build"
  "e2e|tests/e2e/run.sh $build/win/KorvaleNoQuorVallin.exe $build/wintest/TestDiskHooked.sys"
  "reproducible|scripts/check-reproducible.sh"
  "fuzz|scripts/fuzz.sh $build/fuzz $fuzz_seconds"
)

passed=0
failed=0
summary=()
for tier in "${tiers[@]}"; do
  name=${tier%%|*}
  command=${tier#*|}
  echo "=== tier $name"
  start=$(date +%s)
  if (eval "$command"); then
    result=passed
    passed=$((passed + 1))
  else
    result=FAILED
    failed=$((failed + 1))
  fi
  summary+=("$(printf '%-13s %-7s %4ss' "$name" "$result" "$(( $(date +%s) - start ))")")
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "tiers: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
