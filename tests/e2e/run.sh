#!/usr/bin/env bash
# The e2e tier: the shipped exe under Wine in a fresh prefix, with scripted input.
#   tests/e2e/run.sh PATH/TO/KorvaleNoQuorVallin.exe [PATH/TO/TestDiskHooked.sys]
# With the second argument (the test stand-in for the disk class driver, from
# the wintest build) the exe runs once more with the stand-in registered.
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/e2e_test.py" "$@"
