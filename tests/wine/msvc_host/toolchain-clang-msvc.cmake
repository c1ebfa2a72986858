# clang for the Microsoft ABI (*-pc-windows-msvc), linking through lld-link:
# an MSVC-style toolchain without any Microsoft software. Used by build.sh for
# the MSVC-ABI test host; -DLIGHTVOL_MSVC_ARCH=i686 or x86_64 picks the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${LIGHTVOL_MSVC_ARCH})

find_program(LIGHTVOL_MSVC_CLANGXX NAMES clang++-14 clang++ REQUIRED)
set(CMAKE_CXX_COMPILER ${LIGHTVOL_MSVC_CLANGXX})
set(CMAKE_CXX_COMPILER_TARGET ${LIGHTVOL_MSVC_ARCH}-pc-windows-msvc)

# There is no C runtime or Windows SDK to link a test program against.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LIGHTVOL_MSVC_ARCH)

# Packages are found in any prefix given, never in the build machine's own.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY OFF)
set(CMAKE_FIND_USE_PACKAGE_REGISTRY OFF)
