# Install rules, package config, pkg-config file and the Debian package.
include(CMakePackageConfigHelpers)

install(TARGETS korshaders EXPORT korshadersTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/korshaders/host.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korshaders COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/shaders/ DESTINATION ${CMAKE_INSTALL_DATADIR}/korshaders/shaders
  COMPONENT runtime FILES_MATCHING PATTERN "*.json")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  COMPONENT development)

set(KOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/korshaders)
install(EXPORT korshadersTargets NAMESPACE korshaders:: DESTINATION ${KOR_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/korshadersConfig.cmake.in
  ${PROJECT_BINARY_DIR}/korshadersConfig.cmake INSTALL_DESTINATION ${KOR_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_DATADIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/korshadersConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/korshadersConfig.cmake
  ${PROJECT_BINARY_DIR}/korshadersConfigVersion.cmake DESTINATION ${KOR_CMAKE_DIR}
  COMPONENT development)

# The prefix is found from where the file lies, so the package can move.
file(RELATIVE_PATH KOR_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${PROJECT_SOURCE_DIR}/cmake/korshaders.pc.in ${PROJECT_BINARY_DIR}/korshaders.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/korshaders.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

# One Debian package holds it all: hosts load the library by its full name,
# so the development files are small and belong with it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korshaders)
set(CPACK_PACKAGE_VENDOR "korshaders developers")
set(CPACK_PACKAGE_CONTACT "korshaders developers <korshaders@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "shader library for host renderers, with its reference renderer korrender")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
