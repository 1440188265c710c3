# Installs the libraries with their public headers, the package files that
# find_package(ostrand_dat) and pkg-config read, and the programs.
include(CMakePackageConfigHelpers)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ostrand_dat)

install(TARGETS ostrand_dat ostrand_dat_writer
  EXPORT ostrand_datTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The public headers as they are, and the ones the build generates.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/ostrand-dat/include/ostrand_dat
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_BINARY_DIR}/ostrand-dat/include/ostrand_dat
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

install(EXPORT ostrand_datTargets
  NAMESPACE ostrand_dat::
  DESTINATION ${config_dir})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/ostrand_datConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ostrand_datConfig.cmake
  INSTALL_DESTINATION ${config_dir})
# Below 1.0 a minor version may change the interface: 0.9.x asks for 0.9.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/ostrand_datConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/ostrand_datConfig.cmake
  ${PROJECT_BINARY_DIR}/ostrand_datConfigVersion.cmake
  DESTINATION ${config_dir})

# pkg-config files that find the installation wherever it was moved: the
# prefix is worked out from the .pc file's own place.
file(RELATIVE_PATH pc_to_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
foreach(pc IN ITEMS ostrand_dat ostrand_dat_writer)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in
                 ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ostrand_dat)

if(OSTRAND_PROGRAMS)
  install(TARGETS ostrand-dat resolve_sound_parity gt-terminal-standin
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
