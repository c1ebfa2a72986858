# lightvol_install_package(target [more targets...])
#
# Installs the module as the CMake package `lightvol`:
#   bin/      the DLL (Windows)
#   lib/      the import library, or the static library and what it links publicly
#   include/  lightvol.h
#   lib/cmake/lightvol/  lightvolConfig.cmake, lightvolConfigVersion.cmake and the
#             exported targets, so that find_package(lightvol) gives lightvol::lightvol.
#
# The first target is the module. Further targets are libraries the module links
# publicly (the native build's software device), which must be exported with it.
include_guard(GLOBAL)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

get_filename_component(_lightvol_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

function(lightvol_install_package target)
  set(targets ${target} ${ARGN})
  set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/lightvol)
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
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${_lightvol_root}/interface/lightvol.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT lightvolTargets
    NAMESPACE lightvol::
    FILE lightvolTargets.cmake
    DESTINATION ${config_dir})

  set(config_in ${generated}/lightvolConfig.cmake.in)
  file(WRITE ${config_in} [=[
@PACKAGE_INIT@

include("${CMAKE_CURRENT_LIST_DIR}/lightvolTargets.cmake")
check_required_components(lightvol)
]=])
  configure_package_config_file(${config_in}
    ${generated}/lightvolConfig.cmake
    INSTALL_DESTINATION ${config_dir})
  write_basic_package_version_file(${generated}/lightvolConfigVersion.cmake
    VERSION ${version}
    COMPATIBILITY SameMajorVersion)
  install(FILES
    ${generated}/lightvolConfig.cmake
    ${generated}/lightvolConfigVersion.cmake
    DESTINATION ${config_dir})
endfunction()
