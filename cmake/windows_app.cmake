# The application's resources linked into the Windows launcher: the resource
# script LAUNCHER_APP_RC (resources/launcher.rc: version resource with the
# configuration, manifest, icons, DATA files) compiled by windres, with the
# scrambled boot script that tools/mkapp.py makes from LAUNCHER_BOOT_SCRIPT.
# mkapp.py also writes lib.dll, the archive of the application's modules and
# of the Windows standard library modules they import (from
# LAUNCHER_APP_SOURCES), and picks the Windows interpreter's files that the
# application needs (python311.dll, python311.zip, .pyd files); all of them
# are copied beside the launcher.
#
# Used by the top-level CMakeLists.txt when LAUNCHER_APP_RC is set; the tests
# read LAUNCHER_APP_RC_FILE and LAUNCHER_BOOT_SCRIPT_RESOURCE.

set(LAUNCHER_BOOT_SCRIPT "${PROJECT_SOURCE_DIR}/examples/boot.py" CACHE FILEPATH
  "Python source of the boot script linked into the Windows launcher")
set(LAUNCHER_APP_SOURCES "${PROJECT_SOURCE_DIR}/examples/app" CACHE PATH
  "Folder of the application's modules, compiled into lib.dll")

get_filename_component(LAUNCHER_APP_RC_FILE "${LAUNCHER_APP_RC}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
get_filename_component(LAUNCHER_APP_RC_FOLDER "${LAUNCHER_APP_RC_FILE}" DIRECTORY)
set(LAUNCHER_APP_OUTPUT "${CMAKE_BINARY_DIR}/app")
set(LAUNCHER_BOOT_SCRIPT_RESOURCE "${LAUNCHER_APP_OUTPUT}/boot_script.bin")
set(LAUNCHER_APP_ARCHIVE "${LAUNCHER_APP_OUTPUT}/lib.dll")

file(GLOB_RECURSE LAUNCHER_APP_MODULES CONFIGURE_DEPENDS "${LAUNCHER_APP_SOURCES}/*.py")
file(GLOB_RECURSE LAUNCHER_BUILD_TOOL CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/tools/mkapp/*.py")
add_custom_command(
  OUTPUT "${LAUNCHER_BOOT_SCRIPT_RESOURCE}" "${LAUNCHER_APP_ARCHIVE}"
          "${LAUNCHER_APP_OUTPUT}/python311.dll" "${LAUNCHER_APP_OUTPUT}/python311.zip"
  COMMAND ${CMAKE_COMMAND} -E rm -rf "${LAUNCHER_APP_OUTPUT}"
  COMMAND /usr/bin/python3.11 "${PROJECT_SOURCE_DIR}/tools/mkapp.py"
          --rc "${LAUNCHER_APP_RC_FILE}" --boot-script "${LAUNCHER_BOOT_SCRIPT}"
          --app "${LAUNCHER_APP_SOURCES}" --windows-python "${LAUNCHER_WINDOWS_PYTHON}"
          --emit-rc "${LAUNCHER_APP_OUTPUT}"
  DEPENDS "${PROJECT_SOURCE_DIR}/tools/mkapp.py" ${LAUNCHER_BUILD_TOOL} "${LAUNCHER_BOOT_SCRIPT}"
          ${LAUNCHER_APP_MODULES} ${LAUNCHER_WINDOWS_PYTHON_FILES}
  COMMENT "Making the scrambled boot script and lib.dll with tools/mkapp.py")

# Everything the resource script pulls in, so that a change recompiles it.
file(GLOB_RECURSE LAUNCHER_APP_RESOURCE_FILES CONFIGURE_DEPENDS "${LAUNCHER_APP_RC_FOLDER}/*")
list(REMOVE_ITEM LAUNCHER_APP_RESOURCE_FILES "${LAUNCHER_APP_RC_FILE}")

target_sources(launcher PRIVATE "${LAUNCHER_APP_RC_FILE}")
set_source_files_properties("${LAUNCHER_APP_RC_FILE}" PROPERTIES
  INCLUDE_DIRECTORIES "${LAUNCHER_APP_RC_FOLDER};${LAUNCHER_APP_OUTPUT}"
  OBJECT_DEPENDS "${LAUNCHER_BOOT_SCRIPT_RESOURCE};${LAUNCHER_APP_RESOURCE_FILES}")
# lib.dll, python311.dll, python311.zip and the extension modules: every file
# of the output folder but what the resource script compiled in.
add_custom_command(TARGET launcher POST_BUILD
  COMMAND /bin/sh -c "cd '${LAUNCHER_APP_OUTPUT}' && cp -p lib.dll python311.dll python311.zip $(ls *.pyd 2>/dev/null) '$<TARGET_FILE_DIR:launcher>/'"
  VERBATIM)
