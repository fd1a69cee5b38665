#!/usr/bin/env bash
# Can this host run 32-bit x86 programs, and so 32-bit Wine? Runs a 95-byte
# i386 program (it only exits with status 42) and reads the result. Silent
# and 0 when it can; otherwise one line that names the cause and the
# remedy, and 1.
#   scripts/host-check.sh
# KORVALE_PROBE_MACHINE=b7 turns the probe into an ARM64 program, which a
# kernel refuses as one without IA32 emulation refuses an i386 one: a way to
# try the skip path on a host that runs 32-bit programs.
set -uo pipefail
machine=${KORVALE_PROBE_MACHINE:-03}
work=$(mktemp -d -t korvale-host.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
probe=$work/probe
{
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'                  # ELF32, little-endian
  printf "\\x02\\x00\\x$machine\\x00\\x01\\x00\\x00\\x00"                            # executable, machine
  printf '\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00'                          # entry, program headers
  printf '\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'          # one program header
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'          # load the file
  printf '\x5f\x00\x00\x00\x5f\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'          # at 0x08048000, r-x
  printf '\x31\xdb\xb3\x2a\xb8\x01\x00\x00\x00\xcd\x80'                              # exit(42)
} > "$probe"
chmod +x "$probe"
error=$("$probe" 2>&1 >/dev/null)
status=$?
[ "$status" -eq 42 ] && exit 0
case "$error" in
  *"Exec format error"*) cause="its Linux kernel cannot execute 32-bit x86 programs (Exec format error)" ;;
  *) cause="a 32-bit x86 test program did not run (exit status $status${error:+: ${error##*: }})" ;;
esac
echo "This host cannot run 32-bit Wine: $cause. The Wine tiers need a Linux kernel with IA32 emulation enabled (CONFIG_IA32_EMULATION=y, without ia32_emulation=0 on its command line)."
exit 1
