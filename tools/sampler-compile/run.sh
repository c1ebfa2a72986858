#!/usr/bin/env bash
# Compiles docs/sampling.hlsl with Wine 10's HLSL compiler (D3DCompile in
# d3dcompiler_47.dll) for vs_2_0 and ps_2_0, with the default registers and
# with every register macro overridden, and checks the registers the
# disassembly reads (sampler_compile.c says which shaders and registers).
#
#   tools/sampler-compile/run.sh [ROOT]
#
# ROOT is a Debian 13 root with Wine 10 made by tests/wine/debian_root.sh
# (default /var/cache/lightvol/wine10-root); it is only read. Needs
# x86_64-w64-mingw32-gcc and the rights tests/wine/in_root.sh needs (root).
# Builds the program and a fresh 64-bit Wine prefix in a temporary directory
# under /tmp, prints the program's report (results, sizes, messages,
# disassembly) and exits with its status: 0 when everything compiled and read
# the intended registers.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
rootfs=${1:-/var/cache/lightvol/wine10-root}
[[ -x $rootfs/usr/lib/wine/wine64 ]] || { echo "no 64-bit Wine in $rootfs" >&2; exit 2; }

tmp=$(mktemp -d /tmp/lightvol-sampler-compile.XXXXXX)
export WINEPREFIX=$tmp/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
in_root=("$repo/tests/wine/in_root.sh" "$rootfs")
wine=("${in_root[@]}" env WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64)
cleanup() {
  (cd "$tmp" && timeout 20 "${in_root[@]}" /usr/lib/wine/wineserver -k >/dev/null 2>&1) || true
  rm -rf "$tmp"
}
trap cleanup EXIT

timeout 120 x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror \
  -o "$tmp/sampler_compile.exe" "$here/sampler_compile.c"
cp "$repo/docs/sampling.hlsl" "$tmp/"
cd "$tmp"
timeout 180 "${wine[@]}" wineboot.exe -i >"$tmp/wineboot.log" 2>&1 ||
  { cat "$tmp/wineboot.log" >&2; echo "wineboot failed" >&2; exit 2; }
timeout 120 "${wine[@]}" sampler_compile.exe
