# The Linux release: `cpack` in a native Release build (the linux-release preset) makes
# qx2205r_<version>_<arch>.deb and QX2205R-<version>-Linux.tar.gz, holding the console program in bin (and its
# lower-case link), its manual page, the user guide and the udev rules that open the USB dongles to the user at the
# desk. Only the release component goes in.
include(GNUInstallDirs)
install(TARGETS QX2205R-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT release)
# The package is qx2205r, and a Linux user types lower case: qx2205r-cli is the same program.
file(CREATE_LINK QX2205R-cli ${CMAKE_CURRENT_BINARY_DIR}/qx2205r-cli SYMBOLIC)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qx2205r-cli DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT release)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/QX2205R-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT release)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/70-qx2205r-irda-dongles.rules DESTINATION lib/udev/rules.d
        COMPONENT release)
install(FILES ${PROJECT_SOURCE_DIR}/docs/USER_GUIDE.txt ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/qx2205r COMPONENT release)

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME qx2205r)
set(CPACK_PACKAGE_VENDOR "QX2205R developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "QX2205R developers <qx2205r@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "switches a measuring instrument's heterogeneity search mode over a serial IrDA adapter")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL release)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_FILE_NAME QX2205R-${PROJECT_VERSION}-Linux)
include(CPack)
