#!/usr/bin/env bash
# Makes ready what the Wine tier's cells need, each part apart from the others
# (the parts and which cells need them: tests/wine/matrix.sh):
#
#   tests/wine/prepare.sh packages   base (Xvfb, compilers, CMake), wine8,
#                                    i386-exec, wine8-i386
#   tests/wine/prepare.sh dxvk       dxvk-x86_64, dxvk-i686 (Debian 13's DXVK)
#   tests/wine/prepare.sh wine8-wow64  Wine 8's 32-bit PE DLLs, where 32-bit
#                                    Wine 8 cannot run
#   tests/wine/prepare.sh root       root, root-wow64 (tests/wine/debian_root.sh)
#   tests/wine/prepare.sh all        all of them, in this order
#
# Each part's state goes to $LIGHTVOL_WINE_WORK_DIR/parts/NAME (default
# build/wine/parts): "ok", "not run: <why>" (it cannot be had here: apt's own
# last error line, a kernel that refuses 32-bit programs, no root rights) or
# "failed: <why>"; what the part gives (a path) to NAME.value. A part that
# cannot be had leaves every other part as it is. Packages are installed with
# tools/apt-packages.sh (the lock waited for, a failed index no obstacle to an
# install that still succeeds, a transient archive error tried again once).
#
# Environment: LIGHTVOL_WINE_ARCHS, LIGHTVOL_WINE10, LIGHTVOL_WINE_CACHE (see
# tests/wine/run.sh).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
work=${LIGHTVOL_WINE_WORK_DIR:-$root/build/wine}
cache=${LIGHTVOL_WINE_CACHE:-/var/cache/lightvol}
wanted_archs=${LIGHTVOL_WINE_ARCHS:-x86_64 i686}
parts=$work/parts
mkdir -p "$parts"

# shellcheck source=tools/apt-packages.sh
source "$root/tools/apt-packages.sh"
# shellcheck source=tests/wine/debian_download.sh
source "$here/debian_download.sh"
# shellcheck source=tests/wine/dxvk.sh
source "$here/dxvk.sh"

say() { printf 'wine tier: %s\n' "$*"; }
# part NAME STATE [VALUE]
part() {
  printf '%s\n' "$2" >"$parts/$1"
  if [[ -n ${3:-} ]]; then printf '%s\n' "$3" >"$parts/$1.value"; else rm -f "$parts/$1.value"; fi
  say "part $1: $2"
}
part_ok() { [[ $(head -n1 "$parts/$1" 2>/dev/null) == ok ]]; }
wanted() { [[ " $wanted_archs " == *" $1 "* ]]; }

# install PART PACKAGE...: the packages of one part; apt's output in
# $work/apt-PART.log.
install() {
  local name=$1
  shift
  if APT_PACKAGES_LOG=$work/apt-$name.log apt_packages_install "$@"; then
    part "$name" ok
  else
    part "$name" "not run: $apt_error"
  fi
}

prepare_packages() {
  install base xvfb g++ cmake make nlohmann-json3-dev libpng-dev \
    g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
    clang-14 lld-14 llvm-14
  install wine8 wine wine64 libgl1-mesa-dri libgl1 libglx-mesa0 mesa-vulkan-drivers libvulkan1 vulkan-tools
  local why
  if ! wanted i686; then
    part i386-exec "not run: LIGHTVOL_WINE_ARCHS is \"$wanted_archs\""
  elif why=$("$here/probe_i386.sh" "$work"); then
    part i386-exec ok
  else
    part i386-exec "not run: $why"
  fi
  if ! part_ok i386-exec; then
    part wine8-i386 "$(head -n1 "$parts/i386-exec")"
    return 0
  fi
  local i386=(wine32:i386 libgl1-mesa-dri:i386 libgl1:i386 libglx-mesa0:i386
              mesa-vulkan-drivers:i386 libvulkan1:i386)
  if [[ -n $(apt_packages_missing "${i386[@]}") ]] &&
     ! dpkg --print-foreign-architectures | grep -qx i386; then
    if [[ $(id -u) -ne 0 ]]; then
      part wine8-i386 "not run: need root to add the i386 architecture"
      return 0
    fi
    dpkg --add-architecture i386
  fi
  install wine8-i386 "${i386[@]}"
}

