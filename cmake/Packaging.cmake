# Install rules and the Debian package (`cpack --preset default`, or `cpack`
# in a build tree). The package declares the libraries its programs link in
# Depends, as dpkg-shlibdeps (Debian: dpkg-dev) finds them.
# The Mac object build makes no library of it, only objects for our loader.
if(TARGET hueflare)
  get_target_property(hueflare_type hueflare TYPE)
endif()
if(TARGET hueflare AND hueflare_type MATCHES "^(SHARED|MODULE)_LIBRARY$")
  install(TARGETS hueflare
    LIBRARY DESTINATION ${VIVANTO_INSTALL_PLUGINDIR}
    RUNTIME DESTINATION ${VIVANTO_INSTALL_PLUGINDIR})
endif()
if(TARGET vivanto)
  install(TARGETS vivanto RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS example_chart RUNTIME DESTINATION ${VIVANTO_INSTALL_PLUGINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vivanto)
set(CPACK_PACKAGE_VENDOR "Vivanto developers")
set(CPACK_PACKAGE_CONTACT "Vivanto developers <vivanto@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "colour booster plug-in for a photo editor, with a command-line host")
set(CPACK_PACKAGE_DESCRIPTION
  "vivanto runs the plug-in's stage on PNG, TIFF and JPEG photos in batches or on a live preview page.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
