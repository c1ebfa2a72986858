#!/usr/bin/env bash
# The Wine tier: lightvol.dll, built by MinGW, driven by Windows test hosts on
# the Direct3D 9 implementations games meet on Linux, in a virtual X server,
# for each Windows architecture the machine can run:
#   wined3d on Wine 8   Debian 12's Wine, its Direct3D 9 over Mesa's OpenGL
#   DXVK on Wine 8      Debian 13's DXVK (Direct3D 9 over Vulkan, as in Proton)
#                       on Debian 12's Wine, over Mesa's lavapipe
#   wined3d on Wine 10  Debian 13's Wine in a Debian 13 root (debootstrap)
#   DXVK on Wine 10     the same with Debian 13's DXVK and lavapipe
#
#   tests/wine/run.sh
#
# First finds out what the machine can run: the 64-bit DLL always runs under
# 64-bit Wine; the 32-bit DLL runs under 32-bit Wine when the machine executes
# 32-bit programs (tests/wine/probe_i386.sh). Installs what is missing (Wine,
# Xvfb, Mesa with lavapipe, the Vulkan loader and vulkaninfo, the MinGW-w64 and
# clang/LLVM cross tools), fetches DXVK (tests/wine/dxvk.sh), makes or reuses
# the Debian 13 root (tests/wine/debian_root.sh), builds both DLLs and the
# Windows test programs (tools/build_windows.sh), draws the expected pictures
# with the software device, starts Xvfb on a free display, and makes one Wine
# prefix per Wine version and architecture, which every cell of it reuses.
#
# A cell is an implementation, an architecture and a path:
#   test effect provider  the host with the test effect provider as
#                         d3dx9_43.dll, and the MSVC-ABI host(s), built by clang
#                         and lld-link against the installed package's
#                         lightvol.lib (its build.sh checks their import tables)
#   Wine's own D3DX       the host with Wine's d3dx9_43.dll (the module draws
#                         through its built-in shaders where that D3DX cannot
#                         compile the light effect, through the effect where it
#                         can), a host built against the installed package,
#                         and the sample program examples/lit_room, whose
#                         screenshots lightvol_sample_check (tests/wine/reference)
#                         compares with a CPU ray cast of the same frames
# Where Wine 10 runs, the kept shader bytecode (tools/shader-compile) must be
# what Wine 10's D3DCompile makes of its sources.
# Every scenario the host programs run is run in every cell. DXVK cells force
# lavapipe (VK_ICD_FILENAMES, DXVK_FILTER_DEVICE_NAME), load DXVK's d3d9.dll
# with d3d9=n (no fall-back to wined3d), give each run its own DXVK_LOG_PATH and
# require that log to name DXVK's version and the llvmpipe device. Without a
# Vulkan device (asked with vulkaninfo before Wine starts) the DXVK cells say
# "not run: no Vulkan device (...)".
#
# Prints PASS/FAIL lines (prefixed by architecture and implementation), the
# matrix of cells (passed / failed / not run with the reason), whether all
# cells' light maps are byte-identical, what each Wine's own D3DX makes of the
# light effect, the time each tier took against its budget, and
# "wine: N passed, M failed"; exits non-zero on any failure. A cell the machine
# cannot run (no 32-bit execution, no Vulkan device, no root or mount rights for
# the Debian 13 root) is not a failure. Every wait is bounded.
#
# Environment:
#   LIGHTVOL_WINE_ARCHS      architectures to consider (default "x86_64 i686")
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
cache=${LIGHTVOL_WINE_CACHE:-/var/cache/lightvol}
with_wine10=${LIGHTVOL_WINE10:-1}
user_icd=${VK_ICD_FILENAMES:-}
unset VK_ICD_FILENAMES VK_DRIVER_FILES

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
wanted() { [[ " $wanted_archs " == *" $1 "* ]]; }

mkdir -p "$work"
tier_start=$SECONDS

# --- What the machine can run ---------------------------------------------------
can_run_32=1
why_not_32=
if ! wanted i686; then
  can_run_32=0
  why_not_32="LIGHTVOL_WINE_ARCHS is \"$wanted_archs\""
elif ! why_not_32=$("$here/probe_i386.sh" "$work"); then
  can_run_32=0
fi

