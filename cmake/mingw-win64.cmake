# Cross build for 64-bit Windows with mingw-w64 (posix threads: GoogleTest needs std::mutex).
set(QX_MINGW_TRIPLET x86_64-w64-mingw32)
set(QX_WINDOWS_BUILD win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
