#!/usr/bin/env bash
# Builds lightvol.dll for Windows with MinGW-w64 and checks its tables.
#
#   tools/build_windows.sh [i686|x86_64|all] [extra cmake configure arguments...]
#
# i686 is the 32-bit DLL (preset mingw-i686), x86_64 the 64-bit one (preset
# mingw-x86_64); all (the default) builds both. Installs the cross compilers
# and LLVM's tools (llvm-14, for the MSVC-format lightvol.lib) from Debian's
# packages when they are missing, configures with the preset, builds with two
# jobs and runs tools/check_dll.sh on each result (the DLL and lightvol.lib). The build
# directories are build/mingw-i686 and build/mingw-x86_64; when exactly one
# architecture is built, $LIGHTVOL_WIN_BUILD_DIR (if set) is used instead.
# Prints each DLL's path last.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

archs=(i686 x86_64)
case ${1:-} in
  i686 | x86_64) archs=("$1"); shift ;;
  all) shift ;;
esac

need=()
for arch in "${archs[@]}"; do
  case $arch in
    i686) command -v i686-w64-mingw32-g++-win32 >/dev/null ||
      need+=(g++-mingw-w64-i686 binutils-mingw-w64-i686) ;;
    x86_64) command -v x86_64-w64-mingw32-g++-win32 >/dev/null ||
      need+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64) ;;
  esac
done
# llvm-dlltool writes lightvol.lib; check_dll.sh reads it with llvm-nm and llvm-readobj.
command -v llvm-dlltool-14 >/dev/null || command -v llvm-dlltool >/dev/null || need+=(llvm-14)
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
if ((${#need[@]})); then
  echo "build_windows: installing ${need[*]}"
  # shellcheck source=tools/apt-packages.sh
  source "$root/tools/apt-packages.sh"
  apt_packages_install "${need[@]}" || {
    echo "build_windows: installing ${need[*]}: $apt_error (apt's output: $apt_log)" >&2
    exit 1
  }
fi

cd "$root"
built=()
for arch in "${archs[@]}"; do
  build_dir=$root/build/mingw-$arch
  if ((${#archs[@]} == 1)) && [[ -n ${LIGHTVOL_WIN_BUILD_DIR:-} ]]; then
    build_dir=$LIGHTVOL_WIN_BUILD_DIR
  fi
  echo "build_windows: $arch in $build_dir"
  cmake --preset "mingw-$arch" -B "$build_dir" "$@"
  cmake --build "$build_dir" -j2
  "$root/tools/check_dll.sh" "$build_dir/lightvol.dll"
  built+=("$build_dir/lightvol.dll")
done
printf '%s\n' "${built[@]}"
