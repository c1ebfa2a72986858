#!/usr/bin/env bash
# Checks the export and import tables of lightvol.dll, 32-bit or 64-bit, and
# the MSVC-format import library made from it.
#
#   tools/check_dll.sh [path/to/lightvol.dll [path/to/lightvol.lib]]
#
# Exports: exactly one, create_ILightingSystem, undecorated (no leading
# underscore, no @N suffix; a 64-bit DLL has no decoration anyway). Imports:
# d3dx9_43.dll, user32.dll and Windows system DLLs only; in particular no
# libstdc++, libgcc or libwinpthread DLL. The same rule holds for both
# architectures.
#
# lightvol.lib (default: beside the DLL), read with llvm-nm and llvm-readobj:
# one short import object, for the DLL's machine type, of code from
# lightvol.dll, whose symbols are exactly __imp_<s> and <s> with <s> the C
# name of create_ILightingSystem on that machine (_create_ILightingSystem on
# i386, create_ILightingSystem on x86-64), imported by the plain name
# create_ILightingSystem.
#
# Version resource, read back with MinGW's windres: FileVersion and
# ProductVersion (the strings and the binary fields) are the version that
# interface/lightvol.h states (LIGHTVOL_VERSION_*), ProductName is "lightvol",
# OriginalFilename "lightvol.dll", LegalCopyright names the lightvol authors and
# FileDescription is there. $LIGHTVOL_HEADER names another header to compare
# with.
set -euo pipefail

header=${LIGHTVOL_HEADER:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/interface/lightvol.h}

dll=${1:-build/mingw-i686/lightvol.dll}
lib=${2:-$(dirname "$dll")/lightvol.lib}

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

# --- Version resource ---------------------------------------------------------
windres=${WINDRES:-$arch-w64-mingw32-windres}
command -v "$windres" >/dev/null || fail "$windres not found (install $package)"
[[ -f $header ]] || fail "$header not found"
header_version() { sed -n "s/^#define LIGHTVOL_VERSION_$1 //p" "$header"; }
major=$(header_version MAJOR) minor=$(header_version MINOR) patch=$(header_version PATCH)
version=$(header_version STRING | tr -d '"')
[[ $major =~ ^[0-9]+$ && $minor =~ ^[0-9]+$ && $patch =~ ^[0-9]+$ && -n $version ]] ||
  fail "$header states no LIGHTVOL_VERSION_MAJOR/MINOR/PATCH/STRING"
[[ $version == "$major.$minor.$patch" ]] ||
  fail "$header: LIGHTVOL_VERSION_STRING \"$version\" is not $major.$minor.$patch"
resource=$("$windres" -i "$dll" -O rc 2>/dev/null | tr -d '\r') || fail "windres cannot read its resources"
grep -q 'VERSIONINFO' <<<"$resource" || fail "has no version resource (VERSIONINFO)"
value() { sed -n "s/^ *VALUE \"$1\", \"\(.*\)\"\$/\1/p" <<<"$resource" | head -n1; }
echo "version resource:"
for key in FileVersion ProductVersion ProductName FileDescription LegalCopyright OriginalFilename; do
  echo "  $key: $(value "$key")"
done
for key in FileVersion ProductVersion; do
  [[ $(value "$key") == "$version" ]] ||
    fail "$key is \"$(value "$key")\", the header says $version"
  field=$(sed -n "s/^ *${key^^} *//p" <<<"$resource" | tr -d ' ')
  [[ $field == "$major,$minor,$patch,0" ]] ||
    fail "${key^^} is \"$field\", the header says $major,$minor,$patch,0"
done
[[ $(value ProductName) == lightvol ]] || fail "ProductName is \"$(value ProductName)\", not lightvol"
[[ $(value OriginalFilename) == lightvol.dll ]] ||
  fail "OriginalFilename is \"$(value OriginalFilename)\", not lightvol.dll"
[[ $(value LegalCopyright) == *"the lightvol authors"* ]] ||
  fail "LegalCopyright \"$(value LegalCopyright)\" does not name the lightvol authors"
[[ -n $(value FileDescription) ]] || fail "has no FileDescription"

