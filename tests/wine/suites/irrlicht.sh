#!/usr/bin/env bash
# Wine tier suite: lightvol inside a real engine, Irrlicht 1.8's Direct3D 9
# driver (examples/irrlicht), against the suite interface of the tier.
#
#   tests/wine/suites/irrlicht.sh prepare OUTDIR
#       Fetches Debian's source package `irrlicht` through a private apt list
#       (deb-src of the machine's Debian release; the machine's own sources
#       are not touched), builds Irrlicht's static library with MinGW-w64 for
#       i686 and x86_64 (examples/irrlicht/build_irrlicht.sh), both cached
#       under $LIGHTVOL_CACHE (default /var/cache/lightvol)/irrlicht per
#       package version and build script; then the sample for both
#       architectures against build/mingw-<arch>'s lightvol.dll, and the native
#       check lightvol_irrlicht_check (tests/wine/reference/irrlicht_check.cpp).
#       Exits 3 with "not run: ..." when the source package cannot be had.
#   tests/wine/suites/irrlicht.sh run OUTDIR
#       One cell: Irrlicht alone, then with lightvol rendering after drawAll
#       and from a scene node in the transparent pass (the guide's recipe:
#       EngineRenderStates and the window-procedure hook around Irrlicht's own
#       reset), screenshots before and after a window resize compared pixel for
#       pixel; mid-scene, the plain callback without EngineRenderStates must
#       differ; in
#       the wine-d3dx path a plane drawn with a material that samples the light
#       map (HLSL with the shipped sampler where Wine's D3DX compiles it, Wine
#       10; shader assembly on Wine 8) is checked against LightSampler within
#       the guide's bound, before and after the resize.
set -euo pipefail

cmd=${1:?prepare or run}
out=${2:?OUTDIR}
root=${LIGHTVOL_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)}
cache=${LIGHTVOL_CACHE:-/var/cache/lightvol}/irrlicht
frames=46
resize_at=24
# Frames 12 and 44 have the user clip plane on; 34 and 44 come after the resize.
shots=4,12,34,44
media_files=(wall.bmp faerie.md2 faerie2.bmp irrlichtlogoalpha2.tga Particle.tga fire.bmp
             fireball.bmp irrlichtlogo.BMP)

not_run() {
  echo "not run: $*"
  exit 3
}

# fetch_source: the newest `irrlicht` source package of the machine's Debian
# release, unpacked once per version; sets version and source.
fetch_source() {
  local codename state
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [[ -n $codename ]] || not_run "no Debian release named in /etc/os-release"
  state=$cache/apt-$codename
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $codename main" \
    >"$state/sources.list"
  apt_opts=(-o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
            -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache"
            -o APT::Sandbox::User=root)
  if [[ -z $(find "$state/updated" -mmin -1440 2>/dev/null) ]]; then
    timeout 600 apt-get "${apt_opts[@]}" update -q >"$state/update.log" 2>&1 ||
      not_run "apt-get update of Debian's source lists failed (log: $state/update.log)"
    touch "$state/updated"
  fi
  version=$(apt-cache "${apt_opts[@]}" showsrc irrlicht 2>/dev/null | sed -n 's/^Version: //p' |
    sort -V | tail -n1)
  [[ -n $version ]] || not_run "Debian's archive serves no source package irrlicht"
  source=$cache/$version/source
  if [[ ! -f $source/include/irrlicht.h ]]; then
    local dl=$cache/$version/download
    rm -rf "$dl" && mkdir -p "$dl"
    (cd "$dl" && timeout 600 apt-get "${apt_opts[@]}" source --download-only "irrlicht=$version") \
      >"$dl/download.log" 2>&1 || not_run "apt-get source irrlicht=$version failed (log: $dl/download.log)"
    local tarball
    tarball=$(ls "$dl"/irrlicht_*.orig.tar.* | head -n1)
    rm -rf "$cache/$version/unpack" && mkdir -p "$cache/$version/unpack"
    tar -xf "$tarball" -C "$cache/$version/unpack"
    rm -rf "$source"
    mv "$cache/$version/unpack"/irrlicht-* "$source"
    rm -rf "$cache/$version/unpack" "$dl"
  fi
}

