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
# Pass stage names to run only those (default: all).
set -euo pipefail
cd "$(dirname "$0")/.."

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(native sanitize windows fuzz wine)
run_stage() { for s in "${stages[@]}"; do [ "$s" = "$1" ] && return 0; done; return 1; }
banner() { printf '\n==== %s ====\n' "$*"; }

# The Wine tier's Wine 10 cells run in a Debian 13 root that takes minutes to
# make the first time on a machine: it is made in the background from here on,
# while the other stages build, and the tier waits for it (a lock). Its log:
# build/wine/debian_root.early.log. LIGHTVOL_WINE10=0 turns it off with the
# cells.
if run_stage wine && [ "${LIGHTVOL_WINE10:-1}" != 0 ] && [ "$(id -u)" -eq 0 ] &&
   [ -x tests/wine/debian_root.sh ]; then
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

if run_stage windows && [ -x tools/build_windows.sh ]; then
  banner "Windows DLLs (i686, x86_64)"
  tools/build_windows.sh
fi

if run_stage fuzz && [ -x tests/fuzz/run.sh ]; then
  banner "fuzzed call sequences"
  tests/fuzz/run.sh
fi

if run_stage wine && [ -x tests/wine/run.sh ]; then
  banner "the DLLs on Wine's and DXVK's Direct3D 9"
  tests/wine/run.sh
fi

banner "all stages passed: ${stages[*]}"
