#!/usr/bin/env bash
# The Wine tier: lightvol.dll, built by MinGW, driven by a Windows test host on
# Wine's Direct3D 9 (wined3d over Mesa's software OpenGL) in a virtual X server.
#
#   tests/wine/run.sh
#
# Installs what is missing (Wine with its 32-bit half, Xvfb, Mesa), builds the
# DLL and the Windows test programs (tools/build_windows.sh), builds the native
# reference tool and draws the expected pictures with the software device,
# starts Xvfb on a free display and a fresh Wine prefix in a temporary
# directory, and runs:
#   - the host with the test effect provider as d3dx9_43.dll,
#   - the host with Wine's own d3dx9_43.dll, which cannot compile the light
#     effect, so the module draws through its built-in shaders,
#   - a host built against the installed lightvol package.
# Prints PASS/FAIL lines and "wine: N passed, M failed"; exits non-zero on any
# failure. Every wait is bounded.
#
# Environment:
#   LIGHTVOL_WIN_BUILD_DIR   MinGW build directory (default build/mingw-i686)
#   LIGHTVOL_WINE_WORK_DIR   where the reference build, pictures and logs go
#                            (default build/wine)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
win_build=${LIGHTVOL_WIN_BUILD_DIR:-$root/build/mingw-i686}
work=${LIGHTVOL_WINE_WORK_DIR:-$root/build/wine}
export LIGHTVOL_WIN_BUILD_DIR=$win_build

log() { printf 'wine tier: %s\n' "$*"; }
die() {
  printf 'wine tier: %s\n' "$*" >&2
  echo "wine: 0 passed, 1 failed"
  exit 1
}

# --- Packages -------------------------------------------------------------------
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

