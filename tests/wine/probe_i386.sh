#!/usr/bin/env bash
# Whether this machine executes 32-bit x86 programs natively:
#
#   tests/wine/probe_i386.sh [SCRATCH_DIR]
#
# Exits 0 when it does; otherwise prints why not on one line and exits 1.
# Runs a static i386 program of 84 bytes that does exit(42) through int 0x80:
# it needs no loader or library, so it either runs at once or the kernel
# refuses it.
set -euo pipefail

scratch=${1:-${TMPDIR:-/tmp}}
probe=$(mktemp "$scratch/probe-i386.XXXXXX")
trap 'rm -f "$probe"' EXIT
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' >"$probe"
chmod +x "$probe"
status=0
# Through bash's exec: a program that calls execvp (timeout does) hands a file
# the kernel refuses with ENOEXEC to /bin/sh, which hides the reason.
out=$(timeout 5 bash -c 'exec "$0"' "$probe" 2>&1) || status=$?
if ((status == 42)); then
  # A binfmt_misc handler for i386 ELF files (qemu-user) also runs the probe,
  # but 32-bit Wine does not start under such emulation.
  for handler in /proc/sys/fs/binfmt_misc/*; do
    [[ -f $handler && $(head -n1 "$handler" 2>/dev/null) == enabled ]] || continue
    if grep -q '^magic 7f454c4601010100000000000000000002000300' "$handler" 2>/dev/null; then
      echo "this machine runs 32-bit programs only through emulation (binfmt_misc: ${handler##*/})"
      exit 1
    fi
  done
  exit 0
fi
if [[ $out == *"Exec format error"* ]]; then
  echo "this machine cannot execute 32-bit programs (Exec format error)"
elif ((status == 124)); then
  echo "this machine cannot execute 32-bit programs (a 5-second probe did not finish)"
else
  echo "this machine cannot execute 32-bit programs (the probe exited with status $status${out:+: ${out//$'\n'/ }})"
fi
exit 1
