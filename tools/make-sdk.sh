#!/usr/bin/env bash
# Makes the SDK archive lightvol-<version>-sdk.zip: everything an engine team
# takes, for 32-bit and 64-bit Windows hosts, in one folder
# lightvol-<version>-sdk/ (docs/sdk.md is its README.md):
#   include/lightvol.h
#   bin/x86/lightvol.dll, bin/x64/lightvol.dll
#   lib/x86/, lib/x64/       liblightvol.dll.a (MinGW), lightvol.lib and
#                            lightvol.def (MSVC-style linkers), the
#                            architecture's CMake package files
#   lib/cmake/lightvol/      the CMake package: find_package(lightvol) picks
#                            the architecture of the consumer's toolchain
#   share/lightvol/sampling.hlsl, docs/sampling.hlsl   the sampler
#   docs/                    the integration guide with its pictures, and the
#                            documents it links to
#   examples/lit_room/       the sample program's sources; bin/x86/ and
#                            bin/x64/ hold it built, beside lightvol.dll
#   LICENSE, CHANGELOG.md, README.md
#
#   tools/make-sdk.sh [output dir]
#
# The version is project()'s in CMakeLists.txt. Builds both architectures with
# tools/build_windows.sh (which installs MinGW-w64 and LLVM's tools when
# missing, and checks each DLL, its version resource and lightvol.lib) in
# build/sdk-i686 and build/sdk-x86_64, configured as the two halves of the SDK
# tree (LIGHTVOL_SDK_ARCH), installs both into one tree and packs it with
# CMake's own zip writer. The output dir defaults to build/sdk. Prints the
# archive's path last.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-$root/build/sdk}
cd "$root"

version=$(sed -n 's/^project(lightvol VERSION \([0-9][0-9.]*\)[ )].*/\1/p' CMakeLists.txt)
[[ -n $version ]] || { echo "make-sdk: no version in CMakeLists.txt's project()" >&2; exit 1; }
name=lightvol-$version-sdk

mkdir -p "$out"
out=$(cd "$out" && pwd)
stage=$(mktemp -d "${TMPDIR:-/tmp}/lightvol-sdk.XXXXXX")
trap 'rm -rf "$stage"' EXIT
tree=$stage/$name

for arch in i686 x86_64; do
  case $arch in i686) sdk_arch=x86 ;; x86_64) sdk_arch=x64 ;; esac
  build=$root/build/sdk-$arch
  echo "make-sdk: building the $sdk_arch half in $build"
  LIGHTVOL_WIN_BUILD_DIR=$build "$root/tools/build_windows.sh" "$arch" \
    -DLIGHTVOL_SDK_ARCH="$sdk_arch" -DLIGHTVOL_BUILD_WINE_TESTS=OFF
  cmake --install "$build" --prefix "$tree"
  mkdir -p "$tree/examples/lit_room/bin/$sdk_arch"
  cp "$build/lit_room.exe" "$build/lightvol.dll" "$tree/examples/lit_room/bin/$sdk_arch/"
done

# The guide and the documents it links to, their pictures, the sampler beside
# them; the sample's sources.
mkdir -p "$tree/docs"
for f in docs/*.md docs/*.png docs/sampling.hlsl; do
  [[ $f == docs/sdk.md ]] || cp "$f" "$tree/docs/"
done
for f in examples/lit_room/*; do
  [[ -f $f ]] && cp "$f" "$tree/examples/lit_room/"
done
cp docs/sdk.md "$tree/README.md"

# Every part named above, or no archive.
missing=()
for f in include/lightvol.h LICENSE CHANGELOG.md README.md \
  lib/cmake/lightvol/lightvolConfig.cmake lib/cmake/lightvol/lightvolConfigVersion.cmake \
  share/lightvol/sampling.hlsl docs/sampling.hlsl docs/integration.md \
  $(grep -o '([a-z0-9_-]*\.png)' docs/integration.md | tr -d '()' | sed 's|^|docs/|' | sort -u) \
  examples/lit_room/main.cpp examples/lit_room/README.md; do
  [[ -f $tree/$f ]] || missing+=("$f")
done
for a in x86 x64; do
  for f in bin/$a/lightvol.dll lib/$a/lightvol.lib lib/$a/liblightvol.dll.a lib/$a/lightvol.def \
    lib/$a/cmake/lightvol/lightvolConfig.cmake examples/lit_room/bin/$a/lit_room.exe; do
    [[ -f $tree/$f ]] || missing+=("$f")
  done
done
((${#missing[@]} == 0)) || { echo "make-sdk: the tree lacks ${missing[*]}" >&2; exit 1; }

zip=$out/$name.zip
rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip "$name")
echo "make-sdk: $(cmake -E tar tf "$zip" | grep -vc '/$') files in $zip"
echo "$zip"
