# The part of the MinGW-w64 toolchain files that both architectures share;
# the including file sets CMAKE_SYSTEM_PROCESSOR and LIGHTVOL_MINGW_TRIPLE.
#
# The win32 thread model is used: the module starts no threads, and this variant
# links libstdc++ and libgcc statically without pulling in libwinpthread.

set(CMAKE_SYSTEM_NAME Windows)

find_program(LIGHTVOL_MINGW_CXX NAMES ${LIGHTVOL_MINGW_TRIPLE}-g++-win32 ${LIGHTVOL_MINGW_TRIPLE}-g++
             REQUIRED)
find_program(LIGHTVOL_MINGW_CC NAMES ${LIGHTVOL_MINGW_TRIPLE}-gcc-win32 ${LIGHTVOL_MINGW_TRIPLE}-gcc
             REQUIRED)

set(CMAKE_C_COMPILER ${LIGHTVOL_MINGW_CC})
set(CMAKE_CXX_COMPILER ${LIGHTVOL_MINGW_CXX})
set(CMAKE_RC_COMPILER ${LIGHTVOL_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${LIGHTVOL_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${LIGHTVOL_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${LIGHTVOL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages of this project are installed to any prefix, not only into the sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Scalar SSE arithmetic, never x87: float results then match the native x86-64
# build bit for bit, and Direct3D's FPU precision changes cannot affect them
# (x86-64 does this anyway; the flags state the same rule for both).
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
