# Checks that interface/lightvol.h states the project's version:
# LIGHTVOL_VERSION_MAJOR, _MINOR, _PATCH and LIGHTVOL_VERSION_STRING.
#
#   cmake -DHEADER=<lightvol.h> -DVERSION=<major.minor.patch> -P CheckHeaderVersion.cmake
#
# Also include()d by the root CMakeLists.txt (HEADER and VERSION set), so that
# a build whose header and project() disagree does not configure.
foreach(var HEADER VERSION)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "CheckHeaderVersion.cmake: -D${var}=... is required")
  endif()
endforeach()

file(STRINGS "${HEADER}" _lightvol_lines REGEX "^#define LIGHTVOL_VERSION_")
set(_lightvol_stated)
foreach(_lightvol_part MAJOR MINOR PATCH)
  if(_lightvol_lines MATCHES "#define LIGHTVOL_VERSION_${_lightvol_part} ([0-9]+)")
    list(APPEND _lightvol_stated ${CMAKE_MATCH_1})
  else()
    message(FATAL_ERROR "${HEADER} defines no LIGHTVOL_VERSION_${_lightvol_part}")
  endif()
endforeach()
list(JOIN _lightvol_stated "." _lightvol_numbers)
if(_lightvol_lines MATCHES "#define LIGHTVOL_VERSION_STRING \"([^\"]*)\"")
  set(_lightvol_string "${CMAKE_MATCH_1}")
else()
  message(FATAL_ERROR "${HEADER} defines no LIGHTVOL_VERSION_STRING")
endif()
if(NOT _lightvol_numbers STREQUAL VERSION OR NOT _lightvol_string STREQUAL VERSION)
  message(FATAL_ERROR "${HEADER} states version ${_lightvol_numbers} (string \"${_lightvol_string}\"); "
                      "project() says ${VERSION}")
endif()
unset(_lightvol_lines)
unset(_lightvol_stated)
unset(_lightvol_part)
unset(_lightvol_numbers)
unset(_lightvol_string)
if(CMAKE_SCRIPT_MODE_FILE)
  message(STATUS "${HEADER} states version ${VERSION}, as project() does")
endif()
