#!/usr/bin/env bash
# Makes docs/lit-room.png, the picture at the top of README.md and in
# docs/integration.md: a screenshot of the lit_room sample program
# (examples/lit_room) under Wine's own Direct3D 9 (wined3d over Mesa, 64-bit,
# in a virtual X server), checked against the CPU ray cast of the same frame
# (tests/wine/reference's lightvol_sample_check) before it is kept.
#
#   tools/make-sample-picture.sh [FRAME]
#
# FRAME is one of the sample's shot frames (examples/lit_room/scene.h,
# kShotFrames; default the first). Installs Wine, Xvfb, Mesa, MinGW-w64 and
# libpng from Debian's packages when missing (needs root then).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# shellcheck source=tools/apt-packages.sh
source "$root/tools/apt-packages.sh"
need=(wine wine64 xvfb libgl1-mesa-dri libpng-dev cmake g++)
if [[ -n $(apt_packages_missing "${need[@]}") ]]; then
  echo "make-sample-picture: installing" $(apt_packages_missing "${need[@]}")
  apt_packages_install "${need[@]}" || { echo "make-sample-picture: $apt_error (apt's output: $apt_log)" >&2; exit 1; }
fi

tmp=$(mktemp -d /tmp/lightvol-sample-picture.XXXXXX)
xvfb_pid=
cleanup() {
  WINEPREFIX=$tmp/prefix timeout 20 /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
log=$tmp/build.log
quiet() { "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "make-sample-picture: $1 failed" >&2; exit 1; }; }

quiet tools/build_windows.sh x86_64
quiet cmake -S tests/wine/reference -B build/wine/reference
quiet cmake --build build/wine/reference -j2 --target lightvol_sample_check

mkdir -p "$tmp/run" "$tmp/shots"
cp build/mingw-x86_64/lit_room.exe build/mingw-x86_64/lightvol.dll "$tmp/run/"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s $tmp/display ]] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$tmp/display") WINEPREFIX=$tmp/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
timeout 180 /usr/lib/wine/wine64 wineboot.exe -i >/dev/null 2>&1
frames=$(sed -n 's/^constexpr int kFrameCount = \([0-9]*\);.*/\1/p' examples/lit_room/scene.h)
shots=$(sed -n 's/^constexpr std::array<int, [0-9]*> kShotFrames{\(.*\)};.*/\1/p' examples/lit_room/scene.h | tr -d ' ')
frame=${1:-${shots%%,*}}
(cd "$tmp/run" && timeout 240 /usr/lib/wine/wine64 lit_room.exe --frames "$frames" --shots "$shots" \
  --out "Z:${tmp//\//\\}\\shots")
build/wine/reference/lightvol_sample_check "$tmp/shots" "$tmp/shots"
[[ -f $tmp/shots/screenshot_$frame.png ]] || { echo "make-sample-picture: no frame $frame" >&2; exit 1; }
cp "$tmp/shots/screenshot_$frame.png" docs/lit-room.png
echo "make-sample-picture: wrote docs/lit-room.png (frame $frame)"
