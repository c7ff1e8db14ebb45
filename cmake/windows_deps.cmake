# Dependencies of the Windows build, made from Debian's source packages at
# build time (nothing of them lives in this repository):
#   lzo2_static     LZO 2 from the source package lzo2, compiled with the
#                   cross compiler;
#   python_import   the headers of the Windows interpreter that
#                   tools/windows-python/build.sh made into
#                   LAUNCHER_WINDOWS_PYTHON, and the import library of its
#                   python311.dll made by the same build.
# tools/fetch-windows-sources.sh unpacks the source packages into
# LAUNCHER_WINDOWS_SOURCES on the first configure.
#
# The interpreter's files (python311.dll, python311.zip, the .pyd extension
# modules) are copied beside the launcher and beside the tests that load it.

set(LAUNCHER_WINDOWS_SOURCES "${CMAKE_BINARY_DIR}/windows-sources" CACHE PATH
  "Folder that holds the unpacked source packages lzo2 and python3.11")
set(LZO2_SOURCE_DIR "${LAUNCHER_WINDOWS_SOURCES}/lzo2")
set(PYTHON_SOURCE_DIR "${LAUNCHER_WINDOWS_SOURCES}/python3.11")

if(NOT EXISTS "${LZO2_SOURCE_DIR}/src/lzo1x_1.c" OR
   NOT EXISTS "${PYTHON_SOURCE_DIR}/PC/pyconfig.h")
  message(STATUS "Fetching the source packages lzo2 and python3.11 into ${LAUNCHER_WINDOWS_SOURCES}")
  execute_process(
    COMMAND "${PROJECT_SOURCE_DIR}/tools/fetch-windows-sources.sh" "${LAUNCHER_WINDOWS_SOURCES}"
            lzo2 python3.11
    RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "tools/fetch-windows-sources.sh failed (${fetch_result})")
  endif()
endif()

# ---- LZO 2 --------------------------------------------------------------------
file(GLOB LZO2_LIBRARY_SOURCES "${LZO2_SOURCE_DIR}/src/*.c")
add_library(lzo2_static STATIC ${LZO2_LIBRARY_SOURCES})
target_include_directories(lzo2_static
  SYSTEM PUBLIC "${LZO2_SOURCE_DIR}/include"
  PRIVATE "${LZO2_SOURCE_DIR}")
# Third-party code: optimised as its own build does it, without our warnings.
target_compile_options(lzo2_static PRIVATE -O2 -w)

# ---- the interpreter --------------------------------------------------------
set(LAUNCHER_WINDOWS_PYTHON "${LAUNCHER_WINDOWS_SOURCES}/windows-python/${LAUNCHER_MINGW_PREFIX}/dist" CACHE PATH
  "Folder of the Windows interpreter (tools/windows-python/build.sh)")
if(NOT EXISTS "${LAUNCHER_WINDOWS_PYTHON}/python311.dll" OR
   NOT EXISTS "${LAUNCHER_WINDOWS_PYTHON}/include/pyconfig.h")
  message(FATAL_ERROR "No Windows interpreter in ${LAUNCHER_WINDOWS_PYTHON}: "
    "build it with tools/windows-python/build.sh ${LAUNCHER_WINDOWS_SOURCES} ${LAUNCHER_MINGW_PREFIX}")
endif()
file(GLOB LAUNCHER_WINDOWS_PYTHON_FILES
  "${LAUNCHER_WINDOWS_PYTHON}/python311.dll" "${LAUNCHER_WINDOWS_PYTHON}/python311.zip"
  "${LAUNCHER_WINDOWS_PYTHON}/*.pyd")

# Copies the interpreter's files beside a target's executable after each build.
function(place_windows_interpreter target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${LAUNCHER_WINDOWS_PYTHON_FILES}
            "$<TARGET_FILE_DIR:${target}>"
    VERBATIM)
endfunction()

# The import library that the interpreter build made with python311.dll: it
# names every function the DLL exports.
set(PYTHON_IMPORT_LIBRARY "${LAUNCHER_WINDOWS_PYTHON}/libpython311.dll.a")
if(NOT EXISTS "${PYTHON_IMPORT_LIBRARY}")
  message(FATAL_ERROR "${PYTHON_IMPORT_LIBRARY} is missing: rebuild the Windows interpreter "
    "with tools/windows-python/build.sh")
endif()

# WinINet is bound at its first call (a delay-loaded import), not when the
# process starts: it brings user32, gdi32 and shell32 along, and a run whose
# logs are not uploaded never needs any of them. The delay-import library is
# made from the toolchain's import library, which names every function.
find_file(WININET_IMPORT_LIBRARY libwininet.a PATHS /usr/${LAUNCHER_MINGW_PREFIX}/lib NO_DEFAULT_PATH)
set(WININET_DELAY_DEF "${CMAKE_BINARY_DIR}/wininet.def")
set(WININET_DELAY_LIBRARY "${CMAKE_BINARY_DIR}/libwininet_delay.a")
add_custom_command(OUTPUT "${WININET_DELAY_LIBRARY}"
  COMMAND ${CMAKE_COMMAND} -DNM=${LAUNCHER_MINGW_PREFIX}-nm -DLIBRARY=${WININET_IMPORT_LIBRARY}
          -DDEF=${WININET_DELAY_DEF} -P "${PROJECT_SOURCE_DIR}/cmake/import_def.cmake"
  COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def "${WININET_DELAY_DEF}" --dllname wininet.dll
          --output-delaylib "${WININET_DELAY_LIBRARY}"
  DEPENDS "${WININET_IMPORT_LIBRARY}" "${PROJECT_SOURCE_DIR}/cmake/import_def.cmake"
  VERBATIM)
add_custom_target(wininet_delay_library DEPENDS "${WININET_DELAY_LIBRARY}")
add_library(wininet_delay INTERFACE)
add_dependencies(wininet_delay wininet_delay_library)
target_link_libraries(wininet_delay INTERFACE "${WININET_DELAY_LIBRARY}" delayimp)

add_library(python_import INTERFACE)
target_include_directories(python_import SYSTEM INTERFACE "${LAUNCHER_WINDOWS_PYTHON}/include")
target_link_libraries(python_import INTERFACE "${PYTHON_IMPORT_LIBRARY}")

# ---- tests under Wine ---------------------------------------------------------
set(LAUNCHER_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH
  "Wine prefix the tests run in (used when WINEPREFIX is not set)")
# Wine's loader for the build's architecture: Debian's wine script starts the
# 32-bit loader whenever wine32 is installed, even where it cannot run.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(LAUNCHER_WINE_LOADER /usr/lib/wine/wine64)
else()
  set(LAUNCHER_WINE_LOADER wine)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
  "${PROJECT_SOURCE_DIR}/cmake/wine-run.sh;${LAUNCHER_WINEPREFIX};${LAUNCHER_WINE_LOADER}")
