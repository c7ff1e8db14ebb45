# Dependencies of the Windows build, made from Debian's source packages at
# build time (nothing of them lives in this repository):
#   lzo2_static     LZO 2 from the source package lzo2, compiled with the
#                   cross compiler;
#   python_import   the interpreter's headers from the source package
#                   python3.11 (Include/ and PC/pyconfig.h) and an import
#                   library for python311.dll, made by dlltool from
#                   cmake/python311.def, the interpreter functions the
#                   launcher calls.
# tools/fetch-windows-sources.sh unpacks the source packages into
# LAUNCHER_WINDOWS_SOURCES on the first configure.

set(LAUNCHER_WINDOWS_SOURCES "${CMAKE_BINARY_DIR}/windows-sources" CACHE PATH
  "Folder that holds the unpacked source packages lzo2 and python3.11")
set(LZO2_SOURCE_DIR "${LAUNCHER_WINDOWS_SOURCES}/lzo2")
set(PYTHON_SOURCE_DIR "${LAUNCHER_WINDOWS_SOURCES}/python3.11")

if(NOT EXISTS "${LZO2_SOURCE_DIR}/src/lzo1x_1.c" OR
   NOT EXISTS "${PYTHON_SOURCE_DIR}/PC/pyconfig.h")
  message(STATUS "Fetching the source packages lzo2 and python3.11 into ${LAUNCHER_WINDOWS_SOURCES}")
  execute_process(
    COMMAND "${PROJECT_SOURCE_DIR}/tools/fetch-windows-sources.sh" "${LAUNCHER_WINDOWS_SOURCES}"
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
set(PYTHON_DEF_FILE "${PROJECT_SOURCE_DIR}/cmake/python311.def")
set(PYTHON_IMPORT_LIBRARY "${CMAKE_BINARY_DIR}/libpython311.dll.a")
find_program(LAUNCHER_DLLTOOL NAMES ${CMAKE_DLLTOOL} i686-w64-mingw32-dlltool REQUIRED)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PYTHON_DEF_FILE}")
execute_process(
  COMMAND "${LAUNCHER_DLLTOOL}" --input-def "${PYTHON_DEF_FILE}" --dllname python311.dll
          --output-lib "${PYTHON_IMPORT_LIBRARY}"
  RESULT_VARIABLE dlltool_result)
if(NOT dlltool_result EQUAL 0)
  message(FATAL_ERROR "dlltool could not make ${PYTHON_IMPORT_LIBRARY} (${dlltool_result})")
endif()

add_library(python_import INTERFACE)
target_include_directories(python_import SYSTEM INTERFACE
  "${PYTHON_SOURCE_DIR}/Include" "${PYTHON_SOURCE_DIR}/PC")
target_link_libraries(python_import INTERFACE "${PYTHON_IMPORT_LIBRARY}")

# ---- tests under Wine ---------------------------------------------------------
set(LAUNCHER_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH
  "Wine prefix the tests run in (used when WINEPREFIX is not set)")
set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/cmake/wine-run.sh;${LAUNCHER_WINEPREFIX}")
