#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those missing
# (tools/apt-packages.sh: an index that fails to update does not stop an
# install that still succeeds; a transient archive error is tried again once;
# on failure apt's own last error line is printed).
#   tools/install-deps.sh native   compiler, CMake, GoogleTest, libpng, JSON
#   tools/install-deps.sh windows  + the MinGW-w64 i686 and x86_64 cross compilers, and
#                                  LLVM's tools (llvm-dlltool makes the MSVC-format lightvol.lib)
#   tools/install-deps.sh bench    + Google Benchmark
#   tools/install-deps.sh fuzz     + clang with its sanitizer and fuzzer runtimes
#   tools/install-deps.sh msvc     + clang, lld and LLVM tools for MSVC-ABI test hosts
#   tools/install-deps.sh m32      + g++ for 32-bit x86 targets (amd64 hosts only)
#   tools/install-deps.sh wine10   + debootstrap, for the Wine tier's Debian 13 root
#   tools/install-deps.sh all      everything above
set -euo pipefail

want=()
for group in "${@:-native}"; do
  case "$group" in
    native) want+=(g++ cmake make pkg-config libgtest-dev nlohmann-json3-dev libpng-dev) ;;
    windows) want+=(g++-mingw-w64-i686 binutils-mingw-w64-i686
                    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 llvm-14) ;;
    bench) want+=(libbenchmark-dev) ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
    m32) want+=(g++-multilib) ;;
    msvc) want+=(clang-14 lld-14 llvm-14) ;;
    wine10) want+=(debootstrap debian-archive-keyring) ;;
    all) want+=(g++ cmake make pkg-config libgtest-dev nlohmann-json3-dev libpng-dev
                g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
                libbenchmark-dev clang libclang-rt-14-dev g++-multilib clang-14 lld-14 llvm-14) ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

# shellcheck source=tools/apt-packages.sh
source "$(dirname "${BASH_SOURCE[0]}")/apt-packages.sh"
missing=$(apt_packages_missing "${want[@]}")
if [ -n "$missing" ]; then
  echo "Installing: $(echo $missing)"
  apt_packages_install "${want[@]}" || {
    echo "install-deps: $apt_error (apt's output: $apt_log)" >&2
    exit 1
  }
fi
