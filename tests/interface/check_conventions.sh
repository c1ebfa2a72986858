#!/usr/bin/env bash
# What an MSVC-ABI host compiler makes of lightvol.h: a host's use of the
# header is compiled with clang for i686-pc-windows-msvc (default convention,
# and __stdcall as the default, as with MSVC /Gz) and x86_64-pc-windows-msvc.
# The factory must be imported by its undecorated name, a LIGHTVOL_CDECL
# render-state function must be __cdecl, and a __stdcall one must not compile.
#
#   tests/interface/check_conventions.sh INTERFACE_DIR WORK_DIR
#
# Exits 77 (skipped) without clang-14 and llvm-nm-14.
set -euo pipefail

interface=$1
work=$2
mkdir -p "$work"
clang=$(command -v clang-14 || true)
nm=$(command -v llvm-nm-14 || command -v llvm-nm || true)
if [[ -z $clang || -z $nm ]]; then
  echo "check_conventions: clang-14 or llvm-nm not installed (clang, llvm): not checked"
  exit 77
fi

cat >"$work/host.cpp" <<'CPP'
#include "lightvol.h"
#if defined(STDCALL_CALLBACK)
int32_t set_state(int32_t, int32_t) { return 0; }
#else
int32_t LIGHTVOL_CDECL set_state(int32_t, int32_t) { return 0; }
#endif
ILightingSystem* start(IDirect3DDevice9* device) {
    ILightingSystem* system = create_ILightingSystem();
    system->init(device, &set_state);
    LightingSystemFactory factory = &create_ILightingSystem;
    (void)factory;
    return system;
}
CPP

fail() {
  echo "check_conventions: $*" >&2
  exit 1
}
check() {  # label, target, import symbol, extra flags...
  local label=$1 target=$2 import=$3
  shift 3
  local obj="$work/host-${target}$*.o"
  "$clang" --target="$target" -ffreestanding -std=c++17 -Wall -Wextra -Werror "$@" \
    -I"$interface" -c "$work/host.cpp" -o "$obj"
  local symbols
  symbols=$("$nm" "$obj")
  grep -qE "^ +U $import\$" <<<"$symbols" ||
    fail "$label: the factory is not imported as $import:"$'\n'"$symbols"
  # MSVC name decoration: YA is __cdecl, YG __stdcall.
  grep -q '?set_state@@YAHHH@Z' <<<"$symbols" ||
    fail "$label: the render-state function is not __cdecl:"$'\n'"$symbols"
  echo "check_conventions: $label: factory $import, callback __cdecl"
}

check "i686 MSVC ABI" i686-pc-windows-msvc __imp__create_ILightingSystem
check "i686 MSVC ABI, __stdcall default (/Gz)" i686-pc-windows-msvc \
  __imp__create_ILightingSystem -mrtd
check "x86_64 MSVC ABI" x86_64-pc-windows-msvc __imp_create_ILightingSystem

if "$clang" --target=i686-pc-windows-msvc -ffreestanding -std=c++17 -mrtd -DSTDCALL_CALLBACK \
  -I"$interface" -c "$work/host.cpp" -o "$work/refused.o" 2>/dev/null; then
  fail "a __stdcall render-state function was accepted by init"
fi
echo "check_conventions: a __stdcall render-state function does not compile"
