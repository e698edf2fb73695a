# Cross build for Windows with MinGW-w64 (i686). The posix thread model gives the standard
# library its std::mutex; everything is linked statically so the program is one .exe.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZIPSALVAGE_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
