# lightvol.dll: the module as a Windows DLL whose one export is
# create_ILightingSystem, for 32-bit (i686, the reference ABI) or 64-bit
# (x86_64) hosts. Included by the root CMakeLists.txt when WIN32.
#
# The DLL imports only Windows system DLLs, d3dx9_43.dll and user32.dll: the
# C++ runtime and libgcc are linked in statically.

include(${CMAKE_CURRENT_LIST_DIR}/LightvolInstall.cmake)

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  message(FATAL_ERROR "lightvol.dll is built for i686 or x86_64; use the mingw-i686 or "
                      "mingw-x86_64 preset")
endif()

# The version resource (VERSIONINFO), compiled by MinGW's windres.
enable_language(RC)
math(EXPR LIGHTVOL_RC_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
configure_file(${CMAKE_CURRENT_LIST_DIR}/lightvol.rc.in ${PROJECT_BINARY_DIR}/lightvol.rc @ONLY)

add_library(lightvol SHARED ${LIGHTVOL_MODULE_SOURCES} ${PROJECT_BINARY_DIR}/lightvol.rc)
add_library(lightvol::lightvol ALIAS lightvol)

set_target_properties(lightvol PROPERTIES
  PREFIX ""
  OUTPUT_NAME lightvol
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})

target_include_directories(lightvol
  PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/interface>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  PRIVATE
    ${PROJECT_SOURCE_DIR})
target_compile_definitions(lightvol PRIVATE LIGHTVOL_BUILDING)

# SSE scalar arithmetic (never x87) also when a toolchain file other than ours
# is used; the flags are harmless duplicates otherwise (and x86_64's default).
target_compile_options(lightvol PRIVATE -msse2 -mfpmath=sse)

# d3dx9_43.dll is the D3DX runtime the module is written against.
find_library(LIGHTVOL_D3DX9_LIB NAMES d3dx9_43 d3dx9)
if(NOT LIGHTVOL_D3DX9_LIB)
  message(FATAL_ERROR "no D3DX 9 import library (libd3dx9_43.a) in the MinGW-w64 runtime")
endif()

# The module calls Direct3D only through the host's device, so d3d9.dll is not imported.
target_link_libraries(lightvol PRIVATE ${LIGHTVOL_D3DX9_LIB} user32)
# The win32-thread toolchain needs no libwinpthread; tools/check_dll.sh verifies
# that no runtime DLL is imported.
target_link_options(lightvol PRIVATE -static-libgcc -static-libstdc++ -Wl,--no-undefined)

# lightvol.lib: the import library MSVC-style linkers (link.exe, lld-link) take,
# beside MinGW's liblightvol.dll.a, made from the linked DLL's export table
# together with the lightvol.def it is made from.
find_program(LIGHTVOL_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool
             DOC "llvm-dlltool, which writes lightvol.lib (Debian package llvm-14)")
if(NOT LIGHTVOL_LLVM_DLLTOOL OR NOT CMAKE_OBJDUMP)
  message(FATAL_ERROR "lightvol.lib needs llvm-dlltool (package llvm-14) and the MinGW-w64 "
                      "objdump (binutils-mingw-w64-i686 or -x86-64)")
endif()
set(LIGHTVOL_MSVC_DEF ${PROJECT_BINARY_DIR}/lightvol.def)
set(LIGHTVOL_MSVC_IMPLIB ${PROJECT_BINARY_DIR}/lightvol.lib)
add_custom_command(OUTPUT ${LIGHTVOL_MSVC_IMPLIB} ${LIGHTVOL_MSVC_DEF}
  COMMAND ${CMAKE_COMMAND} -DDLL=$<TARGET_FILE:lightvol> -DOBJDUMP=${CMAKE_OBJDUMP}
          -DDLLTOOL=${LIGHTVOL_LLVM_DLLTOOL} -DDEF=${LIGHTVOL_MSVC_DEF} -DLIB=${LIGHTVOL_MSVC_IMPLIB}
          -P ${CMAKE_CURRENT_LIST_DIR}/MsvcImportLibrary.cmake
  DEPENDS lightvol ${CMAKE_CURRENT_LIST_DIR}/MsvcImportLibrary.cmake
  COMMENT "Making lightvol.lib from the export table of lightvol.dll"
  VERBATIM)
add_custom_target(lightvol_msvc_import_library ALL
  DEPENDS ${LIGHTVOL_MSVC_IMPLIB} ${LIGHTVOL_MSVC_DEF})

lightvol_install_package(lightvol MSVC_IMPORT_LIBRARY ${LIGHTVOL_MSVC_IMPLIB} ${LIGHTVOL_MSVC_DEF})

option(LIGHTVOL_BUILD_WINE_TESTS "Build the Wine end-to-end test host" ON)
if(LIGHTVOL_BUILD_WINE_TESTS)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/wine ${PROJECT_BINARY_DIR}/tests/wine)
endif()
