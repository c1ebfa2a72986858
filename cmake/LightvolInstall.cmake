# lightvol_install_package(target [more targets...]
#                          [MSVC_IMPORT_LIBRARY <lightvol.lib> <lightvol.def>])
#
# Installs the module as the CMake package `lightvol`:
#   bin/      the DLL (Windows)
#   lib/      the import library, or the static library and what it links publicly;
#             for the DLL also the MSVC-format import library and its .def
#   include/  lightvol.h, and lightvol_engine_states.h for engines whose state
#             cache cannot follow the render-state callback
#   share/lightvol/  sampling.hlsl, the light-map sampler for the host's shaders
#   lib/cmake/lightvol/  lightvolConfig.cmake, lightvolConfigVersion.cmake and the
#             exported targets, so that find_package(lightvol) gives lightvol::lightvol.
#   share/doc/lightvol/  LICENSE and CHANGELOG.md
#
# With LIGHTVOL_SDK_ARCH set (x86 or x64) the install is one architecture's half
# of the SDK tree (tools/make-sdk.sh installs both into one prefix): the DLL in
# bin/<arch>/, the libraries and the architecture's package files in lib/<arch>/,
# LICENSE and CHANGELOG.md at the top, and in lib/cmake/lightvol/ a package
# that includes the half matching the consumer's pointer size.
#
# The first target is the module. Further targets are libraries the module links
# publicly (the native build's software device), which must be exported with it.
# With MSVC_IMPORT_LIBRARY the package hands MSVC-style toolchains (MSVC, clang-cl,
# clang for a *-windows-msvc target) that import library in place of the one
# the build's own linker made (MinGW's liblightvol.dll.a).
include_guard(GLOBAL)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(LIGHTVOL_SDK_ARCH "" CACHE STRING
    "Install as one architecture's half of the SDK tree: x86 or x64 (empty: a plain install)")

