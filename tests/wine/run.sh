#!/usr/bin/env bash
# The Wine tier: lightvol.dll, built by MinGW, driven by Windows hosts on the
# Direct3D 9 implementations games meet on Linux, in a virtual X server:
#   wined3d on Wine 8   Debian 12's Wine, its Direct3D 9 over Mesa's OpenGL
#   DXVK on Wine 8      Debian 13's DXVK (Direct3D 9 over Vulkan, as in Proton)
#                       on Debian 12's Wine, over Mesa's lavapipe
#   wined3d on Wine 10  Debian 13's Wine in a Debian 13 root (debootstrap)
#   DXVK on Wine 10     the same with Debian 13's DXVK and lavapipe
#
#   tests/wine/run.sh
#
# What runs where is one table, tests/wine/matrix.sh: each row an
# implementation, an architecture and a mode (64-bit; 32-bit under 32-bit
# Wine; 32-bit under 64-bit Wine's WoW64 mode) with the parts it needs, each
# row run on both paths (the test effect provider, Wine's own D3DX). This
# script walks that table:
#   1. tests/wine/prepare.sh makes the parts ready, each apart: packages, DXVK,
#      Wine 8's 32-bit PE DLLs, and (in the background, during the builds) the
#      Debian 13 root
#   2. builds both DLLs and the Windows test programs (tools/build_windows.sh)
#      and calls every suite's prepare (tests/wine/suites/*.sh, see the README
#      there); starts Xvfb on a free display
#   3. for each row whose parts are all there: makes its Wine prefix once per
#      Wine and mode (in WoW64 mode, a quick probe first: a 32-bit program
#      must start and report a 32-bit process under WoW64), asks for a
#      Vulkan device before a DXVK row, proves a WoW64 row's mode (no 32-bit
#      loader in the root), and runs every suite in each of its cells through
#      tests/wine/cell_run.sh
# A row whose part cannot be had (a package the archive does not give, no
# 32-bit execution, no Vulkan device, no root rights) is "not run: <why>",
# which is not a failure; a part that failed fails the row's cells.
# Where Wine 10 runs, the kept shader bytecode (tools/shader-compile) must be
# what Wine 10's D3DCompile makes of its sources.
#
# Prints PASS/FAIL lines (prefixed by the cell), the matrix of cells (passed /
# failed / not run with the reason), whether all cells' light maps are
# byte-identical, notes (versions, what each Wine's own D3DX makes of the
# light effect), the time each part took against its budget, and
# "wine: N passed, M failed"; exits non-zero on any failure. Every wait is
# bounded.
#
# Environment:
#   LIGHTVOL_WINE_ARCHS      architectures to consider (default "x86_64 i686")
#   LIGHTVOL_WINE_ROWS       only the rows whose "IMPL ARCH MODE" matches this
#                            extended regular expression (default: all)
#   LIGHTVOL_WINE_SUITES     only these suites (names, default: all)
#   LIGHTVOL_WINE_WORK_DIR   where the reference build, pictures and logs go
#                            (default build/wine)
#   LIGHTVOL_WINE10          0: no Wine 10 cells (default 1: run them)
#   LIGHTVOL_WINE_CACHE      the machine-wide cache of the Debian 13 root and
#                            DXVK (default /var/cache/lightvol)
#   VK_ICD_FILENAMES         when set, the Vulkan ICD the DXVK cells use
#                            instead of lavapipe's (naming a missing file makes
#                            them say "not run: no Vulkan device")
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
work=${LIGHTVOL_WINE_WORK_DIR:-$root/build/wine}
wanted_archs=${LIGHTVOL_WINE_ARCHS:-x86_64 i686}
wanted_rows=${LIGHTVOL_WINE_ROWS:-}
wanted_suites=${LIGHTVOL_WINE_SUITES:-}
cache=${LIGHTVOL_WINE_CACHE:-/var/cache/lightvol}
user_icd=${VK_ICD_FILENAMES:-}
unset VK_ICD_FILENAMES VK_DRIVER_FILES
export LIGHTVOL_WINE_WORK_DIR=$work LIGHTVOL_WINE_CACHE=$cache LIGHTVOL_WINE_ARCHS=$wanted_archs

