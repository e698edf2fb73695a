# Cross build for Windows with MinGW-w64 (i686). The posix thread model gives the standard
# library its std::mutex; everything is linked statically so the program is one .exe.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZIPSALVAGE_MINGW_PREFIX i686-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${ZIPSALVAGE_MINGW_PREFIX}-gcc-posix ${ZIPSALVAGE_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZIPSALVAGE_MINGW_PREFIX}-g++-posix ${ZIPSALVAGE_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZIPSALVAGE_MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${ZIPSALVAGE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")  # release programs ship without symbols