packages=(wine wine32:i386 xvfb libgl1-mesa-dri:i386 libgl1:i386 libglx-mesa0:i386
          g++ cmake make nlohmann-json3-dev g++-mingw-w64-i686 binutils-mingw-w64-i686)
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if ((${#missing[@]})); then
  [[ $(id -u) -eq 0 ]] || die "need root to install: ${missing[*]}"
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  timeout 900 apt-get update -q >/dev/null || die "apt-get update failed"
  timeout 1800 apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null ||
    die "installing ${missing[*]} failed"
fi

# --- Builds ---------------------------------------------------------------------
mkdir -p "$work"
log "building lightvol.dll and the Windows test programs"
timeout 1800 "$root/tools/build_windows.sh" >"$work/build_windows.log" 2>&1 || {
  tail -n 40 "$work/build_windows.log" >&2
  die "tools/build_windows.sh failed (log: $work/build_windows.log)"
}
bin=$win_build/tests/wine/bin
for f in lightvol_wine_host.exe lightvol.dll d3dx9_43.dll; do
  [[ -f $bin/$f ]] || die "$bin/$f was not built (LIGHTVOL_BUILD_WINE_TESTS off?)"
done

log "building the native reference tool"
{
  timeout 600 cmake -S "$root/tests/wine/reference" -B "$work/reference" &&
    timeout 1800 cmake --build "$work/reference" -j2
} >"$work/reference_build.log" 2>&1 || {
  tail -n 40 "$work/reference_build.log" >&2
  die "building the reference tool failed (log: $work/reference_build.log)"
}

tmp=$(mktemp -d /tmp/lightvol-wine.XXXXXX)
xvfb_pid=
cleanup() {
  if [[ -n ${WINEPREFIX:-} && -d ${WINEPREFIX:-} ]]; then
    timeout 20 wineserver -k >/dev/null 2>&1 || true
  fi
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

run_dir=$tmp/run
mkdir -p "$run_dir/scenes" "$work/pictures"
cp "$bin"/lightvol_wine_host.exe "$bin"/lightvol.dll "$bin"/d3dx9_43.dll "$run_dir/"

examples=()
if compgen -G "$root/examples/*.json" >/dev/null; then examples=("$root"/examples/*.json); fi
log "drawing the reference pictures with the software device"
timeout 300 "$work/reference/lightvol_wine_reference" "$run_dir/scenes" "${examples[@]}" \
  >"$work/reference.log" 2>&1 || {
  cat "$work/reference.log" >&2
  die "the reference tool failed"
}

# The installed package, and a host built against it.
log "installing the package and building a host against it"
package_built=1
if {
  timeout 300 cmake --install "$win_build" --prefix "$tmp/install" &&
    timeout 600 cmake -S "$root/tests/wine/package" -B "$tmp/package" \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
      -DCMAKE_PREFIX_PATH="$tmp/install" -DCMAKE_BUILD_TYPE=Release &&
    timeout 600 cmake --build "$tmp/package" -j2
} >"$work/package_build.log" 2>&1; then
  package_built=0
  mkdir -p "$tmp/package_run"
  cp "$tmp/package/lightvol_linked.exe" "$tmp/install/bin/lightvol.dll" "$tmp/package_run/"
fi

# --- Xvfb and Wine ----------------------------------------------------------------
command -v Xvfb >/dev/null || die "Xvfb not found"
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$tmp/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [[ -s $tmp/display ]] && break
  kill -0 "$xvfb_pid" 2>/dev/null || die "Xvfb did not start: $(cat "$work/xvfb.log")"
  sleep 0.1
done
[[ -s $tmp/display ]] || die "Xvfb chose no display within 10 s"
export DISPLAY=:$(head -n1 "$tmp/display")

export WINEPREFIX=$tmp/prefix
export WINEDEBUG=-all
# No Mono or Gecko prompts while the prefix is made, and no debugger on a crash.
base_overrides="mscoree,mshtml=;winedbg.exe=d"
log "making a fresh Wine prefix on display $DISPLAY"
WINEDLLOVERRIDES=$base_overrides timeout 180 wineboot -i >"$work/wineboot.log" 2>&1 ||
  die "wineboot failed or timed out (log: $work/wineboot.log)"
timeout 60 wineserver -w || true

# --- Runs -----------------------------------------------------------------------
passed=0
failed=0
# run_windows <name> <dir> <overrides> <program> [args...]: runs one Windows
# program, echoes its PASS/FAIL lines and counts them; a crash, a time-out or
# a missing closing line counts as a failure.
run_windows() {
  local name=$1 dir=$2 overrides=$3
  shift 3
  local out=$work/$name.log status=0
  (cd "$dir" && WINEDLLOVERRIDES="$base_overrides;$overrides" timeout 240 wine "$@") \
    >"$out" 2>"$work/$name.stderr" || status=$?
  tr -d '\r' <"$out" | grep -E '^(PASS|FAIL|picture) ' || true
  local p f
  p=$(tr -d '\r' <"$out" | grep -c '^PASS ' || true)
  f=$(tr -d '\r' <"$out" | grep -c '^FAIL ' || true)
  passed=$((passed + p))
  failed=$((failed + f))
  if ((status != 0 && f == 0)); then
    echo "FAIL $name: exited with status $status (stderr: $work/$name.stderr)"
    failed=$((failed + 1))
  fi
}

# Every D3DX entry point lightvol.dll imports must be served by the provider.
objdump=i686-w64-mingw32-objdump
needed=$("$objdump" -p "$bin/lightvol.dll" |
  awk '/DLL Name:/ {dll = tolower($3); next} NF == 0 {dll = ""}
       dll == "d3dx9_43.dll" && NF >= 3 && $2 ~ /^[0-9]+$/ {print $3}' |
  sort -u)
served=$("$objdump" -p "$bin/d3dx9_43.dll" |
  awk '/^\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && /\[ *[0-9]+\]/ {print $NF; next} t && NF == 0 {t = 0}' |
  sort -u)
unserved=$(comm -23 <(echo "$needed") <(echo "$served"))
if [[ -n $needed && -z $unserved ]]; then
  echo "PASS effect provider exports"
  passed=$((passed + 1))
else
  echo "FAIL effect provider exports: lightvol.dll imports from d3dx9_43.dll what the provider lacks: ${unserved:-(no imports found)}"
  failed=$((failed + 1))
fi

log "running the host with the test effect provider"
run_windows provider "$run_dir" "d3dx9_43=n" lightvol_wine_host.exe provider scenes "$(winepath -w "$work/pictures" 2>/dev/null || echo pictures)"
log "running the host with Wine's own D3DX"
mkdir -p "$work/pictures-wine-d3dx"
run_windows wine-d3dx "$run_dir" "d3dx9_43=b" lightvol_wine_host.exe wine-d3dx scenes "$(winepath -w "$work/pictures-wine-d3dx" 2>/dev/null || echo pictures-wine-d3dx)"
if ((package_built == 0)); then
  run_windows package "$tmp/package_run" "d3dx9_43=b" lightvol_linked.exe
else
  tail -n 20 "$work/package_build.log"
  echo "FAIL package: installing lightvol or building against it failed (log: $work/package_build.log)"
  failed=$((failed + 1))
fi

log "logs and pictures (PPM) in $work"
echo "wine: $passed passed, $failed failed"
((failed == 0 && passed > 0))
