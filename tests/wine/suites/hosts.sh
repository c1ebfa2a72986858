#!/usr/bin/env bash
# The Wine tier's own test hosts (a suite, see README.md here):
#   provider path   lightvol_wine_host.exe with the test effect provider as
#                   d3dx9_43.dll; the MSVC-ABI host built by clang and lld-link
#                   against the installed package's lightvol.lib (and, 32-bit,
#                   the same host with __stdcall as its default convention,
#                   MSVC's /Gz); in an architecture's first cell, the checks
#                   of the provider's exports and of the MSVC host's import
#                   table
#   wine-d3dx path  lightvol_wine_host.exe with Wine's own d3dx9_43.dll (the
#                   module draws through its built-in shaders where that D3DX
#                   cannot compile the light effect, through the effect where
#                   it can: a NOTE line says which), and a host built against
#                   the installed package
# Every run checks the process it ran in: pointer size and IsWow64Process as
# the cell's mode expects (WoW64: 4-byte pointers, IsWow64Process TRUE).
# Expected pictures are drawn by the software device (tests/wine/reference);
# each cell's light maps land in $LIGHTVOL_WORK/pictures.
set -euo pipefail

verb=${1:?usage: hosts.sh prepare|run OUTDIR}
out=${2:?usage: hosts.sh prepare|run OUTDIR}
work=${LIGHTVOL_WINE_WORK_DIR:-build/wine}

