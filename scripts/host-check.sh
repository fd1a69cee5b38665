#!/usr/bin/env bash
# Can this host run 32-bit x86 programs, and so 32-bit Wine? Runs a 95-byte
# i386 program (it only exits with status 42) and reads the result.
#   scripts/host-check.sh
# Silent and 0 when it can. Otherwise one line that names the cause and the
# remedy, and
#   1  when the host cannot run 32-bit programs (the Wine tiers are skipped);
#   2  when no test program can be executed here at all, so that the answer
#      is unknown (the Wine tiers fail).
# The probe is written to TMPDIR (or /tmp) and, where programs cannot be
# executed from there (a noexec mount: exit status 126, "Permission
# denied"), to KORVALE_PROBE_FOLDER (by default the project's build folder).
# KORVALE_PROBE_MACHINE=b7 turns the probe into an ARM64 program, which a
# kernel refuses as one without IA32 emulation refuses an i386 one: a way to
# try the skip path on a host that runs 32-bit programs.
set -uo pipefail
machine=${KORVALE_PROBE_MACHINE:-03}
root=$(cd "$(dirname "$0")/.." && pwd)
fallback=${KORVALE_PROBE_FOLDER:-$root/build}
made=()
trap 'rm -rf "${made[@]}"' EXIT

write_probe() {
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'                  # ELF32, little-endian
  printf "\\x02\\x00\\x$machine\\x00\\x01\\x00\\x00\\x00"                            # executable, machine
  printf '\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00'                          # entry, program headers
  printf '\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'          # one program header
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'          # load the file
  printf '\x5f\x00\x00\x00\x5f\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'          # at 0x08048000, r-x
  printf '\x31\xdb\xb3\x2a\xb8\x01\x00\x00\x00\xcd\x80'                              # exit(42)
}

# Runs the probe from a new folder in $1 (in TMPDIR when $1 is empty); sets
# status and error, or returns 1 when nothing could be written there.
run_probe_in() {
  local work
  if [ -z "$1" ]; then
    work=$(mktemp -d -t korvale-host.XXXXXX 2>/dev/null) || return 1
  else
    [ -d "$1" ] || return 1
    work=$(mktemp -d "$1/korvale-host.XXXXXX" 2>/dev/null) || return 1
  fi
  made+=("$work")
  write_probe > "$work/probe" && chmod +x "$work/probe" || return 1
  error=$("$work/probe" 2>&1 >/dev/null)
  status=$?
}

# Why the probe could not be executed from each folder tried.
refused=()
for folder in "" "$fallback"; do
  name=${folder:-${TMPDIR:-/tmp}}
  if ! run_probe_in "$folder"; then
    refused+=("$name: cannot be written")
    continue
  fi
  [ "$status" -eq 42 ] && exit 0
  case "$error" in
    *"Exec format error"*)
      cause="its Linux kernel cannot execute 32-bit x86 programs (Exec format error)" ;;
    *)
      # Not executable from this folder: try the next one.
      if [ "$status" -eq 126 ]; then
        refused+=("$name: ${error##*: }")
        continue
      fi
      cause="a 32-bit x86 test program did not run (exit status $status${error:+: ${error##*: }})" ;;
  esac
  echo "This host cannot run 32-bit Wine: $cause. The Wine tiers need a Linux kernel with IA32 emulation enabled (CONFIG_IA32_EMULATION=y, without ia32_emulation=0 on its command line)."
  exit 1
done

reasons=$(printf '; %s' "${refused[@]}")
echo "Cannot execute a test program here (${reasons#; }), so whether this host runs 32-bit Wine is unknown. Set TMPDIR (or KORVALE_PROBE_FOLDER) to a folder that can be written and whose file system lets programs execute (not mounted noexec)."
exit 2
