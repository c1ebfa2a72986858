#!/usr/bin/env bash
# Compiles the project's HLSL shaders with Wine 10's D3DCompile
# (d3dcompiler_47.dll) and keeps their bytecode in the tree as C headers.
#
#   tools/shader-compile/run.sh [--check] [--registers] [--root ROOT] [--all | LIST...]
#
# A LIST (NAME.list) names one shader per line,
#   <C identifier> <profile> <entry point> <file.hlsl>
# ('#' starts a comment), files relative to the list's directory. They are
# compiled in a directory holding every .hlsl file of the list's directory and
# docs/sampling.hlsl, so `#include "sampling.hlsl"` finds the shipped sampler.
# The bytecode goes to NAME_bytecode.h beside the list, headed by the command
# that regenerates it, a SHA-256 of the sources (the list, the .hlsl files of
# its directory and docs/sampling.hlsl) and the compiler's Wine version.
# --all takes every *.list in the tree that has a NAME_bytecode.h beside it.
#
# --check writes nothing: it compiles again and exits 1 when a kept header is
# stale, i.e. its sources' hash or its instruction tokens differ from what the
# compiler makes now (the Wine version line is not compared; comment tokens,
# which carry the compiler's name, are never kept).
#
# --registers also compiles docs/sampling.hlsl with the default registers and
# with every register macro overridden, and checks in the disassembly that each
# shader reads the registers the macros name (sampler_registers.c).
#
# ROOT is the Debian 13 root with Wine 10 made by tests/wine/debian_root.sh
# (default $LIGHTVOL_WINE_CACHE/wine10-wow64-root, /var/cache/lightvol/wine10-wow64-root),
# only read. Needs x86_64-w64-mingw32-gcc and what tests/wine/in_root.sh needs
# (root). Exit status: 0 done / fresh, 1 stale or a shader failed to compile,
# 2 the compiler could not be run.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
rootfs=${LIGHTVOL_WINE_CACHE:-/var/cache/lightvol}/wine10-wow64-root
check=0
all=0
registers=0
lists=()
while (($#)); do
  case $1 in
    --check) check=1 ;;
    --registers) registers=1 ;;
    --root) rootfs=$2; shift ;;
    --all)
      all=1
      while IFS= read -r list; do
        [[ -f ${list%.list}_bytecode.h ]] && lists+=("$list")
      done < <(find "$repo" -path "$repo/build" -prune -o -path "$repo/.git" -prune -o \
        -name '*.list' -print | sort) ;;
    -*) echo "usage: $0 [--check] [--registers] [--root ROOT] [--all | LIST...]" >&2; exit 2 ;;
    *) lists+=("$(realpath "$1")") ;;
  esac
  shift
done
if ((${#lists[@]} == 0)); then
  if ((all)); then
    echo "shader-compile: no kept shader headers in the tree"
  elif ((registers == 0)); then
    echo "shader-compile: no shader lists" >&2
    exit 2
  fi
fi
[[ -x $rootfs/usr/lib/wine/wine64 ]] || { echo "shader-compile: no 64-bit Wine in $rootfs" >&2; exit 2; }
wine_version=$(dpkg-query --admindir="$rootfs/var/lib/dpkg" -W -f='${Version}' wine 2>/dev/null || echo "?")

tmp=$(mktemp -d /tmp/lightvol-shader-compile.XXXXXX)
export WINEPREFIX=$tmp/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
in_root=("$repo/tests/wine/in_root.sh" "$rootfs")
wine=("${in_root[@]}" env WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64)
cleanup() {
  (cd "$tmp" && timeout 20 "${in_root[@]}" /usr/lib/wine/wineserver -k >/dev/null 2>&1) || true
  rm -rf --one-file-system "$tmp"
}
trap cleanup EXIT

for program in shader_compile sampler_registers; do
  timeout 120 x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror \
    -o "$tmp/$program.exe" "$here/$program.c" || exit 2
done
cd "$tmp"
timeout 180 "${wine[@]}" wineboot.exe -i >"$tmp/wineboot.log" 2>&1 ||
  { cat "$tmp/wineboot.log" >&2; echo "shader-compile: wineboot failed" >&2; exit 2; }

# The SHA-256 of the sources of one list: its own text, the .hlsl files beside
# it and the shipped sampler, each by its path in the tree.
sources_hash() {
  local dir=$1 list=$2 f
  {
    for f in "$list" "$dir"/*.hlsl "$repo/docs/sampling.hlsl"; do
      [[ -f $f ]] && printf '%s %s\n' "${f#"$repo"/}" "$(sha256sum <"$f" | cut -d' ' -f1)"
    done
  } | sha256sum | cut -d' ' -f1
}

status=0
if ((registers)); then
  mkdir -p "$tmp/registers"
  cp "$repo/docs/sampling.hlsl" "$tmp/registers/"
  echo "== docs/sampling.hlsl: registers"
  (cd "$tmp/registers" && timeout 120 "${wine[@]}" "$tmp/sampler_registers.exe") || status=1
fi
n=0
for list in "${lists[@]}"; do
  n=$((n + 1))
  dir=$(dirname "$list")
  name=${list#"$repo"/}
  header=${list%.list}_bytecode.h
  work=$tmp/list-$n
  mkdir -p "$work"
  cp "$dir"/*.hlsl "$repo/docs/sampling.hlsl" "$work/"
  args=()
  while read -r id profile entry file rest; do
    [[ -z $id || $id == \#* ]] && continue
    [[ -n $file && -z $rest ]] || { echo "shader-compile: $name: bad line: $id $profile $entry $file $rest" >&2; exit 2; }
    args+=("$id" "$profile" "$entry" "$file")
  done <"$list"
  ((${#args[@]})) || { echo "shader-compile: $name names no shader" >&2; exit 2; }
  echo "== $name"
  if ! (cd "$work" && timeout 120 "${wine[@]}" "$tmp/shader_compile.exe" body.h "${args[@]}"); then
    echo "shader-compile: $name: compiling failed" >&2
    status=1
    continue
  fi
  {
    echo "// Generated from $(basename "$list") by tools/shader-compile/run.sh; do not edit."
    echo "// Regenerate: tools/shader-compile/run.sh $name"
    echo "// sources sha256: $(sources_hash "$dir" "$list")"
    echo "// compiler: d3dcompiler_47.dll of Wine $wine_version (Debian 13)"
    echo "#pragma once"
    tr -d '\r' <"$work/body.h"
  } >"$work/out.h"
  if ((check == 0)); then
    cp "$work/out.h" "$header"
    echo "wrote ${header#"$repo"/}"
  elif [[ ! -f $header ]]; then
    echo "STALE ${header#"$repo"/}: missing (run: tools/shader-compile/run.sh $name)"
    status=1
  elif ! diff -u <(grep -v '^// compiler:' "$header") <(grep -v '^// compiler:' "$work/out.h") \
    >"$work/diff"; then
    if ! diff -q <(grep '^// sources' "$header") <(grep '^// sources' "$work/out.h") >/dev/null; then
      why="its sources changed since it was generated"
    else
      why="the compiler makes other instructions from the same sources"
    fi
    echo "STALE ${header#"$repo"/}: $why (run: tools/shader-compile/run.sh $name)"
    head -n 40 "$work/diff"
    status=1
  else
    echo "fresh ${header#"$repo"/}"
  fi
done
exit $status
