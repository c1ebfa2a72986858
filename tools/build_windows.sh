#!/usr/bin/env bash
# Builds lightvol.dll for 32-bit Windows with MinGW-w64 and checks its tables.
#
#   tools/build_windows.sh [extra cmake configure arguments...]
#
# Installs the cross compiler from Debian's packages when it is missing,
# configures with the mingw-i686 preset, builds with two jobs and runs
# tools/check_dll.sh on the result. The build directory is build/mingw-i686,
# or $LIGHTVOL_WIN_BUILD_DIR when set. Prints the DLL's path last.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${LIGHTVOL_WIN_BUILD_DIR:-$root/build/mingw-i686}

need=()
command -v i686-w64-mingw32-g++-win32 >/dev/null || need+=(g++-mingw-w64-i686)
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
if ((${#need[@]})); then
  echo "build_windows: installing ${need[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "build_windows: need root to install ${need[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  timeout 900 apt-get update -q
  timeout 1200 apt-get install -y -q --no-install-recommends "${need[@]}"
fi

cd "$root"
cmake --preset mingw-i686 -B "$build_dir" "$@"
cmake --build "$build_dir" -j2
"$root/tools/check_dll.sh" "$build_dir/lightvol.dll"
echo "$build_dir/lightvol.dll"
