# Cross build for Windows with MinGW-w64 (x86_64). The posix thread model gives the standard
# library its std::mutex; everything is linked statically so the program is one .exe.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZIPSALVAGE_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
