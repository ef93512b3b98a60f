# The build's facts for the programs' version texts and resources: the project version and the commit the build
# was configured from, in ${CMAKE_BINARY_DIR}/generated/qx_build_info.h. A new commit re-runs the configuration,
# so the text follows the checkout; outside a git checkout the commit says so.
find_package(Git QUIET)
set(QX_BUILD_COMMIT "unknown (not built from a git checkout)")
if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=12 HEAD WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status ERROR_QUIET)
    if(status EQUAL 0 AND commit)
        set(QX_BUILD_COMMIT ${commit})
        # Re-configure when HEAD moves: HEAD itself (a checkout) and the branch it names (a commit).
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --symbolic-full-name HEAD
                        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE branch
                        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        foreach(ref HEAD ${branch})
            execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path ${ref}
                            WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE ref_file
                            OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
            if(ref_file AND EXISTS ${ref_file})
                set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ref_file})
            endif()
        endforeach()
    endif()
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/qx_build_info.h.in ${CMAKE_BINARY_DIR}/generated/qx_build_info.h @ONLY)
