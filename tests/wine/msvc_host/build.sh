#!/usr/bin/env bash
# Builds the MSVC-ABI test host, lightvol_msvc_host.exe, with clang for the
# Microsoft ABI and lld-link, with no Microsoft software and no C runtime.
#
#   tests/wine/msvc_host/build.sh <i686|x86_64> <output dir>
#
# The import libraries of kernel32.dll, lightvol.dll and
# lightvol_msvc_helper.dll are made by llvm-dlltool from the .def files here.
# The helper DLL itself is built by MinGW with the Wine tier
# (build/mingw-<arch>/tests/wine/bin/lightvol_msvc_helper.dll).
#
# Environment:
#   LIGHTVOL_MSVC_HOST_FLAGS  extra compiler flags, e.g. "-mrtd" for a 32-bit
#                             host whose default calling convention is stdcall
#                             (as MSVC's /Gz)
#   LIGHTVOL_MSVC_HOST_NAME   the program's name (default lightvol_msvc_host)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../../.." && pwd)
arch=${1:?usage: build.sh <i686|x86_64> <output dir>}
out=${2:?usage: build.sh <i686|x86_64> <output dir>}
name=${LIGHTVOL_MSVC_HOST_NAME:-lightvol_msvc_host}

case $arch in
  i686) target=i686-pc-windows-msvc machine=i386 link_machine=x86 ;;
  x86_64) target=x86_64-pc-windows-msvc machine=i386:x86-64 link_machine=x64 ;;
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
clang=$(find_tool clang-14 clang)
lld_link=$(find_tool lld-link-14 lld-link)
dlltool=$(find_tool llvm-dlltool-14 llvm-dlltool)

mkdir -p "$out"
# 32-bit stdcall names carry @N in the .def files; dlltool keeps it in the
# symbol the host links against and drops it from the imported name (-k).
# 64-bit Windows has one convention and no decoration.
for def in kernel32 lightvol lightvol_msvc_helper; do
  if [[ $arch == x86_64 ]]; then
    sed -E 's/@[0-9]+//' "$here/$def.def" >"$out/$def.def"
  else
    cp "$here/$def.def" "$out/$def.def"
  fi
  "$dlltool" -m "$machine" -k -d "$out/$def.def" -l "$out/$def.lib"
done

# shellcheck disable=SC2086
"$clang" --target="$target" -std=c++17 -O2 -Wall -Wextra -Werror \
  -ffreestanding -fno-builtin -fno-exceptions -fno-rtti -fno-stack-protector \
  -msse2 -ffp-contract=off ${LIGHTVOL_MSVC_HOST_FLAGS:-} \
  -I"$root/interface" -I"$here" \
  -c "$here/msvc_host.cpp" -o "$out/$name.obj"

"$lld_link" /nologo /nodefaultlib /subsystem:console /machine:"$link_machine" \
  /entry:lightvol_msvc_host_start /out:"$out/$name.exe" \
  "$out/$name.obj" "$out/kernel32.lib" "$out/lightvol.lib" "$out/lightvol_msvc_helper.lib"
echo "$out/$name.exe"
