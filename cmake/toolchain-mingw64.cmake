# The 64-bit Windows build (x86_64-w64-mingw32), for running the Windows tests
# under Wine on machines that cannot run 32-bit programs; the launcher's own
# platform is the 32-bit build of toolchain-mingw32.cmake.
set(LAUNCHER_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw32.cmake)