get_filename_component(_lightvol_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

function(lightvol_install_package target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "MSVC_IMPORT_LIBRARY")
  set(targets ${target} ${arg_UNPARSED_ARGUMENTS})
  if(LIGHTVOL_SDK_ARCH STREQUAL "")
    set(bindir ${CMAKE_INSTALL_BINDIR})
    set(libdir ${CMAKE_INSTALL_LIBDIR})
    set(docdir ${CMAKE_INSTALL_DOCDIR})
  elseif(LIGHTVOL_SDK_ARCH MATCHES "^(x86|x64)$")
    set(bindir bin/${LIGHTVOL_SDK_ARCH})
    set(libdir lib/${LIGHTVOL_SDK_ARCH})
    set(docdir .)
  else()
    message(FATAL_ERROR "LIGHTVOL_SDK_ARCH is \"${LIGHTVOL_SDK_ARCH}\"; x86, x64 or empty")
  endif()
  set(config_dir ${libdir}/cmake/lightvol)
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/lightvol-package)
  if(DEFINED lightvol_VERSION)
    set(version ${lightvol_VERSION})
  else()
    set(version ${PROJECT_VERSION})
  endif()

  # Consumers name the module lightvol::lightvol whatever the build calls it.
  set_target_properties(${target} PROPERTIES EXPORT_NAME lightvol)

  install(TARGETS ${targets}
    EXPORT lightvolTargets
    RUNTIME DESTINATION ${bindir}
    LIBRARY DESTINATION ${libdir}
    ARCHIVE DESTINATION ${libdir})
  install(FILES ${_lightvol_root}/interface/lightvol.h
                ${_lightvol_root}/interface/lightvol_engine_states.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${_lightvol_root}/LICENSE ${_lightvol_root}/CHANGELOG.md
          DESTINATION ${docdir})
  set(LIGHTVOL_SAMPLING_HLSL ${CMAKE_INSTALL_DATADIR}/lightvol/sampling.hlsl)
  install(FILES ${_lightvol_root}/docs/sampling.hlsl
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lightvol)
  install(EXPORT lightvolTargets
    NAMESPACE lightvol::
    FILE lightvolTargets.cmake
    DESTINATION ${config_dir})

  set(config_in ${generated}/lightvolConfig.cmake.in)
  file(WRITE ${config_in} [=[
@PACKAGE_INIT@

include("${CMAKE_CURRENT_LIST_DIR}/lightvolTargets.cmake")

# The sampler the host's shaders #include.
set_and_check(lightvol_SAMPLING_HLSL "@PACKAGE_LIGHTVOL_SAMPLING_HLSL@")
]=])
  if(arg_MSVC_IMPORT_LIBRARY)
    install(FILES ${arg_MSVC_IMPORT_LIBRARY} DESTINATION ${libdir})
    list(GET arg_MSVC_IMPORT_LIBRARY 0 msvc_implib)
    get_filename_component(LIGHTVOL_MSVC_IMPLIB_NAME ${msvc_implib} NAME)
    file(APPEND ${config_in} [=[

# The targets name MinGW's import library. MSVC's link.exe and lld-link, behind
# MSVC, clang-cl or clang for a *-windows-msvc target, take the MSVC-format one
# made from the same DLL.
set(_lightvol_msvc_style FALSE)
foreach(_lightvol_lang C CXX)
  if(CMAKE_${_lightvol_lang}_COMPILER_ID STREQUAL "MSVC" OR
     CMAKE_${_lightvol_lang}_SIMULATE_ID STREQUAL "MSVC")
    set(_lightvol_msvc_style TRUE)
  endif()
endforeach()
if(MSVC OR _lightvol_msvc_style)
  set(_lightvol_implib "${PACKAGE_PREFIX_DIR}/@libdir@/@LIGHTVOL_MSVC_IMPLIB_NAME@")
  set_property(TARGET lightvol::lightvol PROPERTY IMPORTED_IMPLIB "${_lightvol_implib}")
  get_property(_lightvol_configs TARGET lightvol::lightvol PROPERTY IMPORTED_CONFIGURATIONS)
  foreach(_lightvol_config IN LISTS _lightvol_configs)
    set_property(TARGET lightvol::lightvol
                 PROPERTY IMPORTED_IMPLIB_${_lightvol_config} "${_lightvol_implib}")
  endforeach()
  unset(_lightvol_implib)
  unset(_lightvol_configs)
  unset(_lightvol_config)
endif()
unset(_lightvol_msvc_style)
unset(_lightvol_lang)
]=])
  endif()
  file(APPEND ${config_in} "
check_required_components(lightvol)
")
  configure_package_config_file(${config_in}
    ${generated}/lightvolConfig.cmake
    INSTALL_DESTINATION ${config_dir}
    PATH_VARS LIGHTVOL_SAMPLING_HLSL)
  write_basic_package_version_file(${generated}/lightvolConfigVersion.cmake
    VERSION ${version}
    COMPATIBILITY SameMajorVersion)
  install(FILES
    ${generated}/lightvolConfig.cmake
    ${generated}/lightvolConfigVersion.cmake
    DESTINATION ${config_dir})

  if(NOT LIGHTVOL_SDK_ARCH STREQUAL "")
    # The same two files from either half: find_package(lightvol) finds them
    # in lib/cmake/lightvol/ whatever the consumer's architecture.
    write_basic_package_version_file(${generated}/sdk/lightvolConfigVersion.cmake
      VERSION ${version}
      COMPATIBILITY SameMajorVersion
      ARCH_INDEPENDENT)
    install(FILES ${_lightvol_root}/cmake/lightvolSdkConfig.cmake
            DESTINATION lib/cmake/lightvol
            RENAME lightvolConfig.cmake)
    install(FILES ${generated}/sdk/lightvolConfigVersion.cmake
            DESTINATION lib/cmake/lightvol)
  endif()
endfunction()