# build_library ARCH: Irrlicht's library for ARCH, cached per version and
# build script; sets lib_dir.
build_library() {
  local arch=$1 key started
  key=$(sha256sum "$root/examples/irrlicht/build_irrlicht.sh" | cut -c1-12)
  lib_dir=$cache/$version/build-$key/$arch
  if [[ -f $lib_dir/libIrrlicht.a ]]; then
    echo "irrlicht: $arch library of $version cached"
    return
  fi
  started=$(date +%s)
  rm -rf "$lib_dir.partial"
  "$root/examples/irrlicht/build_irrlicht.sh" "$source" "$arch" "$lib_dir.partial" \
    >"$out/build-irrlicht-$arch.log" 2>&1 || {
    tail -n 20 "$out/build-irrlicht-$arch.log"
    return 1
  }
  mv "$lib_dir.partial" "$lib_dir"
  echo "irrlicht: $arch library of $version built in $(($(date +%s) - started)) s"
}

prepare() {
  local lock fd arch started
  started=$(date +%s)
  mkdir -p "$cache"
  exec {fd}>"$cache/lock"
  flock -w 1800 "$fd" || not_run "another run held $cache/lock for 30 minutes"
  fetch_source
  for arch in i686 x86_64; do
    local bin=$root/build/mingw-$arch
    [[ -f $bin/lightvol.dll ]] || { echo "irrlicht: $bin/lightvol.dll missing"; return 1; }
    local cxx
    cxx=$(command -v "$arch-w64-mingw32-g++-win32" || command -v "$arch-w64-mingw32-g++")
    build_library "$arch"
    mkdir -p "$out/$arch/media"
    # shellcheck disable=SC2046
    "$cxx" -std=c++17 -O1 -Wall -Wextra -Werror -isystem "$lib_dir/include" \
      -I"$root/interface" $(cat "$lib_dir/defines") "$root/examples/irrlicht/main.cpp" \
      -o "$out/$arch/irrlicht_lit.exe" -L"$lib_dir" -lIrrlicht -L"$bin" -llightvol \
      -ld3d9 -lgdi32 -luser32 -lwinmm -static-libgcc -static-libstdc++ -static \
      >"$out/build-sample-$arch.log" 2>&1 || { cat "$out/build-sample-$arch.log"; return 1; }
    cp "$bin/lightvol.dll" "$out/$arch/"
    [[ -f $bin/tests/wine/bin/d3dx9_43.dll ]] && cp "$bin/tests/wine/bin/d3dx9_43.dll" "$out/$arch/provider_d3dx9_43.dll"
    for f in "${media_files[@]}"; do cp "$source/media/$f" "$out/$arch/media/"; done
    cp "$root/docs/sampling.hlsl" "$out/$arch/media/"
  done
  exec {fd}>&-
  g++ -std=c++17 -O2 -Wall -Wextra -Werror -I"$root" -I"$root/interface" \
    "$root/tests/wine/reference/irrlicht_check.cpp" "$root/tools/sampling/light_sampler.cpp" \
    -o "$out/lightvol_irrlicht_check"
  echo "irrlicht: prepared in $(($(date +%s) - started)) s"
}

# sample NAME ARGS...: one run of the sample in the cell, pictures in NAME/.
# On DXVK on Wine 8 (64-bit), Wine's Linux process has died of SIGSEGV at
# process exit, after the sample had printed its closing line and written
# every picture: such a run is said in a NOTE, and its pictures are checked
# as those of any other run.
sample() {
  local name=$1 status=0 log=$LIGHTVOL_WORK/irrlicht-$1.log
  shift
  mkdir -p "$dir/$name"
  "$LIGHTVOL_CELL_RUN" "$dir" irrlicht_lit.exe --frames "$frames" --resize-at "$resize_at" \
    --out "$name" "$@" >"$log" 2>&1 || status=$?
  if ((status == 139)) && grep -q '^irrlicht_lit wrote [0-9]* screenshots$' "$log"; then
    echo "NOTE: irrlicht: $name: Wine's process died of SIGSEGV at exit, after the sample's closing line, in $LIGHTVOL_CELL_IMPL $LIGHTVOL_CELL_ARCH (log: $log)"
    status=0
  fi
  return "$status"
}

# verdict EXIT LABEL CHECK-ARGS...: PASS when lightvol_irrlicht_check exits
# with EXIT (0: the pictures agree; 1: they differ), with the check's words.
verdict() {
  local want=$1 label=$2 result status=0
  shift 2
  result=$("$out/lightvol_irrlicht_check" "$@") || status=$?
  if ((status == want)); then
    echo "PASS: $label: $result"
  else
    echo "FAIL: $label: $result"
  fi
}