# --- MSVC-format import library ------------------------------------------------
fail_lib() {
  echo "check_dll: $lib: $*" >&2
  exit 1
}
[[ -f $lib ]] || fail_lib "no such file (the MSVC-format import library of $dll)"
find_llvm() {
  local t
  for t in "$1-14" "$1"; do
    command -v "$t" >/dev/null && { echo "$t"; return; }
  done
  fail_lib "$1 not found (install llvm-14)"
}
nm=$(find_llvm llvm-nm)
readobj=$(find_llvm llvm-readobj)
case $arch in
  i686) symbol=_create_ILightingSystem lib_machine=014c coff=COFF-i386 ;;
  x86_64) symbol=create_ILightingSystem lib_machine=8664 coff=COFF-x86-64 ;;
esac

# The machine field of every short import object (an archive member that
# starts 00 00 ff ff: Sig1, Sig2, Version, Machine), found by walking the
# archive's members (60-byte headers, sizes at offset 48, two-byte alignment).
import_machines() {
  local size offset=8 member_size sig
  size=$(stat -c %s "$lib")
  while ((offset + 60 <= size)); do
    member_size=$(dd if="$lib" bs=1 skip=$((offset + 48)) count=10 status=none | tr -d ' ')
    [[ $member_size =~ ^[0-9]+$ ]] || fail_lib "not an archive (bad member header at $offset)"
    sig=$(od -An -t x1 -j $((offset + 60)) -N 4 "$lib" | tr -d ' \n')
    if [[ $sig == 0000ffff ]]; then
      od -An -t x2 -j $((offset + 66)) -N 2 "$lib" | tr -d ' '
    fi
    offset=$((offset + 60 + member_size + member_size % 2))
  done
}
[[ $(head -c 8 "$lib") == '!<arch>' ]] || fail_lib "not an archive"
machines=$(import_machines) || exit 1
echo "import library: $lib"
[[ -n $machines ]] || fail_lib "holds no short import object"
[[ $(wc -l <<<"$machines") -eq 1 ]] || fail_lib "holds $(wc -l <<<"$machines") imports, expected one"
[[ $machines == "$lib_machine" ]] || fail_lib "its import is for machine $machines, the DLL's is $lib_machine"

# Symbols the archive defines (llvm-nm's posix format: "name type value size").
defined=$("$nm" --format=posix --defined-only "$lib" 2>/dev/null | awk 'NF >= 2 && $1 !~ /:$/ {print $1}' | sort -u) ||
  fail_lib "llvm-nm cannot read it"
imps=$(grep '^__imp_' <<<"$defined" || true)
echo "  imports: ${imps//$'\n'/ }"
[[ $imps == "__imp_$symbol" ]] ||
  fail_lib "defines import symbols \"${imps//$'\n'/ }\", expected exactly __imp_$symbol"
grep -qx -- "$symbol" <<<"$defined" || fail_lib "does not define the call thunk $symbol"

# The import object itself: code from lightvol.dll, and the name it imports by.
info=$("$readobj" "$lib" 2>/dev/null) || fail_lib "llvm-readobj cannot read it"
object=$(awk '/^Format: COFF-import-file/ {on = 1} on && NF == 0 {on = 0} on' <<<"$info")
grep -qx 'Type: code' <<<"$object" || fail_lib "its import is not of code"
grep -q "^File: .*(lightvol.dll)\$\|^File: lightvol.dll\$" <<<"$info" ||
  fail_lib "does not import from lightvol.dll"
grep -q "^Format: $coff\$" <<<"$info" || fail_lib "its import descriptors are not $coff"
name_type=$(sed -n 's/^Name type: //p' <<<"$object")
case $name_type in
  name) imported=$symbol ;;
  noprefix) imported=${symbol#[_@?]} ;;
  undecorate) imported=${symbol#[_@?]} imported=${imported%%@*} ;;
  *) fail_lib "unknown import name type \"$name_type\"" ;;
esac
echo "  imported name: $imported (from $symbol, name type $name_type)"
[[ $imported == create_ILightingSystem ]] ||
  fail_lib "imports \"$imported\", not create_ILightingSystem"

echo "check_dll: $dll: ok"
