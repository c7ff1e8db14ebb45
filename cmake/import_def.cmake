# Writes the module-definition file of a DLL's import library: every function
# it names, with the decoration of the 32-bit calling convention kept
# (dlltool --kill-at strips it from the imported names).
#   cmake -DNM=... -DLIBRARY=libfoo.a -DDEF=foo.def -P import_def.cmake
execute_process(COMMAND ${NM} ${LIBRARY} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "I __imp_[^\r\n]+" imports "${symbols}")
set(text "EXPORTS\n")
foreach(import IN LISTS imports)
  string(REGEX REPLACE "^I __imp_" "" name "${import}")
  # 32-bit names carry the C prefix underscore; 64-bit names do not.
  if(LIBRARY MATCHES "i686")
    string(REGEX REPLACE "^_" "" name "${name}")
  endif()
  string(APPEND text "${name}\n")
endforeach()
file(WRITE ${DEF} "${text}")
