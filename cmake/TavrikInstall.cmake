include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS tavrik EXPORT TavrikTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tavrik DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT TavrikTargets NAMESPACE Tavrik:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tavrik)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TavrikConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TavrikConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tavrik)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TavrikConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TavrikConfig.cmake ${PROJECT_BINARY_DIR}/TavrikConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tavrik)

configure_file(${PROJECT_SOURCE_DIR}/cmake/tavrik.pc.in ${PROJECT_BINARY_DIR}/tavrik.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tavrik.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