# shellcheck source=tests/wine/dxvk.sh
source "$here/dxvk.sh"
# shellcheck source=tests/wine/matrix.sh
source "$here/matrix.sh"

log() { printf 'wine tier: %s\n' "$*"; }
die() {
  printf 'wine tier: %s\n' "$*" >&2
  echo "wine: 0 passed, 1 failed"
  exit 1
}
bits() { [[ $1 == x86_64 ]] && echo 64 || echo 32; }

mkdir -p "$work"
rm -rf "$work/parts"
mkdir -p "$work/parts"
tier_start=$SECONDS

# --- Parts ----------------------------------------------------------------------
# part_state NAME: "ok", "not run: ..." or "failed: ..." (tests/wine/prepare.sh
# wrote it). part_ensure NAME first finds out, in this shell, the parts known
# only while Wine runs.
part_state() {
  if [[ -n ${matrix_never[$1]:-} ]]; then
    echo "not run: ${matrix_never[$1]}"
  else
    head -n1 "$work/parts/$1" 2>/dev/null || echo "failed: part $1 was never made ready"
  fi
}
part_ensure() {
  local name=$1
  # The root's state is written by the background job; what it gives is read
  # here once.
  [[ $name == root || $name == root-wow64 ]] && { wait_for_root; return 0; }
  [[ -n ${matrix_never[$name]:-} || -f $work/parts/$name ]] && return 0
  case $name in
    no-wine32)
      if [[ $(part_state i386-exec) == ok && $(part_state wine8-i386) == ok ]]; then
        part_set no-wine32 "not run: 32-bit Wine 8 runs here (the 32-bit, 32-bit Wine cells)"
      else
        part_set no-wine32 ok
      fi ;;
    vulkan-wine8 | vulkan-wine10) probe_vulkan "${name#vulkan-}" ;;
    wow64-wine8 | wow64-wine10) probe_wow64 "${name#wow64-}" ;;
  esac
}
part_set() { printf '%s\n' "$2" >"$work/parts/$1"; }
part_value() { cat "$work/parts/$1.value" 2>/dev/null; }

log "preparing the packages (tests/wine/prepare.sh packages)"
"$here/prepare.sh" packages
[[ $(part_state base) == ok ]] || die "the packages every cell needs: $(part_state base)"

root_pid=
log "preparing the Debian 13 root in the background (log: $work/prepare-root.log)"
"$here/prepare.sh" root >"$work/prepare-root.log" 2>&1 &
root_pid=$!

"$here/prepare.sh" dxvk
"$here/prepare.sh" wine8-wow64

# --- Builds and suites -----------------------------------------------------------
log "building lightvol.dll (i686 and x86_64) and the Windows test programs"
timeout 1800 "$root/tools/build_windows.sh" all >"$work/build_windows.log" 2>&1 || {
  tail -n 40 "$work/build_windows.log" >&2
  die "tools/build_windows.sh failed (log: $work/build_windows.log)"
}
for arch in x86_64 i686; do
  bin=$root/build/mingw-$arch/tests/wine/bin
  for f in lightvol_wine_host.exe lightvol_process_probe.exe lightvol.dll d3dx9_43.dll; do
    [[ -f $bin/$f ]] || die "$bin/$f was not built (LIGHTVOL_BUILD_WINE_TESTS off?)"
  done
done

# Under /tmp: the Debian root sees the host's /tmp (tests/wine/in_root.sh).
tmp=$(mktemp -d /tmp/lightvol-wine.XXXXXX)
xvfb_pid=
declare -A prefix_made
cleanup() {
  local p
  for p in "${!prefix_made[@]}"; do stop_wineserver "$p"; done
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  if [[ -n $root_pid ]]; then
    kill "$root_pid" 2>/dev/null || true
    wait "$root_pid" 2>/dev/null || true
  fi
  if [[ -z $(findmnt -rn -o TARGET | awk -v d="$tmp" '$0 == d || index($0, d "/") == 1') ]]; then
    rm -rf --one-file-system "$tmp"
  else
    echo "wine tier: not deleting $tmp: something is mounted inside it" >&2
  fi
}
trap cleanup EXIT

passed=0
failed=0
count_fail() { echo "FAIL $*"; failed=$((failed + 1)); }
count_pass() { echo "PASS $*"; passed=$((passed + 1)); }

