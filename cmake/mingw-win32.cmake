# Cross build for 32-bit Windows with mingw-w64 (posix threads: GoogleTest needs std::mutex).
set(QX_MINGW_TRIPLET i686-w64-mingw32)
set(QX_WINDOWS_BUILD win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
