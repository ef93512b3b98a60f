# GoogleTest from Debian's sources, built with this build's compiler (native or mingw-w64).
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
if(NOT TARGET gtest)
    set(_qx_saved_flags ${CMAKE_CXX_FLAGS})
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(t gtest gtest_main gmock gmock_main)
        if(TARGET ${t})
            target_compile_options(${t} PRIVATE -Wno-error)
        endif()
    endforeach()
endif()
include(GoogleTest)

# qx_add_gtest(name sources... LIBS libs... [PROPERTIES prop value...]): one test program, its cases discovered at
# test time so that the Windows build's discovery also runs under the emulator with the test run's Wine prefix;
# PROPERTIES are set on every case besides the timeout.
function(qx_add_gtest name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} gmock gtest_main)
    gtest_discover_tests(${name} NO_PRETTY_VALUES DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 120 ${ARG_PROPERTIES})
endfunction()

# qx_windows_program(target [SHIPPED]): links a Windows program as the release is linked: our runtime objects
# ahead of the libraries (win/CMakeLists.txt) and stripped. A SHIPPED program also gets a link map with the
# linker's cross references, PROGRAM.exe.map beside it, for the import check in tests/imports/.
function(qx_windows_program target)
    cmake_parse_arguments(ARG "SHIPPED" "" "" ${ARGN})
    target_link_libraries(${target} PRIVATE qx_runtime)
    target_link_options(${target} PRIVATE -s)
    if(ARG_SHIPPED)
        set_property(TARGET ${target} PROPERTY QX_SHIPPED ON)
        target_link_options(${target} PRIVATE "LINKER:-Map=$<TARGET_FILE:${target}>.map" LINKER:--cref)
        set_property(GLOBAL APPEND PROPERTY QX_SHIPPED_PROGRAMS ${target})
    endif()
endfunction()
