#!/usr/bin/env bash
# The e2e tier: the shipped exe under Wine in a fresh prefix, with scripted input.
#   tests/e2e/run.sh PATH/TO/KorvaleNoQuorVallin.exe
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/e2e_test.py" "$@"
