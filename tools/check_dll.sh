#!/usr/bin/env bash
# Checks the export and import tables of lightvol.dll, 32-bit or 64-bit.
#
#   tools/check_dll.sh [path/to/lightvol.dll]
#
# Exports: exactly one, create_ILightingSystem, undecorated (no leading
# underscore, no @N suffix; a 64-bit DLL has no decoration anyway). Imports:
# d3dx9_43.dll, user32.dll and Windows system DLLs only; in particular no
# libstdc++, libgcc or libwinpthread DLL. The same rule holds for both
# architectures.
set -euo pipefail

dll=${1:-build/mingw-i686/lightvol.dll}

fail() {
  echo "check_dll: $dll: $*" >&2
  exit 1
}

[[ -f $dll ]] || fail "no such file"
[[ $(head -c 2 "$dll") == MZ ]] || fail "not a Windows image"

# The machine field of the COFF header, found through the PE header offset at
# 0x3c: 014c is i386, 8664 is x86-64. The matching objdump reads it.
pe_offset=$(od -An -t u4 -j 60 -N 4 "$dll" | tr -d ' ')
machine=$(od -An -t x2 -j $((pe_offset + 4)) -N 2 "$dll" | tr -d ' ')
case $machine in
  014c) arch=i686 magic=010b kind="32-bit (PE32)" package=binutils-mingw-w64-i686 ;;
  8664) arch=x86_64 magic=020b kind="64-bit (PE32+)" package=binutils-mingw-w64-x86-64 ;;
  *) fail "not an i386 or x86-64 PE image (machine ${machine:-unreadable})" ;;
esac
objdump=${OBJDUMP:-$arch-w64-mingw32-objdump}
command -v "$objdump" >/dev/null || fail "$objdump not found (install $package)"
echo "machine: $kind"

dump=$("$objdump" -p "$dll") || fail "objdump could not read it"

grep -q "^Magic[[:space:]]*$magic" <<<"$dump" || fail "not a $kind image"
grep -q 'DLL' <<<"$(sed -n '/^Characteristics/,/^$/p' <<<"$dump")" || fail "not a DLL"

# --- Export table -----------------------------------------------------------
# Lines of the "[Ordinal/Name Pointer] Table" look like "\t[   0] name".
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {in_table = 1; next}
               in_table && /^[[:space:]]*\[[[:space:]]*[0-9]+\]/ {print $NF; next}
               in_table && NF == 0 {in_table = 0}' <<<"$dump")
echo "exports:"
if [[ -n $exports ]]; then sed 's/^/  /' <<<"$exports"; else echo "  (none)"; fi

[[ -n $exports ]] || fail "exports nothing; create_ILightingSystem is missing"
grep -qx 'create_ILightingSystem' <<<"$exports" ||
  fail "create_ILightingSystem is not exported undecorated (exports: $(tr '\n' ' ' <<<"$exports"))"
others=$(grep -vx 'create_ILightingSystem' <<<"$exports" || true)
[[ -z $others ]] || fail "exports more than create_ILightingSystem: $(tr '\n' ' ' <<<"$others")"

# --- Import table -----------------------------------------------------------
imports=$(awk '/^[[:space:]]*DLL Name:/ {print tolower($3)}' <<<"$dump")
echo "imports:"
sed 's/^/  /' <<<"$imports"

bad=()
while read -r name; do
  [[ -n $name ]] || continue
  case $name in
    d3dx9_43.dll | user32.dll) ;;
    kernel32.dll | msvcrt.dll | ntdll.dll | advapi32.dll | gdi32.dll | ole32.dll | \
      oleaut32.dll | shell32.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
    *) bad+=("$name") ;;
  esac
done <<<"$imports"
((${#bad[@]} == 0)) || fail "imports DLLs a Windows host does not have: ${bad[*]}"

echo "check_dll: $dll: ok"
