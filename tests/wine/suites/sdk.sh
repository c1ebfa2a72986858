#!/usr/bin/env bash
# The Wine tier's SDK suite: hosts built against the unpacked SDK archive with
# find_package(lightvol), as an engine team builds against it.
#
#   tests/wine/suites/sdk.sh prepare OUTDIR
#     Takes the archive named by $LIGHTVOL_SDK_ZIP, or makes it with
#     tools/make-sdk.sh, unpacks it in OUTDIR and checks that it holds every
#     part (docs/sdk.md lists them). Then builds, for x86 and x64, the MinGW
#     host tests/wine/package and the MSVC-ABI host tests/wine/msvc_host
#     (clang and lld-link) against the one unpacked tree, each with its
#     architecture's lightvol.dll from bin/x86 or bin/x64 beside it, and the
#     sample program from the archive's own sources.
#   tests/wine/suites/sdk.sh run OUTDIR
#     In the first cell of each architecture (LIGHTVOL_CELL_FIRST=1): the
#     archive's listing, the package version and DLL each toolchain was given,
#     the MSVC-ABI host's import checks, both hosts and the archive's
#     prebuilt lit_room run through $LIGHTVOL_CELL_RUN. Nothing in the other
#     cells.
#
# Called by tests/wine/run.sh after tools/build_windows.sh all (the MSVC-ABI
# host's helper DLL and the test effect provider come from that build).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
usage="usage: sdk.sh prepare|run OUTDIR"
step=${1:?$usage}
outdir=${2:?$usage}

sdk_arch() { [[ $1 == i686 ]] && echo x86 || echo x64; }