if [[ $verb == prepare ]]; then
  root=$PWD
  mkdir -p "$work"
  {
    timeout 600 cmake -S tests/wine/reference -B "$work/reference" &&
      timeout 1800 cmake --build "$work/reference" -j2
  } >"$out/reference_build.log" 2>&1 || { tail -n 30 "$out/reference_build.log"; exit 1; }
  examples=()
  if compgen -G "examples/*.json" >/dev/null; then examples=(examples/*.json); fi
  mkdir -p "$out/scenes"
  timeout 300 "$work/reference/lightvol_wine_reference" "$out/scenes" "${examples[@]}" \
    >"$out/reference.log" 2>&1 || { tail -n 30 "$out/reference.log"; exit 1; }
  for arch in x86_64 i686; do
    win_build=$root/build/mingw-$arch
    bin=$win_build/tests/wine/bin
    o=$out/$arch
    mkdir -p "$o/run"
    cp "$bin"/lightvol_wine_host.exe "$bin"/lightvol.dll "$bin"/d3dx9_43.dll "$o/run/"
    cp -r "$out/scenes" "$o/run/scenes"
    # The installed package, and a host built against it.
    if {
      timeout 300 cmake --install "$win_build" --prefix "$o/install" &&
        timeout 600 cmake -S tests/wine/package -B "$o/package-build" \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch-w64-mingw32.cmake" \
          -DCMAKE_PREFIX_PATH="$o/install" -DCMAKE_BUILD_TYPE=Release &&
        timeout 600 cmake --build "$o/package-build" -j2
    } >"$o/package_build.log" 2>&1; then
      mkdir -p "$o/package"
      cp "$o/package-build/lightvol_linked.exe" "$o/install/bin/lightvol.dll" "$o/package/"
    fi
    # The MSVC-ABI host(s); build.sh prints its import-table checks.
    if timeout 600 tests/wine/msvc_host/build.sh "$arch" "$o/msvc" "$o/install" \
      >"$o/msvc_build.log" 2>&1 &&
      { [[ $arch != i686 ]] ||
        LIGHTVOL_MSVC_HOST_FLAGS=-mrtd LIGHTVOL_MSVC_HOST_NAME=lightvol_msvc_host_stdcall \
          timeout 600 tests/wine/msvc_host/build.sh "$arch" "$o/msvc" "$o/install" \
          >>"$o/msvc_build.log" 2>&1; }; then
      cp "$bin"/lightvol.dll "$bin"/d3dx9_43.dll "$bin"/lightvol_msvc_helper.dll "$o/msvc/"
      touch "$o/msvc.built"
    fi
  done
  exit 0
fi

[[ $verb == run ]] || { echo "usage: hosts.sh prepare|run OUTDIR" >&2; exit 2; }
arch=$LIGHTVOL_CELL_ARCH
o=$out/$arch
w=$LIGHTVOL_WORK
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# run_host NAME DIR PROGRAM [ARGS...]: one run, its PASS/FAIL lines passed on;
# a crash, a time-out or a run without any FAIL line that exits non-zero fails.
run_host() {
  local name=$1 dir=$2 status=0
  shift 2
  "$LIGHTVOL_CELL_RUN" "$dir" "$@" >"$w/$name.log" 2>"$w/$name.stderr" || status=$?
  grep -E '^(PASS|FAIL|picture) ' "$w/$name.log" | sed -E 's/^(PASS|FAIL) /\1: /' || true
  grep -q '^FAIL ' "$w/$name.log" && failed=1
  if ((status != 0)) && ! grep -q '^FAIL ' "$w/$name.log"; then
    fail "$name: exited with status $status (stderr: $w/$name.stderr)"
  fi
  check_process "$name" "$w/$name.log"
}

# The process the host ran in, as the cell's mode has it.
check_process() {
  local said expect
  said=$(sed -n 's/^process: //p' "$2" | head -n1)
  [[ -n $said ]] || return 0
  case $LIGHTVOL_CELL_ARCH/$LIGHTVOL_CELL_MODE in
    x86_64/*) expect="8-byte pointers, IsWow64Process FALSE" ;;
    i686/wow64) expect="4-byte pointers, IsWow64Process TRUE" ;;
    *) expect="4-byte pointers, IsWow64Process FALSE" ;;
  esac
  if [[ $said == "$expect" ]]; then
    echo "PASS: $1 ran as a $LIGHTVOL_CELL_MODE process: $said"
  else
    fail "$1: ran with $said, not $expect as in $LIGHTVOL_CELL_MODE mode"
  fi
}

# Every D3DX entry point lightvol.dll imports must be served by the provider.
check_provider_exports() {
  local objdump=$arch-w64-mingw32-objdump needed served unserved
  needed=$("$objdump" -p "$o/run/lightvol.dll" |
    awk '/DLL Name:/ {dll = tolower($3); next} NF == 0 {dll = ""}
         dll == "d3dx9_43.dll" && NF >= 3 && $2 ~ /^[0-9]+$/ {print $3}' |
    sort -u)
  served=$("$objdump" -p "$o/run/d3dx9_43.dll" |
    awk '/^\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && /\[ *[0-9]+\]/ {print $NF; next} t && NF == 0 {t = 0}' |
    sort -u)
  unserved=$(comm -23 <(echo "$needed") <(echo "$served"))
  if [[ -n $needed && -z $unserved ]]; then
    echo "PASS: effect provider exports"
  else
    fail "effect provider exports: lightvol.dll imports from d3dx9_43.dll what the provider lacks: ${unserved:-(no imports found)}"
  fi
}

cp -r "$o/run" run
mkdir -p pictures "$w/pictures"
if [[ $LIGHTVOL_CELL_PATH == provider ]]; then
  if [[ $LIGHTVOL_CELL_FIRST == 1 ]]; then
    check_provider_exports
    if [[ -f $o/msvc.built ]]; then
      grep -E '^(PASS|FAIL) ' "$o/msvc_build.log" | sed -E 's/^(PASS|FAIL) /\1: /' || true
    fi
    grep -q '^FAIL ' "$o/msvc_build.log" && failed=1
  fi
  run_host provider "$PWD/run" lightvol_wine_host.exe provider scenes "Z:${PWD//\//\\}\\pictures"
  if [[ -f $o/msvc.built ]]; then
    cp -r "$o/msvc" msvc
    run_host msvc-host "$PWD/msvc" lightvol_msvc_host.exe
    [[ $arch == i686 ]] && run_host msvc-host-stdcall "$PWD/msvc" lightvol_msvc_host_stdcall.exe
  else
    tail -n 20 "$o/msvc_build.log"
    fail "msvc host: building it failed (log: $o/msvc_build.log)"
  fi
else
  run_host wine-d3dx "$PWD/run" lightvol_wine_host.exe wine-d3dx scenes "Z:${PWD//\//\\}\\pictures"
  # What this Wine's D3DX makes of the light effect. Where it compiles it, the
  # module draws through the effect and this path's pictures check that.
  said=$(sed -n 's/^wine d3dx: //p' "$w/wine-d3dx.log" | head -n1)
  wine=${LIGHTVOL_CELL_IMPL%%-*}
  bits=$([[ $arch == x86_64 ]] && echo 64 || echo 32)
  if [[ $said == compiles* ]]; then
    echo "NOTE: ${wine/wine/Wine }'s own D3DX ($bits-bit) compiles the light effect: lightvol draws through the effect on that path, whose pictures were checked"
  elif [[ -n $said ]]; then
    echo "NOTE: ${wine/wine/Wine }'s own D3DX ($bits-bit) $said"
  fi
  if [[ -d $o/package ]]; then
    cp -r "$o/package" package
    LIGHTVOL_CELL_NO_DEVICE=1 run_host package "$PWD/package" lightvol_linked.exe
  else
    tail -n 20 "$o/package_build.log"
    fail "package: installing lightvol or building against it failed (log: $o/package_build.log)"
  fi
fi
cp pictures/*.ppm "$w/pictures/" 2>/dev/null || true
exit "$failed"