# The suites: each prepared once; "not run" on exit 3.
suites=()
declare -A suite_why
for script in "$here"/suites/*.sh; do
  name=$(basename "$script" .sh)
  [[ -z $wanted_suites || " $wanted_suites " == *" $name "* ]] || continue
  out=$tmp/suite-$name
  mkdir -p "$out"
  log "preparing the suite $name"
  status=0
  (cd "$root" && timeout 3600 "$script" prepare "$out") >"$work/suite-$name.prepare.out" \
    2>"$work/suite-$name.prepare.err" || status=$?
  if ((status == 0)); then
    suites+=("$name")
  elif ((status == 3)); then
    suite_why[$name]=$(tail -n1 "$work/suite-$name.prepare.out")
    log "suite $name: ${suite_why[$name]}"
  else
    tail -n 20 "$work/suite-$name.prepare.out" "$work/suite-$name.prepare.err" | sed 's/^/  /'
    count_fail "$name: prepare failed (status $status; logs: $work/suite-$name.prepare.*)"
    suite_why[$name]="failed: prepare failed"
  fi
done
matrix_time "packages, DXVK download, builds and suites' preparation" $((SECONDS - tier_start)) 600

# --- Xvfb -------------------------------------------------------------------------
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
export WINEDEBUG=-all
export LIGHTVOL_ROOT=$root LIGHTVOL_CELL_RUN=$here/cell_run.sh

# --- Wine: the Debian root, prefixes, probes ----------------------------------------
rootfs=
root_waited=0
wait_for_root() {
  ((root_waited)) && return 0
  root_waited=1
  local started=$SECONDS
  log "waiting for the Debian 13 root (log: $work/prepare-root.log, $work/debian_root.log)"
  [[ -n $root_pid ]] && { wait "$root_pid" || true; }
  root_pid=
  matrix_time "Debian 13 root for Wine 10 (made once per machine, during the builds; the wait)" \
    $((SECONDS - started)) 900
  [[ -f $work/parts/root ]] || part_set root "failed: tests/wine/prepare.sh root ended early (log: $work/prepare-root.log)"
  [[ -f $work/parts/root-wow64 ]] || part_set root-wow64 "$(head -n1 "$work/parts/root")"
  [[ $(head -n1 "$work/parts/root") == ok ]] || return 0
  rootfs=$(part_value root)
  local v
  v=$(dpkg-query --admindir="$rootfs/var/lib/dpkg" -W -f='Wine ${Version}' wine 2>/dev/null || echo "Wine ?")
  v+=$(dpkg-query --admindir="$rootfs/var/lib/dpkg" -W -f=', DXVK ${Version}' dxvk-wine64 2>/dev/null || true)
  v+=$(dpkg-query --admindir="$rootfs/var/lib/dpkg" -W -f=', Mesa ${Version}' mesa-vulkan-drivers 2>/dev/null || true)
  matrix_note "versions in the Debian 13 root ($rootfs): $v; WoW64: $(cat "$rootfs/.lightvol-wow64" 2>/dev/null || echo "no 32-bit PE DLLs"), unpacked"
  check_kept_shaders
}

# With Wine 10's HLSL compiler at hand: every kept shader bytecode header must
# be what its sources compile to now, and the shipped sampler must read the
# registers its macros name (default and overridden).
check_kept_shaders() {
  local out=$work/shader-compile.log
  if timeout 600 "$root/tools/shader-compile/run.sh" --check --all --registers --root "$rootfs" \
    >"$out" 2>&1; then
    count_pass "kept shader bytecode is what Wine 10's D3DCompile makes of its sources ($(grep -c '^fresh ' "$out") headers); docs/sampling.hlsl reads the registers its macros name"
  else
    grep -E '^(STALE|shader-compile|FAILED)' "$out" | sed 's/^/  /' || true
    count_fail "kept shader bytecode stale or not compiled, or docs/sampling.hlsl's registers wrong (log: $out)"
  fi
}

# use_wine WINE MODE ARCH: the loader, root and prefix of that Wine and mode
# for the wrapper (cell_run.sh).
use_wine() {
  local wine=$1 mode=$2
  export LIGHTVOL_CELL_ROOTFS= LIGHTVOL_CELL_DLLPATH=
  [[ $wine == wine10 ]] && LIGHTVOL_CELL_ROOTFS=$rootfs
  [[ $wine == wine8 && $mode == wow64 ]] && LIGHTVOL_CELL_DLLPATH=$(part_value wine8-wow64)
  if [[ $mode == wine32 ]]; then
    export LIGHTVOL_CELL_LOADER=/usr/lib/wine/wine WINEARCH=win32
  else
    export LIGHTVOL_CELL_LOADER=/usr/lib/wine/wine64 WINEARCH=win64
  fi
  export WINEPREFIX=$tmp/prefix-$wine-$mode
  # Commands run in the Debian root from $tmp, which the root sees.
  in_root_cmd=()
  [[ -n $LIGHTVOL_CELL_ROOTFS ]] && in_root_cmd=("$here/in_root.sh" "$LIGHTVOL_CELL_ROOTFS")
  return 0
}
stop_wineserver() {
  local wine=${1%%|*} mode=${1#*|}
  use_wine "$wine" "$mode"
  (cd "$tmp" && timeout 20 "${in_root_cmd[@]}" /usr/lib/wine/wineserver -k) >/dev/null 2>&1 || true
}

# make_prefix WINE MODE: once per Wine and mode; "ok" or why not in prefix_made.
make_prefix() {
  local wine=$1 mode=$2 key=$1\|$2 boot=$work/$1-$2-wineboot.log
  [[ -n ${prefix_made[$key]:-} ]] && return 0
  use_wine "$wine" "$mode"
  local loader=${LIGHTVOL_CELL_ROOTFS}$LIGHTVOL_CELL_LOADER
  if [[ ! -x $loader ]]; then
    prefix_made[$key]="failed: Wine does not start: $loader is not installed"
    return 0
  fi
  log "making the ${wine/wine/Wine } prefix for $mode on display $DISPLAY (used by all its cells)"
  local env=("WINEDLLOVERRIDES=mscoree,mshtml=;winedbg.exe=d" "WINELOADER=$LIGHTVOL_CELL_LOADER")
  [[ -n $LIGHTVOL_CELL_DLLPATH ]] && env+=("WINEDLLPATH=$LIGHTVOL_CELL_DLLPATH")
  if (cd "$tmp" && timeout 180 "${in_root_cmd[@]}" env "${env[@]}" "$LIGHTVOL_CELL_LOADER" wineboot.exe -i) \
    >"$boot" 2>&1; then
    (cd "$tmp" && timeout 60 "${in_root_cmd[@]}" /usr/lib/wine/wineserver -w) || true
    prefix_made[$key]=ok
  else
    prefix_made[$key]="failed: Wine does not start: wineboot failed or timed out (log: $boot)"
  fi
}

# probe_vulkan WINE: a lavapipe device through Vulkan, asked before Wine starts.
probe_vulkan() {
  local wine=$1 icd device= in=()
  if [[ $wine == wine10 ]]; then
    [[ $(part_state root) == ok ]] || { part_set "vulkan-$wine" "$(part_state root)"; return; }
    icd=${user_icd:-$(root_icd)}
    in=("$here/in_root.sh" "$rootfs")
  else
    icd=${user_icd:-/usr/share/vulkan/icd.d/lvp_icd.x86_64.json}
  fi
  if vulkan_check device "$icd" "${in[@]}"; then
    part_set "vulkan-$wine" ok
  else
    part_set "vulkan-$wine" "not run: ${device:-no Vulkan device}"
  fi
}
root_icd() {
  local f
  for f in lvp_icd.json lvp_icd.x86_64.json; do
    [[ -f $rootfs/usr/share/vulkan/icd.d/$f ]] && { echo "/usr/share/vulkan/icd.d/$f"; return; }
  done
  echo /usr/share/vulkan/icd.d/lvp_icd.json
}

# probe_wow64 WINE: before any WoW64 cell, whether this machine runs 32-bit
# Windows code inside a 64-bit process: the prefix is made and a 32-bit
# program that imports no Direct3D asked what process it runs in, each bounded.
probe_wow64() {
  local wine=$1 out=$work/$1-wow64-probe.log status=0 said
  make_prefix "$wine" wow64
  if [[ ${prefix_made[$wine|wow64]} != ok ]]; then
    part_set "wow64-$wine" "not run: the 32-bit probe could not start: ${prefix_made[$wine|wow64]#failed: }"
    return
  fi
  mkdir -p "$tmp/wow64-probe-$wine"
  cp "$root/build/mingw-i686/tests/wine/bin/lightvol_process_probe.exe" "$tmp/wow64-probe-$wine/"
  LIGHTVOL_CELL_IMPL=$wine-wined3d LIGHTVOL_CELL_PATH=wine-d3dx LIGHTVOL_CELL_TIMEOUT=60 \
    "$here/cell_run.sh" "$tmp/wow64-probe-$wine" lightvol_process_probe.exe >"$out" 2>&1 || status=$?
  said=$(sed -n 's/^process: //p' "$out" | head -n1)
  if ((status == 0)) && [[ $said == "4-byte pointers, IsWow64Process TRUE" ]]; then
    log "WoW64 probe (${wine/wine/Wine }): a 32-bit program runs with $said"
    part_set "wow64-$wine" ok
  else
    # Once more with Wine's error messages, for the reason.
    local what err
    if ((status == 124)); then
      what="timed out after 60 s"
    elif [[ -z $said ]]; then
      what="exited with status $status without reporting its process"
    else
      what="exited with status $status"
    fi
    WINEDEBUG=err+all LIGHTVOL_CELL_IMPL=$wine-wined3d LIGHTVOL_CELL_PATH=wine-d3dx LIGHTVOL_CELL_TIMEOUT=60 \
      "$here/cell_run.sh" "$tmp/wow64-probe-$wine" lightvol_process_probe.exe >"$out.err+all" 2>&1 || true
    err=$(grep -m1 -iE ':err:.*(fail|cannot|could not)' "$out.err+all" ||
      grep -m1 -iE 'fail|cannot|could not|error' "$out.err+all" || tail -n1 "$out.err+all")
    part_set "wow64-$wine" "not run: a 32-bit program in 64-bit ${wine/wine/Wine } (WoW64) $what${said:+, reporting $said}${err:+: $err} (log: $out.err+all)"
  fi
}

# prove_wow64: a WoW64 row runs no 32-bit Linux program: no 32-bit Wine
# loader or Wine server, no 32-bit dynamic loader, no i386 package.
prove_wow64() {
  local base=${LIGHTVOL_CELL_ROOTFS:-} found=() f i386 files=(/usr/lib/wine/wine /usr/lib/wine/wine-preloader)
  # In the root nothing 32-bit at all; on this machine, no 32-bit Wine.
  [[ -n $base ]] && files+=(/usr/lib/wine/wineserver32 /lib/ld-linux.so.2 /usr/lib/ld-linux.so.2)
  for f in "${files[@]}"; do
    [[ -e $base$f ]] && found+=("$f")
  done
  if [[ -n $base ]]; then
    i386=$(dpkg-query --admindir="$base/var/lib/dpkg" -W -f='${Package}:${Architecture} ${Status}\n' 2>/dev/null |
      awk '/:i386 / && / installed$/ {print $1}' | head -n3 | tr '\n' ' ')
    [[ -n $i386 ]] && found+=("i386 packages: $i386")
  fi
  local where=${base:+the Debian 13 root}
  where=${where:-this machine}
  if ((${#found[@]})); then
    echo "FAIL: WoW64: $where holds a 32-bit Linux program or library: ${found[*]}"
  else
    if [[ -n $base ]]; then
      echo "PASS: WoW64: $LIGHTVOL_CELL_LOADER runs the 32-bit hosts; $where holds no 32-bit Wine loader, Wine server or dynamic loader and no i386 package"
    else
      echo "PASS: WoW64: $LIGHTVOL_CELL_LOADER runs the 32-bit hosts; $where has no 32-bit Wine loader"
    fi
  fi
}

# --- Cells -------------------------------------------------------------------------
declare -A first_of_arch notes_seen
cd "$tmp"

# count_lines CELL_NAME SUITE FILE: PASS/FAIL/SKIP/NOTE lines of a suite's
# output, prefixed by the cell and counted; other lines passed on indented.
count_lines() {
  local cell=$1 suite=$2 line
  while IFS= read -r line; do
    case $line in
      "PASS: "*) count_pass "$cell: $suite: ${line#PASS: }"; cell_passed=$((cell_passed + 1))
                 [[ $line == *" drew through DXVK "* ]] && cell_proof=${line##* drew through }
                 cell_proof=${cell_proof% (its own DXVK log)} ;;
      "FAIL: "*) count_fail "$cell: $suite: ${line#FAIL: }"; cell_failed=$((cell_failed + 1)) ;;
      "SKIP: "*) echo "SKIP $cell: $suite: ${line#SKIP: }" ;;
      "NOTE: "*) if [[ -z ${notes_seen[${line#NOTE: }]:-} ]]; then
                   notes_seen[${line#NOTE: }]=1
                   matrix_note "${line#NOTE: }"
                 fi ;;
      *) printf '  %s\n' "$line" ;;
    esac
  done <"$3"
}

# run_cell KEY: every suite in one cell (IMPL|ARCH|MODE|PATH).
run_cell() {
  local key=$1 impl arch mode path suite status out cell_dir
  IFS='|' read -r impl arch mode path <<<"$key"
  local cell="$impl $arch $mode $path"
  cell_passed=0
  cell_failed=0
  cell_proof=
  export LIGHTVOL_CELL_IMPL=$impl LIGHTVOL_CELL_ARCH=$arch LIGHTVOL_CELL_MODE=$mode LIGHTVOL_CELL_PATH=$path
  export LIGHTVOL_CELL_FIRST=0
  [[ -z ${first_of_arch[$arch]:-} ]] && { LIGHTVOL_CELL_FIRST=1; first_of_arch[$arch]=1; }
  export LIGHTVOL_WORK=$work/$impl/$arch-$mode/$path
  export LIGHTVOL_CELL_RECORD=$LIGHTVOL_WORK/cell_run.record
  rm -rf "$LIGHTVOL_WORK"
  mkdir -p "$LIGHTVOL_WORK"
  log "$(matrix_cell_name "$key")"
  if [[ $mode == wow64 && $path == provider ]]; then
    prove_wow64 >"$LIGHTVOL_WORK/wow64.proof"
    count_lines "$cell" wow64 "$LIGHTVOL_WORK/wow64.proof"
  fi
  for suite in "${suites[@]}"; do
    out=$LIGHTVOL_WORK/suite-$suite.out
    cell_dir=$(mktemp -d "$tmp/cell.XXXXXX")
    : >"$LIGHTVOL_CELL_RECORD"
    status=0
    (cd "$cell_dir" && timeout 1800 "$here/suites/$suite.sh" run "$tmp/suite-$suite") >"$out" \
      2>"$LIGHTVOL_WORK/suite-$suite.err" || status=$?
    local before=$cell_failed
    count_lines "$cell" "$suite" "$out"
    count_lines "$cell" "$suite" "$LIGHTVOL_CELL_RECORD"
    if ((status != 0 && cell_failed == before)); then
      tail -n 5 "$LIGHTVOL_WORK/suite-$suite.err" | sed 's/^/  /'
      count_fail "$cell: $suite: exited with status $status (stderr: $LIGHTVOL_WORK/suite-$suite.err)"
      cell_failed=$((cell_failed + 1))
    fi
    rm -rf --one-file-system "$cell_dir"
  done
  matrix_pictures_of "$key" "$LIGHTVOL_WORK/pictures"
  local detail="$cell_passed checks"
  ((cell_failed)) && detail="$cell_failed of $((cell_passed + cell_failed)) checks failed"
  [[ -n $cell_proof ]] && detail+="; $cell_proof"
  if ((cell_failed == 0 && cell_passed > 0)); then
    matrix_set "$key" passed "$detail"
  else
    matrix_set "$key" failed "$detail"
  fi
}

matrix_note "versions on this machine: $(dpkg-query -W -f='Wine ${Version}' wine 2>/dev/null || echo "no Wine"), $(dpkg-query -W -f='Mesa ${Version}' mesa-vulkan-drivers 2>/dev/null || echo "no Mesa")"
if [[ -f $work/parts/dxvk-x86_64.version ]]; then
  v=$(cat "$work/parts/dxvk-x86_64.version")
  matrix_note "DXVK on Wine 8: Debian 13's dxvk-wine64/dxvk-wine32 $v$([[ $v == "$dxvk_proven_version" ]] && echo " (the version the tier was proven with)" || echo ", which the archive serves now (the tier was proven with $dxvk_proven_version)")"
fi
for s in "${!suite_why[@]}"; do matrix_note "suite $s: ${suite_why[$s]}"; done

last_prefix=
for row in "${matrix_rows[@]}"; do
  read -r impl arch mode needs <<<"$row"
  key=$impl\|$arch\|$mode
  wine=${impl%%-*}
  if [[ " $wanted_archs " != *" $arch "* ]]; then
    matrix_set_row "$key" "not run" "LIGHTVOL_WINE_ARCHS is \"$wanted_archs\""
    continue
  fi
  if [[ -n $wanted_rows && ! "$impl $arch $mode" =~ $wanted_rows ]]; then
    matrix_set_row "$key" "not run" "LIGHTVOL_WINE_ROWS is \"$wanted_rows\""
    continue
  fi
  why=
  for need in $needs; do
    part_ensure "$need"
    state=$(part_state "$need")
    [[ $state == ok ]] || { why=$state; break; }
  done
  # The prefix, made once per Wine and mode; the Wine server of the previous
  # one is stopped first.
  if [[ -z $why ]]; then
    [[ -n $last_prefix && $last_prefix != "$wine|$mode" ]] && stop_wineserver "$last_prefix"
    make_prefix "$wine" "$mode"
    last_prefix=$wine\|$mode
    [[ ${prefix_made[$wine|$mode]} == ok ]] || why=${prefix_made[$wine|$mode]}
  fi
  if [[ -n $why ]]; then
    log "$impl $arch $mode: $why"
    if [[ $why == failed:* ]]; then
      matrix_set_row "$key" failed "${why#failed: }"
      count_fail "$impl $arch $mode: ${why#failed: }"
    else
      matrix_set_row "$key" "not run" "${why#not run: }"
    fi
    continue
  fi
  use_wine "$wine" "$mode"
  export LIGHTVOL_CELL_DXVK_D3D9= LIGHTVOL_CELL_ICD=
  if [[ $impl == *-dxvk ]]; then
    if [[ $wine == wine10 ]]; then
      LIGHTVOL_CELL_DXVK_D3D9=$rootfs/usr/lib/dxvk/wine$(bits "$arch")/d3d9.dll.so
      LIGHTVOL_CELL_ICD=${user_icd:-$(root_icd)}
    else
      LIGHTVOL_CELL_DXVK_D3D9=$(part_value "dxvk-$arch")
      LIGHTVOL_CELL_ICD=${user_icd:-/usr/share/vulkan/icd.d/lvp_icd.$([[ $mode == wine32 ]] && echo i686 || echo x86_64).json}
    fi
    if [[ ! -f $LIGHTVOL_CELL_DXVK_D3D9 ]]; then
      matrix_set_row "$key" failed "no DXVK d3d9.dll at $LIGHTVOL_CELL_DXVK_D3D9"
      count_fail "$impl $arch $mode: no DXVK d3d9.dll at $LIGHTVOL_CELL_DXVK_D3D9"
      continue
    fi
    if [[ -z $user_icd && -z $LIGHTVOL_CELL_ROOTFS && ! -f $LIGHTVOL_CELL_ICD ]]; then
      matrix_set_row "$key" "not run" "no Vulkan device (no ICD file $LIGHTVOL_CELL_ICD)"
      continue
    fi
  fi
  row_start=$SECONDS
  for path in "${matrix_paths[@]}"; do run_cell "$key|$path"; done
  matrix_time "${matrix_impl_label[$impl]}, ${matrix_mode_label[$mode]}" $((SECONDS - row_start)) 180
done
[[ -n $last_prefix ]] && stop_wineserver "$last_prefix"
# A Debian root still being made (every Wine 10 row turned off meanwhile).
[[ -n $root_pid ]] && wait "$root_pid" 2>/dev/null || true
root_pid=

log "logs and pictures (PPM) in $work/<implementation>/<architecture>-<mode>/<path>"
matrix_time "the whole Wine tier" $((SECONDS - tier_start)) 1200
matrix_print
echo "wine: $passed passed, $failed failed"
((failed == 0 && passed > 0))
