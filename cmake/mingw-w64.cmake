# Cross-compiles the Windows build with Debian's mingw-w64 (posix threads
# flavour, which the GoogleTest build needs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(UF_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${UF_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UF_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${UF_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${UF_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs run under Wine, in a prefix of the build's own.
get_filename_component(UF_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${UF_SOURCE_ROOT}/tests/scripts/wine-run.sh;--prefix=${CMAKE_BINARY_DIR}/wineprefix")
