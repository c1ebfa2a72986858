# Cross build for 64-bit Windows with Debian's MinGW-w64 (package g++-mingw-w64-x86-64).
#
# The win32 thread model is used: the module starts no threads, and this variant
# links libstdc++ and libgcc statically without pulling in libwinpthread.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(LIGHTVOL_MINGW_TRIPLE x86_64-w64-mingw32)

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

# x86-64 does scalar float arithmetic in SSE registers anyway; the flags are
# spelled out so both Windows builds state the same float rule.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
