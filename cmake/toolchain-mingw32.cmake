# Cross build of the Windows launcher: 32-bit MinGW-w64 with the POSIX thread
# model, Debian's i686-w64-mingw32 tools (cmake/toolchain-mingw64.cmake sets
# LAUNCHER_MINGW_PREFIX to x86_64-w64-mingw32 first, for the 64-bit test build).
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake
#
# Tests run under Wine through CMAKE_CROSSCOMPILING_EMULATOR (set by
# cmake/windows_deps.cmake, which knows the build folder).
set(CMAKE_SYSTEM_NAME Windows)
if(NOT LAUNCHER_MINGW_PREFIX)
  set(LAUNCHER_MINGW_PREFIX i686-w64-mingw32)
endif()
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${LAUNCHER_MINGW_PREFIX}")
set(CMAKE_C_COMPILER ${LAUNCHER_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LAUNCHER_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${LAUNCHER_MINGW_PREFIX}-windres)
set(CMAKE_AR ${LAUNCHER_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${LAUNCHER_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_DLLTOOL ${LAUNCHER_MINGW_PREFIX}-dlltool CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${LAUNCHER_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every executable carries its own C++ runtime: no libgcc, libstdc++ or
# winpthread DLL has to travel with it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

