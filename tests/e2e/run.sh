#!/usr/bin/env bash
# The e2e tier: the shipped exe under Wine in a fresh prefix, with scripted
# input; then make demo, as a newcomer runs it, in the same build folder.
#   tests/e2e/run.sh PATH/TO/KorvaleNoQuorVallin.exe [PATH/TO/TestDiskHooked.sys]
# With the second argument (the test stand-in for the disk class driver, from
# the wintest build) the exe runs once more with the stand-in registered.
# The build folder is the one that holds win/KorvaleNoQuorVallin.exe.
set -uo pipefail
here=$(dirname "$0")
build=$(dirname "$(dirname "$(realpath "$1")")")
status=0
/usr/bin/python3 "$here/e2e_test.py" "$@" || status=1
/usr/bin/python3 "$here/demo_test.py" "$build" || status=1
exit "$status"
