#!/usr/bin/env bash
# Runs a command that needs 32-bit Wine, only where this host can run it.
# Where the host cannot run 32-bit programs it says why in one line and
# exits 77 (skipped), or 1 when REQUIRE_WINE=1 says that Wine is expected on
# this host. Where no test program could be executed at all (so that the
# answer is unknown) it fails, exit 1.
#   scripts/wine-only.sh NAME COMMAND [ARGUMENTS...]
set -uo pipefail
name=$1
shift
# A caller that already asked (scripts/run-tiers.sh) passes the answer on:
# the line in KORVALE_HOST_CAUSE (empty when the host runs 32-bit programs)
# and the check's exit status in KORVALE_HOST_STATUS.
if [ -n "${KORVALE_HOST_CAUSE+set}" ]; then
  cause=$KORVALE_HOST_CAUSE
  status=${KORVALE_HOST_STATUS:-$([ -z "$cause" ] && echo 0 || echo 1)}
else
  cause=$("$(dirname "$0")/host-check.sh")
  status=$?
fi
[ "$status" -eq 0 ] && exec "$@"
if [ "$status" -eq 2 ]; then
  echo "$name: FAILED: $cause"
  exit 1
fi
if [ "${REQUIRE_WINE:-0}" = 1 ]; then
  echo "$name: FAILED (REQUIRE_WINE=1): $cause"
  exit 1
fi
echo "$name: SKIPPED: $cause"
exit 77
