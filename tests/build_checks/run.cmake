# cmake -DSOURCE=<this folder> -DBINARY=<scratch folder> -DGENERATOR=<generator>
#       -DTOOLCHAIN=<toolchain file> -DPLUGIN_CMAKE=<DiffmarkPlugin.cmake> -P run.cmake
#
# Builds small 32-bit plug-ins with diffmark_plugin(): the good one must
# build, and each kind of wrong export must fail the build.
cmake_minimum_required(VERSION 3.25)
set(expect_good ON)
set(expect_cdecl OFF)       # __cdecl under the plain names: no GetPicture@28 to export
set(expect_shortargs OFF)   # GetPicture@24 instead of GetPicture@28
set(expect_decorated OFF)   # GetPicture@28 exported besides GetPicture
set(failures "")
foreach(variant good cdecl shortargs decorated)
  set(dir ${BINARY}/${variant})
  file(REMOVE_RECURSE ${dir})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${dir} -G ${GENERATOR}
      -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DPLUGIN_CMAKE=${PLUGIN_CMAKE} -DVARIANT=${variant}
    RESULT_VARIABLE configured OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT configured EQUAL 0)
    message(FATAL_ERROR "${variant}: configuring failed:\n${out}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${dir}
    RESULT_VARIABLE built OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(built EQUAL 0)
    set(ok ON)
  else()
    set(ok OFF)
  endif()
  if(NOT ok STREQUAL expect_${variant})
    string(APPEND failures "\n${variant}: build ${ok}, expected ${expect_${variant}}:\n${out}")
  else()
    message(STATUS "${variant}: build ${ok}, as expected")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "plug-in export checks:${failures}")
endif()
