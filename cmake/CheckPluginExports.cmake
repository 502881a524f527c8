# cmake -DOBJDUMP=<objdump> -DPLUGIN=<file.spi> -DEXPORTS=<name;...> -P CheckPluginExports.cmake
#
# Checks a Windows plug-in's export table after linking: every name in
# EXPORTS is exported under its plain name, and GetPluginInfo/GetPicture
# are not (also) exported decorated, as Name@N or _Name@N, the way a
# __stdcall function is named without a .def file.  On failure the plug-in
# is deleted, so that the next build links and checks it again.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${PLUGIN}
  OUTPUT_VARIABLE dump RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  file(REMOVE ${PLUGIN})
  message(FATAL_ERROR "${PLUGIN}: ${OBJDUMP} failed: ${errors}")
endif()

# The names follow "[Ordinal/Name Pointer] Table" as lines "\t[   0] Name".
set(names "")
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at GREATER -1)
  string(SUBSTRING "${dump}" ${at} -1 table)
  string(REGEX MATCHALL "\n[ \t]*\\[[ 0-9]+\\] [^\n]+" entries "${table}")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^\n[ \t]*\\[[ 0-9]+\\] " "" name "${entry}")
    string(STRIP "${name}" name)
    list(APPEND names "${name}")
  endforeach()
endif()

set(problems "")
foreach(wanted IN LISTS EXPORTS)
  if(NOT wanted IN_LIST names)
    string(APPEND problems "\n  ${wanted} is not exported under its plain name")
  endif()
endforeach()
foreach(name IN LISTS names)
  if(name MATCHES "^_?(GetPluginInfo|GetPicture)@[0-9]+$")
    string(APPEND problems "\n  ${name} is exported decorated (declare it SPI_CALL and export it through the .def file only)")
  endif()
endforeach()
if(problems)
  file(REMOVE ${PLUGIN})
  message(FATAL_ERROR "${PLUGIN}: wrong plug-in exports:${problems}\n  exported: ${names}")
endif()
