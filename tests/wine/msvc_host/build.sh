#!/usr/bin/env bash
# Builds the MSVC-ABI test host, lightvol_msvc_host.exe, with clang for the
# Microsoft ABI and lld-link, with no Microsoft software and no C runtime,
# against an installed lightvol package, as an MSVC engine links lightvol:
# find_package(lightvol) gives this toolchain the package's lightvol.lib.
#
#   tests/wine/msvc_host/build.sh <i686|x86_64> <output dir> <package prefix>
#
# The import libraries of kernel32.dll and lightvol_msvc_helper.dll are made
# by llvm-dlltool from the .def files here. The helper DLL itself is built by
# MinGW with the Wine tier (build/mingw-<arch>/tests/wine/bin/lightvol_msvc_helper.dll).
#
# Then checks the linked host's import table (check_imports.sh: exactly
# create_ILightingSystem from lightvol.dll), and that this check refuses
# import libraries made from wrong variants of the package's lightvol.def: the
# same host object linked against each must fail to link or fail the check.
# Prints one PASS or FAIL line per check; exits non-zero on any failure.
#
# Environment:
#   LIGHTVOL_MSVC_HOST_FLAGS  extra compiler flags, e.g. "-mrtd" for a 32-bit
#                             host whose default calling convention is stdcall
#                             (as MSVC's /Gz)
#   LIGHTVOL_MSVC_HOST_NAME   the program's name (default lightvol_msvc_host)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
usage="usage: build.sh <i686|x86_64> <output dir> <package prefix>"
arch=${1:?$usage}
out=${2:?$usage}
prefix=${3:?$usage}
name=${LIGHTVOL_MSVC_HOST_NAME:-lightvol_msvc_host}

case $arch in
  i686) machine=i386 other_machine=i386:x86-64 link_machine=x86 ;;
  x86_64) machine=i386:x86-64 other_machine=i386 link_machine=x64 ;;
  *) echo "build.sh: unknown architecture $arch" >&2; exit 2 ;;
esac

find_tool() {
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null && { echo "$t"; return; }
  done
  echo "build.sh: none of $* found (packages clang-14, lld-14, llvm-14)" >&2
  exit 1
}
lld_link=$(find_tool lld-link-14 lld-link)
dlltool=$(find_tool llvm-dlltool-14 llvm-dlltool)
# A plain install has them in lib/, the SDK tree in lib/x86/ or lib/x64/.
libdir=$prefix/lib
[[ -d $prefix/lib/$link_machine ]] && libdir=$prefix/lib/$link_machine
[[ -f $libdir/lightvol.lib && -f $libdir/lightvol.def ]] ||
  { echo "build.sh: $libdir holds no lightvol.lib and lightvol.def" >&2; exit 1; }

mkdir -p "$out"
out=$(cd "$out" && pwd)
# 32-bit stdcall names carry @N in the .def files; dlltool keeps it in the
# symbol the host links against and drops it from the imported name (-k).
# 64-bit Windows has one convention and no decoration.
support_libs=()
for def in kernel32 lightvol_msvc_helper; do
  if [[ $arch == x86_64 ]]; then
    sed -E 's/@[0-9]+//' "$here/$def.def" >"$out/$def.def"
  else
    cp "$here/$def.def" "$out/$def.def"
  fi
  "$dlltool" -m "$machine" -k -d "$out/$def.def" -l "$out/$def.lib"
  support_libs+=("$out/$def.lib")
done

build=$out/cmake-$name
cmake -S "$here" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$here/toolchain-clang-msvc.cmake" -DLIGHTVOL_MSVC_ARCH="$arch" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_RUNTIME_OUTPUT_DIRECTORY="$out" \
  -DLIGHTVOL_MSVC_HOST_NAME="$name" -DLIGHTVOL_MSVC_HOST_FLAGS="${LIGHTVOL_MSVC_HOST_FLAGS:-}" \
  -DLIGHTVOL_MSVC_HOST_SUPPORT_LIBS="$(IFS=';'; echo "${support_libs[*]}")"
cmake --build "$build" -j2 -v

failures=0
pass() { echo "PASS msvc host import check ($name): $*"; }
fail() { echo "FAIL msvc host import check ($name): $*"; failures=$((failures + 1)); }

if "$here/check_imports.sh" "$out/$name.exe"; then
  pass "linked against $libdir/lightvol.lib, imports create_ILightingSystem from lightvol.dll"
else
  fail "the host linked against the package's lightvol.lib does not import create_ILightingSystem from lightvol.dll"
fi

# The check itself: the same object, linked against import libraries made from
# wrong .def files, must not pass.
object=$(find "$build" -name 'msvc_host.cpp.obj' | head -n1)
[[ -n $object ]] || { echo "build.sh: the host's object file is not in $build" >&2; exit 1; }
wrong=$out/wrong-def-$name
mkdir -p "$wrong"
def=$libdir/lightvol.def
wrong_def() {
  local what=$1 variant=$2 lib_machine=$3
  shift 3
  sed -E "$@" "$def" >"$wrong/$variant.def"
  cmp -s "$def" "$wrong/$variant.def" && [[ $lib_machine == "$machine" ]] && {
    fail "$what: the variant is the same as lightvol.def"
    return
  }
  "$dlltool" -m "$lib_machine" -d "$wrong/$variant.def" -l "$wrong/$variant.lib"
  if ! "$lld_link" /nologo /nodefaultlib /subsystem:console /machine:"$link_machine" \
    /entry:lightvol_msvc_host_start /out:"$wrong/$variant.exe" \
    "$object" "${support_libs[@]}" "$wrong/$variant.lib" >"$wrong/$variant.log" 2>&1; then
    pass "refuses $what (link: $(grep -m1 -o 'error: .*' "$wrong/$variant.log" || echo failed))"
  elif ! "$here/check_imports.sh" "$wrong/$variant.exe" >"$wrong/$variant.check.log" 2>&1; then
    pass "refuses $what ($(tail -n1 "$wrong/$variant.check.log" | sed 's/^check_imports: [^:]*: //'))"
  else
    fail "accepts $what"
  fi
}
wrong_def "a misspelt name" misspelt "$machine" 's/^( +)create_ILightingSystem/\1create_ILightingSytem/'
wrong_def "a stdcall-decorated name" stdcall "$machine" 's/^( +create_ILightingSystem)/\1@0/'
wrong_def "a C-decorated name" underscore "$machine" 's/^( +)create_ILightingSystem/\1_create_ILightingSystem/'
wrong_def "another DLL name" library "$machine" 's/^LIBRARY lightvol\.dll/LIBRARY liblightvol.dll/'
wrong_def "a library for the other machine" machine "$other_machine" -e ''

echo "$out/$name.exe"
((failures == 0))
