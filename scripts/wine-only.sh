#!/usr/bin/env bash
# Runs a command that needs 32-bit Wine, only where this host can run it.
# Elsewhere it says why in one line and exits 77 (skipped), or 1 when
# REQUIRE_WINE=1 says that Wine is expected on this host.
#   scripts/wine-only.sh NAME COMMAND [ARGUMENTS...]
set -uo pipefail
name=$1
shift
# A caller that already asked (scripts/run-tiers.sh) passes the answer on
# in KORVALE_HOST_CAUSE: empty when the host runs 32-bit programs.
if [ -n "${KORVALE_HOST_CAUSE+set}" ]; then
  cause=$KORVALE_HOST_CAUSE
else
  cause=$("$(dirname "$0")/host-check.sh")
fi
[ -z "$cause" ] && exec "$@"
if [ "${REQUIRE_WINE:-0}" = 1 ]; then
  echo "$name: FAILED (REQUIRE_WINE=1): $cause"
  exit 1
fi
echo "$name: SKIPPED: $cause"
exit 77
