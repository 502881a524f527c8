# diffmark_plugin(<target> SOURCES <file>... [EXPORTS <name>...] [OUTPUT_DIRECTORY <dir>])
#
# Builds an image-input plug-in: a loadable module named <target>.spi that
# exports the listed functions (default: GetPluginInfo and GetPicture)
# under their plain names.  On Windows a .def file gives the names; on
# 32-bit Windows it maps them to the __stdcall symbols (Name@bytes), and with
# ld's stdcall fixup off a definition with another calling convention or
# argument list does not link.
# After linking, the export table is checked: every listed name present, and
# neither function exported decorated (Name@N or _Name@N).
#
# Without OUTPUT_DIRECTORY the plug-in goes to DIFFMARK_PLUGIN_OUTPUT_DIRECTORY
# when the including project sets it (diffmark's own tree: build/<preset>/plugins,
# the folder its test suite loads every built plug-in from, listed in the
# global property DIFFMARK_PLUGINS), else where CMake puts a library.
set(DIFFMARK_STDCALL_BYTES_GetPluginInfo 12)
set(DIFFMARK_STDCALL_BYTES_GetPicture 28)
set(DIFFMARK_PLUGIN_EXPORT_CHECK ${CMAKE_CURRENT_LIST_DIR}/CheckPluginExports.cmake)

function(diffmark_plugin target)
  cmake_parse_arguments(P "" "OUTPUT_DIRECTORY" "SOURCES;EXPORTS;CDECL_EXPORTS" ${ARGN})
  if(NOT P_EXPORTS AND NOT P_CDECL_EXPORTS)
    set(P_EXPORTS GetPluginInfo GetPicture)
  endif()
  if(NOT P_OUTPUT_DIRECTORY AND DIFFMARK_PLUGIN_OUTPUT_DIRECTORY)
    set(P_OUTPUT_DIRECTORY ${DIFFMARK_PLUGIN_OUTPUT_DIRECTORY})
  endif()
  if(DIFFMARK_PLUGIN_OUTPUT_DIRECTORY AND P_OUTPUT_DIRECTORY STREQUAL DIFFMARK_PLUGIN_OUTPUT_DIRECTORY)
    set_property(GLOBAL APPEND PROPERTY DIFFMARK_PLUGINS ${target})
  endif()
  add_library(${target} MODULE ${P_SOURCES})
  target_link_libraries(${target} PRIVATE diffmark::plugin)
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".spi" C_VISIBILITY_PRESET hidden)
  if(P_OUTPUT_DIRECTORY)
    set_target_properties(${target} PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY ${P_OUTPUT_DIRECTORY} RUNTIME_OUTPUT_DIRECTORY ${P_OUTPUT_DIRECTORY})
  endif()
  if(WIN32)
    set(lines "")
    foreach(fn IN LISTS P_EXPORTS)
      if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        string(APPEND lines "  ${fn}=${fn}@${DIFFMARK_STDCALL_BYTES_${fn}}\n")
      else()
        string(APPEND lines "  ${fn}\n")
      endif()
    endforeach()
    foreach(fn IN LISTS P_CDECL_EXPORTS)
      string(APPEND lines "  ${fn}\n")
    endforeach()
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
    file(WRITE ${def} "EXPORTS\n${lines}")
    target_sources(${target} PRIVATE ${def})
    target_link_options(${target} PRIVATE -static)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      # No "fixup": ld would otherwise quietly export a __cdecl GetPicture
      # for GetPicture@28, and the host's calls would corrupt its stack.
      target_link_options(${target} PRIVATE -Wl,--disable-stdcall-fixup)
    endif()
    if(CMAKE_OBJDUMP)
      add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DPLUGIN=$<TARGET_FILE:${target}>
          "-DEXPORTS=${P_EXPORTS}" -P ${DIFFMARK_PLUGIN_EXPORT_CHECK}
        VERBATIM)
    endif()
  endif()
endfunction()
