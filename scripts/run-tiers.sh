#!/usr/bin/env bash
# Runs every test tier in turn, each under a time limit, reports each one's
# result and duration, and fails when any tier failed.
#   scripts/run-tiers.sh [BUILD_DIR] [FUZZ_SECONDS]
# The Wine tiers run only where this host can run 32-bit programs; elsewhere
# they are reported SKIPPED with the cause (failed with REQUIRE_WINE=1), and
# FAILED where no test program could be executed to find out.
set -uo pipefail
build=${1:-build}
fuzz_seconds=${2:-5}
cd "$(dirname "$0")/.."
fuzz_targets=$(ls tests/fuzz/*_fuzz.cpp 2>/dev/null | wc -l)
# Asked once, for both Wine tiers; the probe falls back to the build folder.
export KORVALE_PROBE_FOLDER=${KORVALE_PROBE_FOLDER:-$build}
KORVALE_HOST_CAUSE=$(scripts/host-check.sh)
KORVALE_HOST_STATUS=$?
export KORVALE_HOST_CAUSE KORVALE_HOST_STATUS

# name | time limit in seconds (several times a normal run's) | command
tiers=(
  "native|300|cd $build/native && ctest --output-on-failure -R '^native\$' --no-tests=error"
  "images|300|cd $build/native && ctest --output-on-failure -R '^images\$' --no-tests=error"
  "pe|120|/usr/bin/python3 tests/pe/check_binaries.py $build/win"
  "wine|1200|scripts/wine-only.sh wine bash -c 'make --no-print-directory BUILD=$build wintest && tests/wine/run.sh $build'"
  "e2e|900|scripts/wine-only.sh e2e bash -c 'make --no-print-directory BUILD=$build wintest && tests/e2e/run.sh $build/win/KorvaleNoQuorVallin.exe $build/wintest/TestDiskHooked.sys'"
  "reproducible|900|scripts/check-reproducible.sh"
  "fuzz|$((600 + 3 * fuzz_targets * fuzz_seconds))|scripts/fuzz.sh $build/fuzz $fuzz_seconds"
)

passed=0
failed=0
skipped=0
summary=()
for tier in "${tiers[@]}"; do
  IFS='|' read -r name limit command <<<"$tier"
  echo "=== tier $name"
  start=$(date +%s)
  timeout --kill-after=30 "$limit" bash -c "$command"
  status=$?
  case $status in
    0) result=passed; passed=$((passed + 1)) ;;
    77) result=SKIPPED; skipped=$((skipped + 1)) ;;
    124 | 137)
      echo "tier $name FAILED: it ran past its time limit of $limit s and was stopped"
      result=FAILED; failed=$((failed + 1)) ;;
    *) result=FAILED; failed=$((failed + 1)) ;;
  esac
  summary+=("$(printf '%-13s %-7s %4ss' "$name" "$result" "$(( $(date +%s) - start ))")")
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "tiers: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
