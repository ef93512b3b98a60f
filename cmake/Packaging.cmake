# The release: `cpack` in a Windows build makes QX2205R-<version>-win32.zip (or -win64.zip) holding QX2205R.exe, the
# console program QX2205R-cli.exe and the user guide, in a folder of the same name. Only the release component goes in,
# whatever else the build installs.
install(TARGETS QX2205R QX2205R-cli RUNTIME DESTINATION . COMPONENT release)
# The shipped guide has Windows line ends: Notepad before Windows 10 1809 shows a file with bare LFs as one line.
file(READ ${CMAKE_SOURCE_DIR}/docs/USER_GUIDE.txt QX_USER_GUIDE)
string(REPLACE "\r\n" "\n" QX_USER_GUIDE "${QX_USER_GUIDE}")
string(REPLACE "\n" "\r\n" QX_USER_GUIDE "${QX_USER_GUIDE}")
file(WRITE ${CMAKE_BINARY_DIR}/USER_GUIDE.txt "${QX_USER_GUIDE}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/USER_GUIDE.txt)
install(FILES ${CMAKE_BINARY_DIR}/USER_GUIDE.txt DESTINATION . COMPONENT release)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME QX2205R)
set(CPACK_PACKAGE_VENDOR "QX2205R developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME QX2205R-${PROJECT_VERSION}-win64)
else()
    set(CPACK_PACKAGE_FILE_NAME QX2205R-${PROJECT_VERSION}-win32)
endif()
set(CPACK_COMPONENTS_ALL release)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
