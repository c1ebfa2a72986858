#!/usr/bin/env bash
# Builds the module and its batch planner check for a 32-bit x86 target (-m32:
# size_t of 32 bits, and SSE2 arithmetic as in the 32-bit DLL) and runs it.
# Machines that cannot build or run 32-bit programs are named and skipped, not
# failed.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/m32
mkdir -p "$build"

if [ "$(dpkg --print-architecture 2>/dev/null || true)" = amd64 ]; then
  tools/install-deps.sh m32 || true
fi
probe="$build/probe"
printf '#include <vector>\nint main() { std::vector<int> v(1); return static_cast<int>(sizeof(void*)) - 4 + v[0]; }\n' \
  > "$probe.cpp"
if ! g++ -m32 -std=c++17 "$probe.cpp" -o "$probe" 2>"$probe.log"; then
  echo "32-bit planner check: SKIPPED, this machine cannot build 32-bit programs ($(head -n1 "$probe.log"))"
  exit 0
fi
if ! "$probe" 2>"$probe.log"; then
  echo "32-bit planner check: SKIPPED, this machine cannot run 32-bit programs ($(head -n1 "$probe.log"))"
  exit 0
fi

sources=(device/*.cpp lighting/*.cpp module/module_entry.cpp platform/software/*.cpp)
g++ -m32 -std=c++17 -O2 -Wall -Wextra -Werror -ffp-contract=off -msse2 -mfpmath=sse \
  -I. -Iinterface -Itests -DLIGHTVOL_BUILDING \
  "${sources[@]}" tests/m32/planner_check.cpp -o "$build/planner_check"
"$build/planner_check"
