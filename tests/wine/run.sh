#!/usr/bin/env bash
# The Wine tier: lightvol.dll, built by MinGW, driven by Windows test hosts on
# Wine's Direct3D 9 (wined3d over Mesa's software OpenGL) in a virtual X server,
# for each Windows architecture the machine can run.
#
#   tests/wine/run.sh
#
# First finds out what the machine can run: the 64-bit DLL always runs under
# 64-bit Wine (wine64); the 32-bit DLL runs under 32-bit Wine (wine32:i386)
# when the machine executes 32-bit programs, which a tiny static i386 program
# tells. Installs what is missing for those (Wine, Xvfb, Mesa, the MinGW-w64
# and clang/LLVM cross tools), builds both DLLs and the Windows test programs
# (tools/build_windows.sh), builds the native reference tool and draws the
# expected pictures with the software device, starts Xvfb on a free display,
# and for each architecture makes a fresh Wine prefix in a temporary directory
# and runs:
#   - the host with the test effect provider as d3dx9_43.dll,
#   - the host with Wine's own d3dx9_43.dll, which cannot compile the light
#     effect, so the module draws through its built-in shaders,
#   - a host built against the installed lightvol package,
#   - the MSVC-ABI host (tests/wine/msvc_host), built by clang and lld-link
#     against the installed package's lightvol.lib, with the checks of its
#     import table that its build.sh makes.
# Prints PASS/FAIL lines (prefixed by the architecture), one line per
# architecture saying whether it ran (and why not), and
# "wine: N passed, M failed"; exits non-zero on any failure. A machine that
# cannot execute 32-bit programs is not a failure. Every wait is bounded.
#
# Environment:
#   LIGHTVOL_WINE_ARCHS      architectures to consider (default "x86_64 i686")
#   LIGHTVOL_WINE_WORK_DIR   where the reference build, pictures and logs go
#                            (default build/wine)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=${LIGHTVOL_WINE_WORK_DIR:-$root/build/wine}
wanted_archs=${LIGHTVOL_WINE_ARCHS:-x86_64 i686}

log() { printf 'wine tier: %s\n' "$*"; }
die() {
  printf 'wine tier: %s\n' "$*" >&2
  echo "wine: 0 passed, 1 failed"
  exit 1
}

bits() { [[ $1 == x86_64 ]] && echo 64 || echo 32; }
wanted() { [[ " $wanted_archs " == *" $1 "* ]]; }

mkdir -p "$work"

# --- What the machine can run ---------------------------------------------------
# A static i386 program of 84 bytes that does exit(42) through int 0x80: it
# needs no loader or library, so it either runs at once or the kernel refuses it.
can_run_32=1
why_not_32=
probe_32() {
  local probe=$work/probe-i386 out status=0
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  # Through bash's exec: a program that calls execvp (timeout does) hands a file
  # the kernel refuses with ENOEXEC to /bin/sh, which hides the reason.
  out=$(timeout 5 bash -c 'exec "$0"' "$probe" 2>&1) || status=$?
  rm -f "$probe"
  if ((status == 42)); then
    # A binfmt_misc handler for i386 ELF files (qemu-user) also runs the probe,
    # but 32-bit Wine does not start under such emulation.
    local handler
    for handler in /proc/sys/fs/binfmt_misc/*; do
      [[ -f $handler && $(head -n1 "$handler" 2>/dev/null) == enabled ]] || continue
      if grep -q '^magic 7f454c4601010100000000000000000002000300' "$handler" 2>/dev/null; then
        why_not_32="this machine runs 32-bit programs only through emulation (binfmt_misc: ${handler##*/})"
        return 1
      fi
    done
    return 0
  fi
  if [[ $out == *"Exec format error"* ]]; then
    why_not_32="this machine cannot execute 32-bit programs (Exec format error)"
  elif ((status == 124)); then
    why_not_32="this machine cannot execute 32-bit programs (a 5-second probe did not finish)"
  else
    why_not_32="this machine cannot execute 32-bit programs (the probe exited with status $status${out:+: ${out//$'\n'/ }})"
  fi
  return 1
}
if ! wanted i686; then
  can_run_32=0
  why_not_32="LIGHTVOL_WINE_ARCHS is \"$wanted_archs\""