run() {
  local arch=${LIGHTVOL_CELL_ARCH:?} impl=${LIGHTVOL_CELL_IMPL:?} path=${LIGHTVOL_CELL_PATH:?}
  dir=$PWD
  cp -r "$out/$arch/." "$dir/"
  if [[ $path == provider ]]; then
    [[ -f $dir/provider_d3dx9_43.dll ]] && mv "$dir/provider_d3dx9_43.dll" "$dir/d3dx9_43.dll"
  fi
  local frame mode
  # Irrlicht alone, twice: where it does not draw the same frames twice
  # (Wine 10's 32-bit wined3d changed a few pixels of the additive billboards
  # between runs), a picture with lightvol must equal one of the two.
  local run
  for run in alone alone2; do
    if ! sample "$run" --render off --shots "$shots"; then
      echo "FAIL: Irrlicht alone: the sample failed (log: $LIGHTVOL_WORK/irrlicht-$run.log)"
      return 0
    fi
  done
  echo "PASS: Irrlicht alone ran $frames frames with a resize"
  for frame in ${shots//,/ }; do
    "$out/lightvol_irrlicht_check" same "$dir/alone/shot_$frame.ppm" "$dir/alone2/shot_$frame.ppm" \
      >"$LIGHTVOL_WORK/irrlicht-alone-$frame.txt" ||
      echo "NOTE: irrlicht: Irrlicht alone, frame $frame, differs between two runs in $LIGHTVOL_CELL_IMPL $LIGHTVOL_CELL_ARCH ($(cat "$LIGHTVOL_WORK/irrlicht-alone-$frame.txt")): pictures with lightvol are compared with both"
  done
  for mode in after node; do
    local label="render $([[ $mode == after ]] && echo "after drawAll" || echo "from a scene node")"
    if ! sample "$mode" --render "$mode" --shots "$shots"; then
      echo "FAIL: $label: the sample failed (log: $LIGHTVOL_WORK/irrlicht-$mode.log)"
      continue
    fi
    for frame in ${shots//,/ }; do
      local when=$([[ $frame -ge $resize_at ]] && echo "after the resize" || echo "before the resize")
      verdict 0 "$label, frame $frame ($when) against Irrlicht alone" \
        same "$dir/$mode/shot_$frame.ppm" "$dir/alone/shot_$frame.ppm" "$dir/alone2/shot_$frame.ppm"
    done
    # Without EngineRenderStates the seven states stay as the callback left
    # them, and the transparent nodes drawn after the node show it; the check
    # must see that. (After drawAll, Irrlicht's switch to 2D sets all its
    # states anew, so the GUI hides it there.)
    [[ $mode == node ]] || continue
    if sample "plain-$mode" --render "$mode" --plain --shots "$shots"; then
      verdict 1 "$label with the plain callback alone must differ, frame 4" \
        same "$dir/plain-$mode/shot_4.ppm" "$dir/alone/shot_4.ppm" "$dir/alone2/shot_4.ppm"
    else
      echo "FAIL: $label with the plain callback: the sample failed (log: $LIGHTVOL_WORK/irrlicht-plain-$mode.log)"
    fi
  done
  # The lit plane needs a shader compiler (Wine's D3DX); the tier's effect
  # provider has none.
  if [[ $path == provider ]]; then
    echo "SKIP: lit plane against LightSampler: the effect provider compiles no shaders"
  else
    local lit=asm
    [[ $impl == wine10-* ]] && lit=hlsl
    if ! sample "lit-$lit" --lit "$lit" --shots 4,34; then
      echo "FAIL: lit plane ($lit): the sample failed (log: $LIGHTVOL_WORK/irrlicht-lit-$lit.log)"
    else
      for frame in 4 34; do
        verdict 0 "lit plane ($lit), frame $frame, against LightSampler" \
          lit "$dir/lit-$lit/shot_$frame.ppm" "$dir/lit-$lit/light_$frame.bin"
      done
    fi
  fi
  mkdir -p "$LIGHTVOL_WORK/irrlicht"
  cp -r "$dir"/alone "$dir"/alone2 "$dir"/after "$dir"/node "$dir"/plain-* "$dir"/lit-* "$LIGHTVOL_WORK/irrlicht/" 2>/dev/null || true
}

case $cmd in
  prepare) prepare ;;
  run) run ;;
  *) echo "usage: $0 prepare|run OUTDIR" >&2; exit 2 ;;
esac
