# Installation: libraries, modules, tesk, public headers, pkg-config file and CMake package.
include(CMakePackageConfigHelpers)

install(EXPORT TeskTargets NAMESPACE Tesk:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tesk)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TeskConfig.cmake.in
  ${CMAKE_BINARY_DIR}/TeskConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tesk)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TeskConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TeskConfig.cmake ${CMAKE_BINARY_DIR}/TeskConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tesk)

configure_file(${CMAKE_CURRENT_LIST_DIR}/tesk.pc.in ${CMAKE_BINARY_DIR}/tesk.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tesk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