elif ! probe_32; then
  can_run_32=0
fi

archs=()
wanted x86_64 && archs+=(x86_64)
((can_run_32)) && archs+=(i686)
((${#archs[@]})) || die "LIGHTVOL_WINE_ARCHS (\"$wanted_archs\") names no architecture this machine runs"
log "architectures to run: ${archs[*]}${why_not_32:+ (32-bit: $why_not_32)}"

# --- Packages -------------------------------------------------------------------
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# Both DLLs are always built; only running the 32-bit one needs 32-bit Wine.
packages=(wine wine64 xvfb libgl1-mesa-dri libgl1 libglx-mesa0
          g++ cmake make nlohmann-json3-dev
          g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
          clang-14 lld-14 llvm-14)
((can_run_32)) && packages+=(wine32:i386 libgl1-mesa-dri:i386 libgl1:i386 libglx-mesa0:i386)
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
  local prefix
  for prefix in "$tmp"/prefix-*; do
    [[ -d $prefix ]] && WINEPREFIX=$prefix timeout 20 /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  done
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
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
  rm -rf "$work/$arch/pictures"
  mkdir -p "$run_dir" "$work/$arch/pictures"
  cp "$bin"/lightvol_wine_host.exe "$bin"/lightvol.dll "$bin"/d3dx9_43.dll "$run_dir/"
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

# --- Runs -----------------------------------------------------------------------
passed=0
failed=0
arch=
# The Wine loader of the current architecture, called directly: /usr/bin/wine
# prefers the 32-bit loader whenever it is installed.
wine_cmd=()

# run_windows <name> <dir> <overrides> <program> [args...]: runs one Windows
# program of the current architecture, echoes its PASS/FAIL lines and counts
# them; a crash, a time-out or a missing closing line counts as a failure.
run_windows() {
  local name=$1 dir=$2 overrides=$3
  shift 3
  local out=$work/$arch/$name.log status=0
  (cd "$dir" && WINEDLLOVERRIDES="$base_overrides;$overrides" timeout 240 "${wine_cmd[@]}" "$@") \
    >"$out" 2>"$work/$arch/$name.stderr" || status=$?
  tr -d '\r' <"$out" | grep -E '^(PASS|FAIL|picture) ' | sed -E "s/^(PASS|FAIL|picture) /\1 $arch${label:+ $label}: /" || true
  local p f
  p=$(tr -d '\r' <"$out" | grep -c '^PASS ' || true)
  f=$(tr -d '\r' <"$out" | grep -c '^FAIL ' || true)
  arch_passed=$((arch_passed + p))
  arch_failed=$((arch_failed + f))
  if ((status != 0 && f == 0)); then
    echo "FAIL $arch: $name: exited with status $status (stderr: $work/$arch/$name.stderr)"
    arch_failed=$((arch_failed + 1))
  fi
}
pass() { echo "PASS $arch: $*"; arch_passed=$((arch_passed + 1)); }
fail() { echo "FAIL $arch: $*"; arch_failed=$((arch_failed + 1)); }

declare -A status_line
for arch in "${archs[@]}"; do
  arch_passed=0
  arch_failed=0
  win_build=$root/build/mingw-$arch
  bin=$win_build/tests/wine/bin
  run_dir=$tmp/run-$arch
  objdump=$arch-w64-mingw32-objdump
  if [[ $arch == x86_64 ]]; then
    wine_loader=/usr/lib/wine/wine64
    export WINEARCH=win64
  else
    wine_loader=/usr/lib/wine/wine
    export WINEARCH=win32
  fi
  wine_cmd=(env "WINELOADER=$wine_loader" "$wine_loader")
  export WINEPREFIX=$tmp/prefix-$arch

  log "making a fresh $(bits "$arch")-bit Wine prefix on display $DISPLAY"
  if [[ ! -x $wine_loader ]]; then
    fail "Wine does not start: $wine_loader is not installed"
    status_line[$arch]="wine $(bits "$arch")-bit: failed: Wine does not start"
  elif ! WINEDLLOVERRIDES=$base_overrides timeout 180 "${wine_cmd[@]}" wineboot.exe -i \
    >"$work/$arch/wineboot.log" 2>&1; then
    fail "Wine does not start: wineboot failed or timed out (log: $work/$arch/wineboot.log)"
    status_line[$arch]="wine $(bits "$arch")-bit: failed: Wine does not start"
  else
    timeout 60 /usr/lib/wine/wineserver -w || true

    # Every D3DX entry point lightvol.dll imports must be served by the provider.
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

    log "running the $(bits "$arch")-bit host with the test effect provider"
    run_windows provider "$run_dir" "d3dx9_43=n" lightvol_wine_host.exe provider scenes \
      "$(timeout 60 "${wine_cmd[@]}" winepath.exe -w "$work/$arch/pictures" 2>/dev/null | tr -d '\r' || echo pictures)"
    log "running the $(bits "$arch")-bit host with Wine's own D3DX"
    mkdir -p "$work/$arch/pictures-wine-d3dx"
    run_windows wine-d3dx "$run_dir" "d3dx9_43=b" lightvol_wine_host.exe wine-d3dx scenes \
      "$(timeout 60 "${wine_cmd[@]}" winepath.exe -w "$work/$arch/pictures-wine-d3dx" 2>/dev/null | tr -d '\r' || echo pictures-wine-d3dx)"
    if ((package_built[$arch] == 0)); then
      run_windows package "$tmp/package_run-$arch" "d3dx9_43=b" lightvol_linked.exe
    else
      tail -n 20 "$work/$arch/package_build.log"
      fail "package: installing lightvol or building against it failed (log: $work/$arch/package_build.log)"
    fi
    if [[ -x $root/tests/wine/msvc_host/build.sh ]]; then
      if ((msvc_built[$arch] == 0)); then
        # The import-table checks build.sh made of the linked hosts.
        while read -r line; do
          case $line in
            "PASS "*) pass "${line#PASS }" ;;
            "FAIL "*) fail "${line#FAIL }" ;;
          esac
        done < <(grep -E '^(PASS|FAIL) ' "$work/$arch/msvc_build.log" || true)
        log "running the $(bits "$arch")-bit MSVC-ABI host"
        run_windows msvc-host "$tmp/msvc-$arch" "d3dx9_43=n" lightvol_msvc_host.exe
        if [[ $arch == i686 ]]; then
          label="stdcall default" run_windows msvc-host-stdcall "$tmp/msvc-$arch" "d3dx9_43=n" \
            lightvol_msvc_host_stdcall.exe
        fi
      else
        tail -n 20 "$work/$arch/msvc_build.log"
        fail "msvc host: building it failed (log: $work/$arch/msvc_build.log)"
      fi
    fi
    timeout 20 /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  fi
  : "${status_line[$arch]:=wine $(bits "$arch")-bit: ran: $arch_passed passed, $arch_failed failed}"
  passed=$((passed + arch_passed))
  failed=$((failed + arch_failed))
done

log "logs and pictures (PPM) in $work/<architecture>"
# Both architectures draw with the same float rule: say whether their light
# maps came out the same (each was already compared with the reference).
if [[ ${status_line[i686]:-} == *": ran: "* && ${status_line[x86_64]:-} == *": ran: "* ]]; then
  same=0
  differ=()
  for picture in "$work"/x86_64/pictures/*.wine.ppm; do
    [[ -f $picture ]] || continue
    if cmp -s "$picture" "$work/i686/pictures/${picture##*/}"; then
      same=$((same + 1))
    else
      differ+=("${picture##*/}")
    fi
  done
  if ((${#differ[@]})); then
    log "light maps that differ between the architectures: ${differ[*]%.wine.ppm}"
  else
    log "the $same light maps of both architectures are byte for byte the same"
  fi
fi
if wanted x86_64; then
  echo "${status_line[x86_64]}"
else
  echo "wine 64-bit: not run: LIGHTVOL_WINE_ARCHS is \"$wanted_archs\""
fi
if ((can_run_32)); then
  echo "${status_line[i686]}"
else
  echo "wine 32-bit: not run: $why_not_32"
fi
echo "wine: $passed passed, $failed failed"
((failed == 0 && passed > 0))
