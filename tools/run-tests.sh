#!/usr/bin/env bash
# Every test of the project, as CI runs it. Installs what it needs from Debian
# packages when missing. Stages:
#   native     the native suite (module, software device, tools, a check that
#              the benchmarks' two frames still agree, and the integration
#              guide's code built by MinGW-w64) through CTest, and the batch
#              planner's check built for a 32-bit target (tests/m32)
#   sanitize   the native suite again under AddressSanitizer + UBSan (leaks on)
#   windows    lightvol.dll cross-built with MinGW-w64 for i686 and x86_64,
#              export/import tables checked
#   fuzz       a bounded libFuzzer run over interface call sequences
#   wine       the real DLLs on wined3d and DXVK, on Wine 8 and on Wine 10 in a
#              Debian 13 root: 64-bit, and 32-bit in Wine's WoW64 mode (and
#              under 32-bit Wine 8 where the machine executes 32-bit programs);
#              what runs where: tests/wine/matrix.sh, docs/testing.md
#              (LIGHTVOL_WINE10=0 leaves Wine 10 out)
# Pass stage names to run only those (default: all). A stage whose scripts
# are missing, or an unknown stage name, fails the command before anything
# runs: nothing passes by running less.
set -euo pipefail
cd "$(dirname "$0")/.."

all_stages=(native sanitize windows fuzz wine)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")
run_stage() { for s in "${stages[@]}"; do [ "$s" = "$1" ] && return 0; done; return 1; }
banner() { printf '\n==== %s ====\n' "$*"; }

# The scripts each stage runs (besides CMake's own files, which CMake
# requires itself).
stage_scripts() {
  case $1 in
    native) echo tools/install-deps.sh tests/m32/run.sh ;;
    sanitize) echo tools/install-deps.sh ;;
    windows) echo tools/build_windows.sh tools/check_dll.sh ;;
    fuzz) echo tests/fuzz/run.sh ;;
    wine) echo tools/install-deps.sh tools/build_windows.sh tools/check_dll.sh tools/make-sdk.sh \
      tests/wine/run.sh tests/wine/prepare.sh tests/wine/cell_run.sh tests/wine/debian_root.sh \
      tests/wine/probe_i386.sh tests/wine/msvc_host/build.sh \
      tests/wine/suites/hosts.sh tests/wine/suites/lit_room.sh tests/wine/suites/sdk.sh \
      tests/wine/suites/irrlicht.sh examples/irrlicht/build_irrlicht.sh ;;
    *) return 1 ;;
  esac
}
missing=()
for stage in "${stages[@]}"; do
  scripts=$(stage_scripts "$stage") || {
    echo "run-tests: unknown stage \"$stage\" (stages: ${all_stages[*]})" >&2
    exit 2
  }
  for f in $scripts; do
    [ -f "$f" ] || missing+=("$f (stage $stage)")
  done
done
if [ ${#missing[@]} -gt 0 ]; then
  printf 'run-tests: missing: %s\n' "${missing[@]}" >&2
  echo "run-tests: FAILED: the stages above cannot run without these files" >&2
  exit 1
fi

# The Wine tier's Wine 10 cells run in a Debian 13 root that takes minutes to
# make the first time on a machine: it is made in the background from here on,
# while the other stages build, and the tier waits for it (a lock). Its log:
# build/wine/debian_root.early.log. LIGHTVOL_WINE10=0 turns it off with the
# cells.
if run_stage wine && [ "${LIGHTVOL_WINE10:-1}" != 0 ] && [ "$(id -u)" -eq 0 ]; then
  mkdir -p build/wine
  # Whatever it cannot have, the tier says again (its cells "not run").
  tests/wine/debian_root.sh >build/wine/debian_root.early.log 2>&1 &
fi

if run_stage native; then
  banner "native build and tests"
  # windows and msvc: the guide's code and the header are also compiled as
  # Windows hosts see them.
  tools/install-deps.sh native bench windows msvc
  cmake --preset native >/dev/null
  cmake --build --preset native
  ctest --preset native
  # The sweeps' counts (ctest keeps the output of passing tests to itself).
  ctest --preset native -R 'Sweep' -V 2>&1 | grep -E 'points swept' | sed 's/^[0-9]*: //' || true
  # The batch planner built for a 32-bit target, where the machine can run one.
  tests/m32/run.sh
fi

if run_stage sanitize; then
  banner "native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  tools/install-deps.sh native
  cmake --preset sanitize >/dev/null
  cmake --build --preset sanitize
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --preset sanitize
fi

if run_stage windows; then
  banner "Windows DLLs (i686, x86_64)"
  tools/build_windows.sh
  # The version check itself: a header one patch release ahead must be refused.
  ahead=$(mktemp)
  patch=$(sed -n 's/^#define LIGHTVOL_VERSION_PATCH //p' interface/lightvol.h)
  sed -e "s/^#define LIGHTVOL_VERSION_PATCH .*/#define LIGHTVOL_VERSION_PATCH $((patch + 1))/" \
    -e "s/^\(#define LIGHTVOL_VERSION_STRING \"[0-9]*\.[0-9]*\.\)[0-9]*\"/\1$((patch + 1))\"/" \
    interface/lightvol.h >"$ahead"
  for dll in build/mingw-i686/lightvol.dll build/mingw-x86_64/lightvol.dll; do
    if LIGHTVOL_HEADER=$ahead tools/check_dll.sh "$dll" >/dev/null 2>&1; then
      rm -f "$ahead"
      echo "run-tests: tools/check_dll.sh accepts $dll against a header of another version" >&2
      exit 1
    fi
  done
  rm -f "$ahead"
  echo "check_dll refuses both DLLs against a header of another version"
fi

if run_stage fuzz; then
  banner "fuzzed call sequences"
  tests/fuzz/run.sh
fi

if run_stage wine; then
  banner "the DLLs on Wine's and DXVK's Direct3D 9"
  tests/wine/run.sh
fi

banner "all stages passed: ${stages[*]}"
