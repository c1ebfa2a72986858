# Makes the MSVC-format import library of a DLL from the DLL's own export table.
#
#   cmake -DDLL=<lightvol.dll> -DOBJDUMP=<objdump> -DDLLTOOL=<llvm-dlltool>
#         -DDEF=<out .def> -DLIB=<out .lib> -P MsvcImportLibrary.cmake
#
# objdump (MinGW's binutils) reads the linked DLL: its machine ("i386" or
# "i386:x86-64", exactly the names llvm-dlltool's -m takes), the DLL name its
# export directory records and every exported name. They are written as a .def
# file, and llvm-dlltool makes from it the short-format import library that
# MSVC's link.exe and lld-link read. The names are written as the DLL exports
# them: on i386 llvm-dlltool adds the C symbol's leading underscore itself
# (_create_ILightingSystem, imported by its plain name).
foreach(var DLL OBJDUMP DLLTOOL DEF LIB)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "MsvcImportLibrary.cmake: -D${var}=... is required")
  endif()
endforeach()

execute_process(COMMAND "${OBJDUMP}" -f -p "${DLL}"
  OUTPUT_VARIABLE dump RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} cannot read ${DLL}: ${errors}")
endif()

if(dump MATCHES "\narchitecture: (i386:x86-64|i386),")
  set(machine ${CMAKE_MATCH_1})
else()
  message(FATAL_ERROR "${DLL} is neither an i386 nor an x86-64 image")
endif()
if(dump MATCHES "\nName[ \t]+[0-9a-fA-F]+ ([^\n]+)\n")
  string(STRIP "${CMAKE_MATCH_1}" library)
else()
  message(FATAL_ERROR "${DLL} has no export directory")
endif()

# The lines of the "[Ordinal/Name Pointer] Table" read "\t[   0] name"; the
# table ends at the first empty line.
string(REPLACE ";" "\\;" dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")
set(exports)
set(in_table FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_table TRUE)
  elseif(in_table AND line MATCHES "^[ \t]*\\[[ \t]*[0-9]+\\][ \t]+([^ \t]+)[ \t]*$")
    list(APPEND exports "${CMAKE_MATCH_1}")
  elseif(in_table AND line MATCHES "^[ \t]*$")
    set(in_table FALSE)
  endif()
endforeach()
if(NOT exports)
  message(FATAL_ERROR "${DLL} exports no names")
endif()

set(text "; The exports of ${library}, read from its export table after linking.\n")
string(APPEND text "LIBRARY ${library}\nEXPORTS\n")
foreach(name IN LISTS exports)
  string(APPEND text "    ${name}\n")
endforeach()
file(WRITE "${DEF}" "${text}")

execute_process(COMMAND "${DLLTOOL}" -m ${machine} -d "${DEF}" -l "${LIB}"
  RESULT_VARIABLE status ERROR_VARIABLE errors OUTPUT_VARIABLE output)
if(NOT status EQUAL 0)
  file(REMOVE "${LIB}")
  message(FATAL_ERROR "${DLLTOOL} could not make ${LIB}: ${output}${errors}")
endif()
