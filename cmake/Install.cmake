# The image library as an installable package, for two kinds of users:
#   callers:        #include <diffmark/imageload.h>, link diffmark::image
#                   (CMake) or the pkg-config package "diffmark";
#   plug-in authors: #include <diffmark/spi.h>, link the header-only
#                   diffmark::plugin or pkg-config "diffmark-plugin", and
#                   build with diffmark_plugin(), installed with the package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(DIFFMARK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/diffmark)
set(DIFFMARK_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/diffmark/plugins)

install(TARGETS diffmark RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS diffmark_image diffmark_plugin_interface
  EXPORT diffmarkTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES
  bitmap/include/diffmark/bitmap.h
  imageload/include/diffmark/imageload.h
  imageload/include/diffmark/spi.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/diffmark)
install(EXPORT diffmarkTargets NAMESPACE diffmark:: DESTINATION ${DIFFMARK_CMAKE_DIR})

configure_package_config_file(cmake/diffmarkConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/diffmarkConfig.cmake
  INSTALL_DESTINATION ${DIFFMARK_CMAKE_DIR}
  PATH_VARS DIFFMARK_PLUGIN_INSTALL_DIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/diffmarkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/diffmarkConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/diffmarkConfigVersion.cmake
  cmake/DiffmarkPlugin.cmake
  cmake/CheckPluginExports.cmake
  DESTINATION ${DIFFMARK_CMAKE_DIR})

# pkg-config: the same two packages.  The library is static, so its own
# needs (libdl) and the export of the plug-ins' allocator go in Libs.
if(WIN32)
  set(DIFFMARK_PC_LIBS "-luser32 -lkernel32")
else()
  set(DIFFMARK_PC_LIBS "${CMAKE_DL_LIBS}")
  if(DIFFMARK_PC_LIBS)
    set(DIFFMARK_PC_LIBS "-l${DIFFMARK_PC_LIBS}")
  endif()
  foreach(fn GlobalAlloc GlobalLock GlobalUnlock GlobalFree GlobalSize)
    string(APPEND DIFFMARK_PC_LIBS " -Wl,--undefined=${fn} -Wl,--export-dynamic-symbol=${fn}")
  endforeach()
endif()
# The paths are relative to the .pc file's own folder (${pcfiledir}, which
# pkg-config and pkgconf set), so that the package works wherever it is
# installed (cmake --install --prefix) or moved to.  A directory given as
# an absolute path stays as it is.
set(DIFFMARK_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${DIFFMARK_PC_DIR}")
  set(DIFFMARK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  # From <libdir>/pkgconfig back up to the prefix: one ".." a component.
  file(RELATIVE_PATH DIFFMARK_PC_UP "/prefix/${DIFFMARK_PC_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" DIFFMARK_PC_UP "${DIFFMARK_PC_UP}")
  set(DIFFMARK_PC_PREFIX "\${pcfiledir}/${DIFFMARK_PC_UP}")
endif()
foreach(dir LIBDIR INCLUDEDIR PLUGINDIR)
  if(dir STREQUAL "PLUGINDIR")
    set(path ${DIFFMARK_PLUGIN_INSTALL_DIR})
  else()
    set(path ${CMAKE_INSTALL_${dir}})
  endif()
  if(IS_ABSOLUTE "${path}")
    set(DIFFMARK_PC_${dir} "${path}")
  else()
    set(DIFFMARK_PC_${dir} "\${prefix}/${path}")
  endif()
endforeach()
configure_file(cmake/diffmark.pc.in ${CMAKE_CURRENT_BINARY_DIR}/diffmark.pc @ONLY)
configure_file(cmake/diffmark-plugin.pc.in ${CMAKE_CURRENT_BINARY_DIR}/diffmark-plugin.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/diffmark.pc ${CMAKE_CURRENT_BINARY_DIR}/diffmark-plugin.pc
  DESTINATION ${DIFFMARK_PC_DIR})