archs=()
wanted x86_64 && archs+=(x86_64)
((can_run_32)) && archs+=(i686)
((${#archs[@]})) || die "LIGHTVOL_WINE_ARCHS (\"$wanted_archs\") names no architecture this machine runs"
log "architectures to run: ${archs[*]}${why_not_32:+ (32-bit: $why_not_32)}"
for arch in "${matrix_archs[@]}"; do
  if [[ " ${archs[*]} " != *" $arch "* ]]; then
    for impl in "${matrix_impls[@]}"; do
      matrix_not_run "$impl" "$arch" "$([[ $arch == i686 ]] && echo "$why_not_32" || echo "LIGHTVOL_WINE_ARCHS is \"$wanted_archs\"")"
    done
  fi
done

# --- Packages -------------------------------------------------------------------
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# Both DLLs are always built; only running the 32-bit one needs 32-bit Wine.
packages=(wine wine64 xvfb libgl1-mesa-dri libgl1 libglx-mesa0
          mesa-vulkan-drivers libvulkan1 vulkan-tools
          g++ cmake make nlohmann-json3-dev libpng-dev
          g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
          clang-14 lld-14 llvm-14)
((can_run_32)) && packages+=(wine32:i386 libgl1-mesa-dri:i386 libgl1:i386 libglx-mesa0:i386
                             mesa-vulkan-drivers:i386 libvulkan1:i386)
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if ((${#missing[@]})); then
  [[ $(id -u) -eq 0 ]] || die "need root to install: ${missing[*]}"
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ((can_run_32)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  # Another apt run on the machine may hold the lock for a while: wait for it.
  timeout 900 apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null || die "apt-get update failed"
  timeout 1800 apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends \
    "${missing[@]}" >/dev/null ||
    die "installing ${missing[*]} failed"
fi

# --- The Debian 13 root for Wine 10, made in the background during the builds ---
root_pid=
if [[ $with_wine10 == 0 ]]; then
  for arch in "${archs[@]}"; do
    matrix_not_run wine10-wined3d "$arch" "LIGHTVOL_WINE10=0"
    matrix_not_run wine10-dxvk "$arch" "LIGHTVOL_WINE10=0"
  done
else
  rm -f "$work/debian_root.seconds"
  (
    started=$SECONDS
    status=0
    LIGHTVOL_WINE_CACHE=$cache "$here/debian_root.sh" $( ((can_run_32)) && echo --i386) \
      >"$work/debian_root.out" 2>"$work/debian_root.log" || status=$?
    echo $((SECONDS - started)) >"$work/debian_root.seconds"
    exit $status
  ) &
  root_pid=$!
fi

# --- DXVK for Wine 8 --------------------------------------------------------------
dxvk8_error=
log "fetching Debian 13's DXVK for Wine 8 (private apt lists in $cache/apt-trixie)"
if dxvk_fetch "$cache" "${archs[@]}"; then
  dxvk8_dir=$dxvk_dir
  dxvk8_version=$dxvk_version
  log "DXVK for Wine 8: dxvk-wine64/dxvk-wine32 $dxvk8_version"
else
  dxvk8_error=$dxvk_error
  log "DXVK for Wine 8: $dxvk8_error"
fi

# --- Builds ---------------------------------------------------------------------
log "building lightvol.dll (i686 and x86_64) and the Windows test programs"
timeout 1800 "$root/tools/build_windows.sh" all >"$work/build_windows.log" 2>&1 || {
  tail -n 40 "$work/build_windows.log" >&2
  die "tools/build_windows.sh failed (log: $work/build_windows.log)"
}
for arch in "${archs[@]}"; do
  bin=$root/build/mingw-$arch/tests/wine/bin
  for f in lightvol_wine_host.exe lightvol.dll d3dx9_43.dll; do
    [[ -f $bin/$f ]] || die "$bin/$f was not built (LIGHTVOL_BUILD_WINE_TESTS off?)"
  done
  [[ -f $root/build/mingw-$arch/lit_room.exe ]] || die "$root/build/mingw-$arch/lit_room.exe was not built"
done

log "building the native reference tool"
{
  timeout 600 cmake -S "$root/tests/wine/reference" -B "$work/reference" &&
    timeout 1800 cmake --build "$work/reference" -j2
} >"$work/reference_build.log" 2>&1 || {
  tail -n 40 "$work/reference_build.log" >&2
  die "building the reference tool failed (log: $work/reference_build.log)"
}

# Under /tmp: the Debian root sees the host's /tmp (tests/wine/in_root.sh).
tmp=$(mktemp -d /tmp/lightvol-wine.XXXXXX)
xvfb_pid=
rootfs=
cleanup() {
  local prefix
  for prefix in "$tmp"/prefix-wine8-*; do
    [[ -d $prefix ]] && WINEPREFIX=$prefix timeout 20 /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  done
  for prefix in "$tmp"/prefix-wine10-*; do
    [[ -d $prefix && -n $rootfs ]] &&
      (cd "$tmp" && WINEPREFIX=$prefix timeout 20 "$here/in_root.sh" "$rootfs" /usr/lib/wine/wineserver -k) \
        >/dev/null 2>&1 || true
  done
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  if [[ -n $root_pid ]]; then
    kill "$root_pid" 2>/dev/null || true
    wait "$root_pid" 2>/dev/null || true
  fi
  # The root's mounts live in namespaces of their own; should anything be
  # mounted inside it here all the same, undo that before deleting anything.
  if [[ -n $rootfs ]]; then
    findmnt -rn -o TARGET | awk -v d="$rootfs" 'index($0, d "/") == 1' | sort -r |
      while read -r target; do umount -l "$target" || true; done
  fi
  if [[ -z $(findmnt -rn -o TARGET | awk -v d="$tmp" '$0 == d || index($0, d "/") == 1') ]]; then
    rm -rf --one-file-system "$tmp"
  else
    echo "wine tier: not deleting $tmp: something is mounted inside it" >&2
  fi
}
trap cleanup EXIT

examples=()
if compgen -G "$root/examples/*.json" >/dev/null; then examples=("$root"/examples/*.json); fi
log "drawing the reference pictures with the software device"
mkdir -p "$tmp/scenes"
timeout 300 "$work/reference/lightvol_wine_reference" "$tmp/scenes" "${examples[@]}" \
  >"$work/reference.log" 2>&1 || {
  cat "$work/reference.log" >&2
  die "the reference tool failed"
}

# For each architecture: the run directory, the installed package with a host
# built against it, and the MSVC-ABI host.
declare -A package_built msvc_built
for arch in "${archs[@]}"; do
  win_build=$root/build/mingw-$arch
  bin=$win_build/tests/wine/bin
  run_dir=$tmp/run-$arch
  mkdir -p "$run_dir" "$work/$arch"
  cp "$bin"/lightvol_wine_host.exe "$bin"/lightvol.dll "$bin"/d3dx9_43.dll "$run_dir/"
  cp "$win_build/lit_room.exe" "$run_dir/"
  cp -r "$tmp/scenes" "$run_dir/scenes"

  log "installing the $(bits "$arch")-bit package and building a host against it"
  package_built[$arch]=1
  if {
    timeout 300 cmake --install "$win_build" --prefix "$tmp/install-$arch" &&
      timeout 600 cmake -S "$root/tests/wine/package" -B "$tmp/package-$arch" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch-w64-mingw32.cmake" \
        -DCMAKE_PREFIX_PATH="$tmp/install-$arch" -DCMAKE_BUILD_TYPE=Release &&
      timeout 600 cmake --build "$tmp/package-$arch" -j2
  } >"$work/$arch/package_build.log" 2>&1; then
    package_built[$arch]=0
    mkdir -p "$tmp/package_run-$arch"
    cp "$tmp/package-$arch/lightvol_linked.exe" "$tmp/install-$arch/bin/lightvol.dll" \
      "$tmp/package_run-$arch/"
  fi

  msvc_built[$arch]=1
  if [[ -x $root/tests/wine/msvc_host/build.sh ]]; then
    log "building the $(bits "$arch")-bit MSVC-ABI host"
    if timeout 600 "$root/tests/wine/msvc_host/build.sh" "$arch" "$tmp/msvc-$arch" "$tmp/install-$arch" \
      >"$work/$arch/msvc_build.log" 2>&1; then
      msvc_built[$arch]=0
      cp "$bin"/lightvol.dll "$bin"/d3dx9_43.dll "$bin"/lightvol_msvc_helper.dll "$tmp/msvc-$arch/"
    fi
    # 32-bit only: the same host with __stdcall as its default convention
    # (MSVC's /Gz); the header's __cdecl keeps the factory and callback right.
    if [[ $arch == i686 && ${msvc_built[$arch]} == 0 ]]; then
      LIGHTVOL_MSVC_HOST_FLAGS=-mrtd LIGHTVOL_MSVC_HOST_NAME=lightvol_msvc_host_stdcall \
        timeout 600 "$root/tests/wine/msvc_host/build.sh" "$arch" "$tmp/msvc-$arch" "$tmp/install-$arch" \
        >>"$work/$arch/msvc_build.log" 2>&1 || msvc_built[$arch]=1
    fi
  fi
done
matrix_time "packages, DXVK download and builds" $((SECONDS - tier_start)) 600

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
# No Mono or Gecko prompts while the prefix is made, and no debugger on a crash.
base_overrides="mscoree,mshtml=;winedbg.exe=d"

# --- Cells ------------------------------------------------------------------------
# Every Wine process runs with the temporary directory as its working directory
# (the Debian root sees it at the same path).
cd "$tmp"
passed=0
failed=0
arch=
impl=
label=
# The current cell: its Wine (wine_cmd runs a Windows program, wineserver_cmd
# the Wine server), extra environment, whether it is a DXVK cell, its counts.
wine_cmd=()
wineserver_cmd=()
cell_env=()
cell_dxvk=0
cell_passed=0
cell_failed=0
cell_work=
cell_dxvk_proof=

# run_windows <name> <dir> <overrides> <program> [args...]: runs one Windows
# program in the current cell, echoes its PASS/FAIL lines and counts them; a
# crash, a time-out or a missing closing line counts as a failure. In a DXVK
# cell the run gets its own DXVK log, which must show DXVK on lavapipe, unless
# the program makes no Direct3D device (no_device=1 before the call).
run_windows() {
  local name=$1 dir=$2 overrides=$3
  shift 3
  local out=$cell_work/$name.log status=0 env=("${cell_env[@]}") dxvk_logs=
  if ((cell_dxvk)); then
    dxvk_logs=$tmp/dxvk-logs/$impl-$arch-$name
    rm -rf "$dxvk_logs"
    mkdir -p "$dxvk_logs"
    env+=("DXVK_LOG_PATH=$dxvk_logs" DXVK_LOG_LEVEL=info)
    # Native only: a d3d9.dll that fails to load must not fall back to wined3d.
    overrides+=";d3d9=n"
  fi
  (cd "$dir" && env "${env[@]}" WINEDLLOVERRIDES="$base_overrides;$overrides" \
    timeout 240 "${wine_cmd[@]}" "$@") >"$out" 2>"$cell_work/$name.stderr" || status=$?
  tr -d '\r' <"$out" | grep -E '^(PASS|FAIL|picture) ' |
    sed -E "s/^(PASS|FAIL|picture) /\1 $arch $impl${label:+ $label}: /" || true
  local p f
  p=$(tr -d '\r' <"$out" | grep -c '^PASS ' || true)
  f=$(tr -d '\r' <"$out" | grep -c '^FAIL ' || true)
  cell_passed=$((cell_passed + p))
  cell_failed=$((cell_failed + f))
  if ((status != 0 && f == 0)); then
    fail "$name: exited with status $status (stderr: $cell_work/$name.stderr)"
  fi
  if ((cell_dxvk)) && [[ -z ${no_device:-} ]]; then
    local proof
    cp "$dxvk_logs"/*.log "$cell_work/" 2>/dev/null || true
    if dxvk_log_check proof "$dxvk_logs"; then
      pass "$name drew through $proof (its own DXVK log)"
      cell_dxvk_proof=$proof
    else
      fail "$name: not DXVK on lavapipe: $proof"
    fi
  fi
}
pass() { echo "PASS $arch $impl: $*"; cell_passed=$((cell_passed + 1)); }
fail() { echo "FAIL $arch $impl: $*"; cell_failed=$((cell_failed + 1)); }
# A Windows path for a directory under /tmp: Wine's Z: drive is /.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# A cell that could not start counts as one failure.
fail_cells() {
  local path
  for path in "${matrix_paths[@]}"; do
    matrix_set "$impl" "$arch" "$path" failed "$1"
  done
  echo "FAIL $arch $impl: $1"
  failed=$((failed + 1))
}

# Every D3DX entry point lightvol.dll imports must be served by the provider.
check_provider_exports() {
  local bin=$root/build/mingw-$arch/tests/wine/bin objdump=$arch-w64-mingw32-objdump needed served unserved
  needed=$("$objdump" -p "$bin/lightvol.dll" |
    awk '/DLL Name:/ {dll = tolower($3); next} NF == 0 {dll = ""}
         dll == "d3dx9_43.dll" && NF >= 3 && $2 ~ /^[0-9]+$/ {print $3}' |
    sort -u)
  served=$("$objdump" -p "$bin/d3dx9_43.dll" |
    awk '/^\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && /\[ *[0-9]+\]/ {print $NF; next} t && NF == 0 {t = 0}' |
    sort -u)
  unserved=$(comm -23 <(echo "$needed") <(echo "$served"))
  if [[ -n $needed && -z $unserved ]]; then
    pass "effect provider exports"
  else
    fail "effect provider exports: lightvol.dll imports from d3dx9_43.dll what the provider lacks: ${unserved:-(no imports found)}"
  fi
}

# run_lit_room <dir>: the sample program examples/lit_room, as a game runs it
# (lightvol.dll beside it, Wine's own D3DX), for the frames and screenshots
# of its scene.h (kFrameCount, kShotFrames); its PNGs go to $cell_work/screens.
lit_room_frames=72
lit_room_shots=30,70
run_lit_room() {
  local dir=$1 before=$cell_failed said shot missing=
  rm -rf "$dir/screens"
  mkdir -p "$dir/screens" "$cell_work/screens"
  run_windows lit_room "$dir" "d3dx9_43=b" lit_room.exe --frames "$lit_room_frames" \
    --shots "$lit_room_shots" --out screens
  cp "$dir"/screens/*.png "$cell_work/screens/" 2>/dev/null || true
  if ((cell_failed != before)); then
    tr -d '\r' <"$cell_work/lit_room.stderr" | grep -m3 '^lit_room:' | sed 's/^/  /' || true
    return 0
  fi
  said=$(tr -d '\r' <"$cell_work/lit_room.log" | grep -m1 '^lit_room ran ' || true)
  for shot in ${lit_room_shots//,/ }; do
    [[ -s $cell_work/screens/lit_room_$shot.png ]] || missing+=" lit_room_$shot.png"
  done
  if [[ -n $said && -z $missing ]]; then
    pass "$said"
  else
    fail "lit_room: ${said:-no report}${missing:+; missing$missing} (stderr: $cell_work/lit_room.stderr)"
    return 0
  fi
  # Each screenshot against a CPU ray cast of its frame (the expected picture
  # and the differences land beside it).
  local line results=0
  while read -r line; do
    case $line in
      "PASS "*) pass "${line#PASS }"; results=$((results + 1)) ;;
      "FAIL "*) fail "${line#FAIL }"; results=$((results + 1)) ;;
    esac
  done < <(timeout 120 "$work/reference/lightvol_sample_check" "$cell_work/screens" "$cell_work/screens" \
    2>"$cell_work/sample_check.stderr" || true)
  ((results)) || fail "lightvol_sample_check gave no result (stderr: $cell_work/sample_check.stderr)"
}

# run_cell <path> <cell dir>: every host of one path in the current
# implementation and architecture.
declare -A d3dx_said
run_cell() {
  local path=$1 dir=$2 pictures
  cell_passed=0
  cell_failed=0
  cell_dxvk_proof=
  cell_work=$work/$impl/$arch/$path
  rm -rf "$cell_work"
  mkdir -p "$cell_work"
  pictures=$dir/pictures-$path
  mkdir -p "$pictures"
  if [[ $path == provider ]]; then
    log "$arch ${matrix_impl_label[$impl]}: the host with the test effect provider"
    [[ $impl == wine8-wined3d ]] && check_provider_exports
    run_windows provider "$dir/run" "d3dx9_43=n" lightvol_wine_host.exe provider scenes \
      "$(windows_path "$pictures")"
    if [[ -x $root/tests/wine/msvc_host/build.sh ]]; then
      if ((msvc_built[$arch] == 0)); then
        # The import-table checks build.sh made of the linked hosts, counted once.
        if [[ $impl == wine8-wined3d ]]; then
          while read -r line; do
            case $line in
              "PASS "*) pass "${line#PASS }" ;;
              "FAIL "*) fail "${line#FAIL }" ;;
            esac
          done < <(grep -E '^(PASS|FAIL) ' "$work/$arch/msvc_build.log" || true)
        fi
        run_windows msvc-host "$dir/msvc" "d3dx9_43=n" lightvol_msvc_host.exe
        if [[ $arch == i686 ]]; then
          label="stdcall default" run_windows msvc-host-stdcall "$dir/msvc" "d3dx9_43=n" \
            lightvol_msvc_host_stdcall.exe
        fi
      else
        tail -n 20 "$work/$arch/msvc_build.log"
        fail "msvc host: building it failed (log: $work/$arch/msvc_build.log)"
      fi
    fi
  else
    log "$arch ${matrix_impl_label[$impl]}: the host with Wine's own D3DX"
    run_windows wine-d3dx "$dir/run" "d3dx9_43=b" lightvol_wine_host.exe wine-d3dx scenes \
      "$(windows_path "$pictures")"
    run_lit_room "$dir/run"
    # What this Wine's D3DX makes of the light effect. Where it compiles it,
    # the module draws through the effect and this path's pictures check that.
    local said wine=${impl%%-*}
    said=$(tr -d '\r' <"$cell_work/wine-d3dx.log" | sed -n 's/^wine d3dx: //p' | head -n1)
    if [[ -n $said && -z ${d3dx_said[$wine-$arch]:-} ]]; then
      d3dx_said[$wine-$arch]=1
      if [[ $said == compiles* ]]; then
        matrix_note "${wine/wine/Wine }'s own D3DX ($(bits "$arch")-bit) compiles the light effect: lightvol draws through the effect on that path, whose pictures were checked"
      else
        matrix_note "${wine/wine/Wine }'s own D3DX ($(bits "$arch")-bit) $said"
      fi
    fi
    if ((package_built[$arch] == 0)); then
      no_device=1 run_windows package "$dir/package" "d3dx9_43=b" lightvol_linked.exe
    else
      tail -n 20 "$work/$arch/package_build.log"
      fail "package: installing lightvol or building against it failed (log: $work/$arch/package_build.log)"
    fi
  fi
  mkdir -p "$cell_work/pictures"
  cp "$pictures"/*.ppm "$cell_work/pictures/" 2>/dev/null || true
  matrix_pictures_of "$impl" "$arch" "$path" "$cell_work/pictures"
  local detail="$cell_passed checks"
  ((cell_failed)) && detail="$cell_failed of $((cell_passed + cell_failed)) checks failed"
  [[ -n $cell_dxvk_proof ]] && detail+="; $cell_dxvk_proof"
  if ((cell_failed == 0 && cell_passed > 0)); then
    matrix_set "$impl" "$arch" "$path" passed "$detail"
  else
    matrix_set "$impl" "$arch" "$path" failed "$detail"
  fi
  passed=$((passed + cell_passed))
  failed=$((failed + cell_failed))
}

# Copies of the hosts' directories for one cell; a DXVK cell gets DXVK's d3d9.dll
# beside every host.
make_cell_dir() {
  local dir=$1 d3d9=${2:-} sub
  rm -rf "$dir"
  mkdir -p "$dir"
  cp -r "$tmp/run-$arch" "$dir/run"
  [[ -d $tmp/package_run-$arch ]] && cp -r "$tmp/package_run-$arch" "$dir/package"
  [[ -d $tmp/msvc-$arch ]] && cp -r "$tmp/msvc-$arch" "$dir/msvc"
  if [[ -n $d3d9 ]]; then
    for sub in run package msvc; do
      [[ -d $dir/$sub ]] && cp "$d3d9" "$dir/$sub/d3d9.dll"
    done
  fi
  return 0
}

# With Wine 10's HLSL compiler at hand: every kept shader bytecode header must
# be what its sources compile to now, and the shipped sampler must read the
# registers its macros name (default and overridden).
check_kept_shaders() {
  local out=$work/shader-compile.log
  if LIGHTVOL_WINE_CACHE=$cache timeout 600 "$root/tools/shader-compile/run.sh" --check --all \
    --registers --root "$rootfs" >"$out" 2>&1; then
    echo "PASS kept shader bytecode is what Wine 10's D3DCompile makes of its sources ($(grep -c '^fresh ' "$out") headers); docs/sampling.hlsl reads the registers its macros name"
    passed=$((passed + 1))
  else
    grep -E '^(STALE|shader-compile|FAILED)' "$out" | sed 's/^/  /' || true
    echo "FAIL kept shader bytecode stale or not compiled, or docs/sampling.hlsl's registers wrong (log: $out)"
    failed=$((failed + 1))
  fi
}

# The Debian 13 root, once the background job that makes it has finished.
wine10_not_run=
wine10_error=
root_checked=0
wait_for_root() {
  ((root_checked)) && return 0
  root_checked=1
  local status=0 seconds
  log "waiting for the Debian 13 root (made in the background; log: $work/debian_root.log)"
  wait "$root_pid" || status=$?
  root_pid=
  seconds=$(cat "$work/debian_root.seconds" 2>/dev/null || echo 0)
  matrix_time "Debian 13 root for Wine 10 (made once per machine, during the builds)" "$seconds" 900
  if ((status == 0)); then
    rootfs=$(tail -n1 "$work/debian_root.out")
    local v
    v=$(chroot "$rootfs" dpkg-query -W -f='Wine ${Version}' wine 2>/dev/null || echo "Wine ?")
    v+=$(chroot "$rootfs" dpkg-query -W -f=', DXVK ${Version}' dxvk-wine64 2>/dev/null || true)
    v+=$(chroot "$rootfs" dpkg-query -W -f=', Mesa ${Version}' mesa-vulkan-drivers 2>/dev/null || true)
    matrix_note "versions in the Debian 13 root ($rootfs): $v"
    check_kept_shaders
  elif ((status == 3)); then
    wine10_not_run=$(tail -n1 "$work/debian_root.out")
  else
    wine10_error="making the Debian 13 root failed: $(tail -n1 "$work/debian_root.log" 2>/dev/null)"
  fi
}

matrix_note "versions on this machine: $(dpkg-query -W -f='Wine ${Version}' wine 2>/dev/null), $(dpkg-query -W -f='Mesa ${Version}' mesa-vulkan-drivers 2>/dev/null)"
if [[ -n ${dxvk8_version:-} ]]; then
  if [[ $dxvk8_version == "$dxvk_proven_version" ]]; then
    matrix_note "DXVK on Wine 8: Debian 13's dxvk-wine64/dxvk-wine32 $dxvk8_version (the version the tier was proven with)"
  else
    matrix_note "DXVK on Wine 8: Debian 13's dxvk-wine64/dxvk-wine32 $dxvk8_version, which the archive serves now (the tier was proven with $dxvk_proven_version)"
  fi
fi

declare -A vulkan_result
for arch in "${archs[@]}"; do
  for wine in wine8 wine10; do
    wine_start=$SECONDS
    impl=$wine-wined3d
    if [[ $wine == wine10 ]]; then
      [[ $with_wine10 == 0 ]] && continue
      wait_for_root
      if [[ -n $wine10_not_run ]]; then
        matrix_not_run wine10-wined3d "$arch" "$wine10_not_run"
        matrix_not_run wine10-dxvk "$arch" "$wine10_not_run"
        continue
      fi
      if [[ -n $wine10_error ]]; then
        impl=wine10-wined3d fail_cells "$wine10_error"
        impl=wine10-dxvk fail_cells "$wine10_error"
        continue
      fi
      in_root=("$here/in_root.sh" "$rootfs")
      icd=/usr/share/vulkan/icd.d/lvp_icd.json
      icd_64=$icd
      dxvk_d3d9=$rootfs/usr/lib/dxvk/wine$(bits "$arch")/d3d9.dll.so
      dxvk_missing="the Debian 13 root has no $dxvk_d3d9"
    else
      in_root=()
      icd=/usr/share/vulkan/icd.d/lvp_icd.$arch.json
      icd_64=/usr/share/vulkan/icd.d/lvp_icd.x86_64.json
      dxvk_d3d9=${dxvk8_dir:-}/wine$(bits "$arch")/d3d9.dll
      dxvk_missing=${dxvk8_error:-no DXVK d3d9.dll for $(bits "$arch")-bit}
    fi
    if [[ $arch == x86_64 ]]; then
      wine_loader=/usr/lib/wine/wine64
      export WINEARCH=win64
    else
      wine_loader=/usr/lib/wine/wine
      export WINEARCH=win32
    fi
    # The loader of the architecture called directly: /usr/bin/wine prefers the
    # 32-bit loader whenever it is installed.
    wine_cmd=("${in_root[@]}" env "WINELOADER=$wine_loader" "$wine_loader")
    wineserver_cmd=("${in_root[@]}" /usr/lib/wine/wineserver)
    export WINEPREFIX=$tmp/prefix-$wine-$arch
    cell_env=()
    cell_dxvk=0

    log "making the $(bits "$arch")-bit ${wine/wine/Wine } prefix on display $DISPLAY (used by all its cells)"
    if [[ -z ${in_root[*]} && ! -x $wine_loader ]] || [[ -n ${in_root[*]} && ! -x $rootfs$wine_loader ]]; then
      impl=$wine-wined3d fail_cells "Wine does not start: $wine_loader is not installed"
      impl=$wine-dxvk fail_cells "Wine does not start: $wine_loader is not installed"
      continue
    fi
    if ! WINEDLLOVERRIDES=$base_overrides timeout 180 "${wine_cmd[@]}" wineboot.exe -i \
      >"$work/$arch-$wine-wineboot.log" 2>&1; then
      impl=$wine-wined3d fail_cells "Wine does not start: wineboot failed or timed out (log: $work/$arch-$wine-wineboot.log)"
      impl=$wine-dxvk fail_cells "Wine does not start: wineboot failed or timed out (log: $work/$arch-$wine-wineboot.log)"
      continue
    fi
    timeout 60 "${wineserver_cmd[@]}" -w || true

    # wined3d: Wine's own d3d9.dll.
    impl=$wine-wined3d
    make_cell_dir "$tmp/cells/$impl-$arch"
    for path in "${matrix_paths[@]}"; do run_cell "$path" "$tmp/cells/$impl-$arch"; done
    matrix_time "$impl" $((SECONDS - wine_start)) $((${#archs[@]} * 150))

    # DXVK on lavapipe, where a Vulkan device exists.
    impl=$wine-dxvk
    dxvk_start=$SECONDS
    vulkan_icd=${user_icd:-$icd}
    if [[ ! -f $dxvk_d3d9 ]]; then
      fail_cells "$dxvk_missing"
    else
      if [[ -z ${vulkan_result[$wine]:-} ]]; then
        vk_device=
        if vulkan_check vk_device "${user_icd:-$icd_64}" "${in_root[@]}"; then
          vulkan_result[$wine]="ok:$vk_device"
        else
          vulkan_result[$wine]="no:${vk_device:-no Vulkan device}"
        fi
      fi
      why=
      if [[ ${vulkan_result[$wine]} == no:* ]]; then
        why=${vulkan_result[$wine]#no:}
      elif [[ -z $user_icd && -z ${in_root[*]} && ! -f $icd ]]; then
        why="no Vulkan device (no ICD file $icd for $(bits "$arch")-bit)"
      fi
      if [[ -n $why ]]; then
        log "$arch ${matrix_impl_label[$impl]}: not run: $why"
        matrix_not_run "$impl" "$arch" "$why"
      else
        cell_dxvk=1
        cell_env=("VK_ICD_FILENAMES=$vulkan_icd" "DXVK_FILTER_DEVICE_NAME=$dxvk_device_name"
                  DXVK_STATE_CACHE=0)
        make_cell_dir "$tmp/cells/$impl-$arch" "$dxvk_d3d9"
        for path in "${matrix_paths[@]}"; do run_cell "$path" "$tmp/cells/$impl-$arch"; done
      fi
    fi
    matrix_time "$impl" $((SECONDS - dxvk_start)) $((${#archs[@]} * 150))
    cell_env=()
    cell_dxvk=0
    timeout 20 "${wineserver_cmd[@]}" -k >/dev/null 2>&1 || true
  done
done
# A Debian root still being made (every Wine 10 cell turned off meanwhile).
[[ -n $root_pid ]] && wait "$root_pid" 2>/dev/null || true
root_pid=

log "logs and pictures (PPM) in $work/<implementation>/<architecture>/<path>"
matrix_time "the whole Wine tier" $((SECONDS - tier_start)) 1200
matrix_print
echo "wine: $passed passed, $failed failed"
((failed == 0 && passed > 0))