prepare() {
  local zip=${LIGHTVOL_SDK_ZIP:-} arch a tree build missing=() f
  if [[ -z $zip ]]; then
    echo "sdk: making the archive with tools/make-sdk.sh"
    zip=$("$root/tools/make-sdk.sh" "$outdir/archive" | tail -n1)
  fi
  [[ -f $zip ]] || { echo "sdk: no archive $zip" >&2; return 1; }
  echo "sdk: unpacking $zip"
  mkdir -p "$outdir/unpacked"
  (cd "$outdir/unpacked" && cmake -E tar xf "$zip")
  tree=$(find "$outdir/unpacked" -mindepth 1 -maxdepth 1 -type d -name 'lightvol-*-sdk')
  [[ -n $tree && -f $tree/include/lightvol.h ]] ||
    { echo "sdk: $zip holds no lightvol-<version>-sdk/include/lightvol.h" >&2; return 1; }
  (cd "$outdir/unpacked" && find . -type f | sed 's|^\./||' | sort) >"$outdir/listing"

  for f in include/lightvol.h LICENSE CHANGELOG.md README.md lib/cmake/lightvol/lightvolConfig.cmake \
    lib/cmake/lightvol/lightvolConfigVersion.cmake share/lightvol/sampling.hlsl docs/sampling.hlsl \
    docs/integration.md examples/lit_room/main.cpp examples/lit_room/CMakeLists.txt; do
    [[ -f $tree/$f ]] || missing+=("$f")
  done
  for f in $(grep -o '([a-z0-9_-]*\.png)' "$root/docs/integration.md" | tr -d '()' | sort -u); do
    [[ -f $tree/docs/$f ]] || missing+=("docs/$f")
  done
  for a in x86 x64; do
    for f in bin/$a/lightvol.dll lib/$a/lightvol.lib lib/$a/liblightvol.dll.a lib/$a/lightvol.def \
      examples/lit_room/bin/$a/lit_room.exe examples/lit_room/bin/$a/lightvol.dll; do
      [[ -f $tree/$f ]] || missing+=("$f")
    done
  done
  if ((${#missing[@]})); then
    echo "archive lacks: ${missing[*]}" >"$outdir/listing.result"
  else
    echo "archive holds the header, both DLLs, both lib/ folders, the package, sampler, guide, sample, LICENSE and CHANGELOG ($(wc -l <"$outdir/listing") files)" \
      >"$outdir/listing.result"
  fi

  for arch in i686 x86_64; do
    a=$(sdk_arch "$arch")
    local bin=$root/build/mingw-$arch/tests/wine/bin run=$outdir/run-$arch
    for f in lightvol_msvc_helper.dll d3dx9_43.dll; do
      [[ -f $bin/$f ]] || { echo "sdk: $bin/$f was not built (tools/build_windows.sh all)" >&2; return 1; }
    done
    mkdir -p "$run/mingw" "$run/msvc"

    echo "sdk: the $a MinGW host against $tree"
    build=$outdir/mingw-$arch
    {
      cmake -S "$root/tests/wine/package" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch-w64-mingw32.cmake" \
        -DCMAKE_PREFIX_PATH="$tree" -DCMAKE_BUILD_TYPE=Release &&
        cmake --build "$build" -j2
    } >"$outdir/mingw-$arch.log" 2>&1 || {
      tail -n 30 "$outdir/mingw-$arch.log"
      echo "sdk: building the $a MinGW host against the SDK failed" >&2
      return 1
    }
    grep -m1 -- '-- lightvol [0-9]' "$outdir/mingw-$arch.log" | sed 's/^-- //' >"$run/mingw/found"
    cp "$build/lightvol_linked.exe" "$tree/bin/$a/lightvol.dll" "$bin/d3dx9_43.dll" "$run/mingw/"

    echo "sdk: the $a MSVC-ABI host against $tree"
    "$root/tests/wine/msvc_host/build.sh" "$arch" "$outdir/msvc-$arch" "$tree" \
      >"$outdir/msvc-$arch.log" 2>&1 || {
      tail -n 30 "$outdir/msvc-$arch.log"
      echo "sdk: building the $a MSVC-ABI host against the SDK failed" >&2
      return 1
    }
    grep -m1 -- '-- lightvol::lightvol links ' "$outdir/msvc-$arch.log" | sed 's/^-- //' >"$run/msvc/found"
    grep -E '^(PASS|FAIL) ' "$outdir/msvc-$arch.log" >"$run/msvc/import_checks" || true
    cp "$outdir/msvc-$arch/lightvol_msvc_host.exe" "$tree/bin/$a/lightvol.dll" \
      "$bin/lightvol_msvc_helper.dll" "$bin/d3dx9_43.dll" "$run/msvc/"

    # The archive's own prebuilt sample program, as it comes; its sources
    # must build against the tree too.
    cp -r "$tree/examples/lit_room/bin/$a" "$run/lit_room"
    cp "$bin/d3dx9_43.dll" "$run/lit_room/"
    echo "sdk: the $a sample program from the archive's sources"
    if {
      cmake -S "$tree/examples/lit_room" -B "$outdir/lit_room-$arch" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch-w64-mingw32.cmake" \
        -DCMAKE_PREFIX_PATH="$tree" -DCMAKE_BUILD_TYPE=Release &&
        cmake --build "$outdir/lit_room-$arch" -j2
    } >"$outdir/lit_room-$arch.log" 2>&1 && [[ -f $outdir/lit_room-$arch/lit_room.exe ]]; then
      echo "PASS: lit_room-$a: its sources build against the archive with find_package" >"$run/lit_room.built"
    else
      echo "FAIL: lit_room-$a: its sources do not build against the archive (log: $outdir/lit_room-$arch.log)" \
        >"$run/lit_room.built"
    fi
  done
}

# run_host NAME DIR PROGRAM: runs one host in the cell and turns its own
# "PASS x" / "FAIL x: why" lines into this suite's.
run_host() {
  local name=$1 dir=$2 program=$3 work=${LIGHTVOL_WORK:-.} status=0 line p=0 f=0
  cp -r "$dir" "./$name"
  "$LIGHTVOL_CELL_RUN" "$PWD/$name" "$program" >"$work/sdk-$name.log" 2>"$work/sdk-$name.stderr" || status=$?
  while read -r line; do
    case $line in
      "PASS "*) echo "PASS: $name: ${line#PASS }"; p=$((p + 1)) ;;
      "FAIL "*) echo "FAIL: $name: ${line#FAIL }"; f=$((f + 1)) ;;
    esac
  done < <(tr -d '\r' <"$work/sdk-$name.log")
  if ((status != 0 && f == 0)); then
    echo "FAIL: $name: exited with status $status (stderr: $work/sdk-$name.stderr)"
  elif ((p == 0 && f == 0)); then
    echo "FAIL: $name: printed no result (log: $work/sdk-$name.log)"
  fi
}

run() {
  [[ ${LIGHTVOL_CELL_FIRST:-0} == 1 ]] || return 0
  local arch=${LIGHTVOL_CELL_ARCH:?} a run line version
  a=$(sdk_arch "$arch")
  run=$outdir/run-$arch
  [[ -d $run ]] || { echo "FAIL: $run was not prepared"; return 0; }

  line=$(cat "$outdir/listing.result")
  if [[ $line == *" lacks: "* ]]; then echo "FAIL: $line"; else echo "PASS: $line"; fi

  # The version the package reports and the DLL it hands each toolchain.
  version=$(sed -n 's/^#define LIGHTVOL_VERSION_STRING "\(.*\)"$/\1/p' "$root/interface/lightvol.h")
  line=$(cat "$run/mingw/found")
  if [[ $line == "lightvol $version: "*"/bin/$a/lightvol.dll" ]]; then
    echo "PASS: MinGW $a toolchain: find_package gives $line"
  else
    echo "FAIL: MinGW $a toolchain: find_package gives \"$line\", expected lightvol $version and bin/$a/lightvol.dll"
  fi
  line=$(cat "$run/msvc/found")
  if [[ $line == *"/lib/$a/lightvol.lib "* ]]; then
    echo "PASS: MSVC-ABI $a toolchain: find_package gives ${line#lightvol::lightvol links }"
  else
    echo "FAIL: MSVC-ABI $a toolchain: find_package gives \"$line\", expected lib/$a/lightvol.lib"
  fi
  while read -r line; do
    case $line in
      "PASS "*) echo "PASS: ${line#PASS }" ;;
      "FAIL "*) echo "FAIL: ${line#FAIL }" ;;
    esac
  done <"$run/msvc/import_checks"

  # The package host makes no device (nothing for a DXVK log to show).
  LIGHTVOL_CELL_NO_DEVICE=1 run_host "mingw-host-$a" "$run/mingw" lightvol_linked.exe
  run_host "msvc-host-$a" "$run/msvc" lightvol_msvc_host.exe
  cat "$run/lit_room.built"
  run_lit_room "lit_room-$a" "$run/lit_room"
}

# run_lit_room NAME DIR: the archive's prebuilt sample program draws a few
# frames and writes a screenshot.
run_lit_room() {
  local name=$1 work=${LIGHTVOL_WORK:-.} status=0 said
  cp -r "$2" "./$name"
  mkdir -p "$name/screens"
  "$LIGHTVOL_CELL_RUN" "$PWD/$name" lit_room.exe --frames 12 --shots 10 --out screens \
    >"$work/sdk-$name.log" 2>"$work/sdk-$name.stderr" || status=$?
  said=$(tr -d '\r' <"$work/sdk-$name.log" | grep -m1 '^lit_room ran ' || true)
  if ((status == 0)) && [[ -n $said && -s $name/screens/lit_room_10.png ]]; then
    echo "PASS: $name (prebuilt): $said"
  else
    echo "FAIL: $name (prebuilt): status $status, ${said:-no report}, $( [[ -s $name/screens/lit_room_10.png ]] && echo "a" || echo "no") screenshot (stderr: $work/sdk-$name.stderr)"
  fi
}

case $step in
  prepare) prepare ;;
  run) run ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
