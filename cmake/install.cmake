# Installed layout: filterhost in bin/, the platform library in the library
# folder, the plug-ins in <libdir>/filterhost/plugins, headers in
# include/filterkit, the CMake package in <libdir>/cmake/filterkit, the man
# page and bash completion where man and bash look for them.
include(CMakePackageConfigHelpers)

install(EXPORT filterkitTargets NAMESPACE filterkit::
        DESTINATION ${FILTERKIT_CMAKE_INSTALL_DIR} COMPONENT dev)
configure_package_config_file(cmake/filterkitConfig.cmake.in
  ${CMAKE_BINARY_DIR}/filterkitConfig.cmake
  INSTALL_DESTINATION ${FILTERKIT_CMAKE_INSTALL_DIR}
  PATH_VARS FILTERKIT_PLUGIN_INSTALL_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/filterkitConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/filterkitConfig.cmake
              ${CMAKE_BINARY_DIR}/filterkitConfigVersion.cmake
              cmake/FilterkitPlugin.cmake
        DESTINATION ${FILTERKIT_CMAKE_INSTALL_DIR} COMPONENT dev)

# cpack -G DEB: one package with everything, for `apt install ./filterkit_*.deb`.
set(CPACK_PACKAGE_NAME filterkit)
set(CPACK_PACKAGE_VENDOR "filterkit developers")
set(CPACK_PACKAGE_CONTACT "filterkit developers <filterkit@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
