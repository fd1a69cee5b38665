#!/usr/bin/env bash
# Runs a command with TMPDIR pointing at a new folder of its own inside the
# current TMPDIR (or /tmp), and removes that folder with everything in it
# when the command ends, however it ends: a test or benchmark that crashes
# or exits early leaves no file-system image behind.
#   scripts/with-scratch.sh COMMAND [ARGUMENTS...]
set -uo pipefail
scratch=$(mktemp -d -t korvale-scratch.XXXXXX) || exit 1
trap 'rm -rf "$scratch"' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
TMPDIR=$scratch "$@"
