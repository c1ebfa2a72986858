#!/usr/bin/env bash
# Compiles the C++ code blocks of a Markdown guide, in their order, as one
# translation unit against the public header and MinGW-w64's Direct3D 9
# headers, so that the guide cannot drift from the interface.
#
#   tests/docs/check_snippets.sh GUIDE.md INTERFACE_DIR WORK_DIR
#
# Builds with -Wall -Wextra -Werror for 32-bit Windows (the default calling
# convention, and -mrtd: a host whose default is __stdcall, as with MSVC /Gz)
# and for 64-bit Windows, with whichever MinGW-w64 compilers are installed.
# Exits 77 (skipped) when none is; says which were not found.
set -euo pipefail

guide=$1
interface=$2
work=$3
mkdir -p "$work"
source_file="$work/$(basename "$guide" .md)_snippets.cpp"

# #line keeps compiler messages pointing into the guide.
awk -v file="$guide" '
  /^```cpp[[:space:]]*$/ { inside = 1; blocks++; printf "#line %d \"%s\"\n", NR + 1, file; next }
  /^```/ && inside       { inside = 0; next }
  inside                 { print }
  END                    { if (blocks == 0) exit 1 }' "$guide" >"$source_file" || {
  echo "check_snippets: $guide has no \`\`\`cpp blocks" >&2
  exit 1
}
blocks=$(grep -c '^```cpp' "$guide")

pick() { for c in "$@"; do command -v "$c" >/dev/null && { echo "$c"; return; }; done; }
cxx32=$(pick i686-w64-mingw32-g++-win32 i686-w64-mingw32-g++)
cxx64=$(pick x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++)

flags=(-std=c++17 -Wall -Wextra -Werror -I"$interface" -c)
built=0
compile() {  # label, compiler, extra flags...
  local label=$1 cxx=$2
  shift 2
  "$cxx" "${flags[@]}" "$@" "$source_file" -o "$work/snippets-$label.o"
  echo "check_snippets: $blocks blocks of $(basename "$guide") build for $label"
  built=$((built + 1))
}

if [[ -n $cxx32 ]]; then
  compile i686 "$cxx32"
  compile "i686 -mrtd (__stdcall default)" "$cxx32" -mrtd
else
  echo "check_snippets: no i686-w64-mingw32-g++ (g++-mingw-w64-i686): 32-bit build not checked"
fi
if [[ -n $cxx64 ]]; then
  compile x86_64 "$cxx64"
else
  echo "check_snippets: no x86_64-w64-mingw32-g++ (g++-mingw-w64-x86-64): 64-bit build not checked"
fi
((built > 0)) || exit 77
