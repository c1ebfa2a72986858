#!/usr/bin/env bash
# Checks what a linked host imports from lightvol.dll: exactly
# create_ILightingSystem, by name, from a DLL named lightvol.dll.
#
#   tests/wine/msvc_host/check_imports.sh <host.exe>
#
# Reads the import table with llvm-readobj (package llvm-14); prints it and
# exits non-zero with the reason when it is not so.
set -euo pipefail

exe=${1:?usage: check_imports.sh <host.exe>}
readobj=
for t in llvm-readobj-14 llvm-readobj; do
  command -v "$t" >/dev/null && { readobj=$t; break; }
done
[[ -n $readobj ]] || { echo "check_imports: llvm-readobj not found (install llvm-14)" >&2; exit 1; }

table=$("$readobj" --coff-imports "$exe") || { echo "check_imports: $exe: unreadable" >&2; exit 1; }
# One line per imported function: "<dll> <name>", the DLL name in lower case.
imports=$(awk '/^Import \{/ {dll = ""; next}
               /^ *Name: / {dll = tolower($2); next}
               /^ *Symbol: / && dll != "" {print dll, $2}' <<<"$table")
from_lightvol=$(awk '$1 == "lightvol.dll" {print $2}' <<<"$imports")
echo "check_imports: $exe imports from lightvol.dll: ${from_lightvol:-(nothing)}"
if [[ $from_lightvol != create_ILightingSystem ]]; then
  factory_from=$(awk '$2 == "create_ILightingSystem" {print $1}' <<<"$imports" | paste -sd ' ')
  echo "check_imports: $exe: expected exactly create_ILightingSystem from lightvol.dll;" \
    "create_ILightingSystem is imported from: ${factory_from:-nowhere}" >&2
  exit 1
fi
