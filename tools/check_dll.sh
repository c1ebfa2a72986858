#!/usr/bin/env bash
# Checks the export and import tables of lightvol.dll.
#
#   tools/check_dll.sh [path/to/lightvol.dll]
#
# Exports: exactly one, create_ILightingSystem, undecorated (no leading
# underscore, no @N suffix). Imports: d3dx9_43.dll, user32.dll and Windows
# system DLLs only; in particular no libstdc++, libgcc or libwinpthread DLL.
set -euo pipefail

dll=${1:-build/mingw-i686/lightvol.dll}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

fail() {
  echo "check_dll: $dll: $*" >&2
  exit 1
}

[[ -f $dll ]] || fail "no such file"
command -v "$objdump" >/dev/null || fail "$objdump not found (install binutils-mingw-w64-i686)"

dump=$("$objdump" -p "$dll") || fail "objdump could not read it"

grep -q '^Magic[[:space:]]*010b' <<<"$dump" || fail "not a 32-bit (PE32) image"
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