prepare_dxvk() {
  local arch
  for arch in x86_64 i686; do
    if dxvk_fetch "$cache" "$arch"; then
      part "dxvk-$arch" ok "$dxvk_d3d9"
      printf '%s\n' "$dxvk_version" >"$parts/dxvk-$arch.version"
    else
      part "dxvk-$arch" "not run: $dxvk_error"
    fi
  done
}

# Wine 8's WoW64 mode: libwine:i386's PE DLLs of the machine's Wine 8 version,
# unpacked under the cache (WINEDLLPATH names the directory), never installed.
prepare_wine8_wow64() {
  if part_ok wine8-i386; then
    part wine8-wow64 "not run: 32-bit Wine 8 runs here (the 32-bit, 32-bit Wine cells)"
    return 0
  fi
  if ! part_ok wine8; then
    part wine8-wow64 "$(head -n1 "$parts/wine8" 2>/dev/null || echo "not run: no Wine 8")"
    return 0
  fi
  local version dir unpack
  version=$(dpkg-query -W -f='${Version}' libwine:amd64 2>/dev/null || true)
  [[ -n $version ]] || { part wine8-wow64 "not run: libwine:amd64 is not installed"; return 0; }
  dir=$cache/wine8-wow64/$version
  if [[ ! -d $dir/i386-windows ]]; then
    if ! debian_unpack unpack "$cache" bookworm libwine:i386 "$version"; then
      part wine8-wow64 "not run: $debian_error"
      return 0
    fi
    mkdir -p "$dir"
    rm -rf "$dir/i386-windows.partial"
    cp -a "$unpack/usr/lib/i386-linux-gnu/wine/i386-windows" "$dir/i386-windows.partial"
    mv "$dir/i386-windows.partial" "$dir/i386-windows"
    rm -rf "$unpack"
  fi
  # Wine finds the Unix side of a PE DLL (winex11.drv's winex11.so, ...) beside
  # the PE directory it came from: the machine's 64-bit one.
  ln -sfn /usr/lib/x86_64-linux-gnu/wine/x86_64-unix "$dir/x86_64-unix"
  part wine8-wow64 ok "$dir"
}

prepare_root() {
  if [[ ${LIGHTVOL_WINE10:-1} == 0 ]]; then
    part root "not run: LIGHTVOL_WINE10=0"
    part root-wow64 "not run: LIGHTVOL_WINE10=0"
    return 0
  fi
  local status=0 out=$work/debian_root.out
  LIGHTVOL_WINE_CACHE=$cache "$here/debian_root.sh" >"$out" 2>"$work/debian_root.log" || status=$?
  case $status in
    0)
      part root ok "$(tail -n1 "$out")"
      part root-wow64 "$(sed -n 's/^wow64: //p' "$out" | tail -n1)"
      ;;
    3)
      part root "not run: $(tail -n1 "$out")"
      part root-wow64 "not run: $(tail -n1 "$out")"
      ;;
    *)
      part root "failed: making the Debian 13 root failed: $(tail -n1 "$work/debian_root.log") (log: $work/debian_root.log)"
      part root-wow64 "$(head -n1 "$parts/root")"
      ;;
  esac
}

case ${1:-all} in
  packages) prepare_packages ;;
  dxvk) prepare_dxvk ;;
  wine8-wow64) prepare_wine8_wow64 ;;
  root) prepare_root ;;
  all) prepare_packages; prepare_dxvk; prepare_wine8_wow64; prepare_root ;;
  *) echo "usage: $0 [packages|dxvk|wine8-wow64|root|all]" >&2; exit 2 ;;
esac
