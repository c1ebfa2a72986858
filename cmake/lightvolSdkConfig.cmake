# The lightvol package of the SDK tree, for 32-bit and 64-bit Windows hosts at
# once: lib/cmake/lightvol/lightvolConfig.cmake. It includes the package of
# the architecture that matches the consumer's toolchain (its pointer size):
# lib/x86/cmake/lightvol/ for 32-bit, lib/x64/cmake/lightvol/ for 64-bit.
# Installed by cmake/LightvolInstall.cmake when LIGHTVOL_SDK_ARCH is set.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_lightvol_arch x86)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_lightvol_arch x64)
else()
  set(lightvol_FOUND FALSE)
  set(lightvol_NOT_FOUND_MESSAGE
      "lightvol is for 32-bit (x86) and 64-bit (x64) Windows; this toolchain's pointer size is "
      "\"${CMAKE_SIZEOF_VOID_P}\" (is a language enabled?)")
  return()
endif()

get_filename_component(_lightvol_half
  "${CMAKE_CURRENT_LIST_DIR}/../../${_lightvol_arch}/cmake/lightvol/lightvolConfig.cmake" ABSOLUTE)
if(NOT EXISTS "${_lightvol_half}")
  set(lightvol_FOUND FALSE)
  set(lightvol_NOT_FOUND_MESSAGE "this lightvol tree holds no ${_lightvol_arch} package (${_lightvol_half})")
  unset(_lightvol_arch)
  unset(_lightvol_half)
  return()
endif()
set(lightvol_ARCH ${_lightvol_arch})
unset(_lightvol_arch)
include("${_lightvol_half}")
unset(_lightvol_half)
