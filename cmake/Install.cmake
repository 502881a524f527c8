# The image library as an installable package: headers under
# include/diffmark, static libraries, and a CMake package diffmark::image.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS diffmark RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS diffmark_platform diffmark_bitmap diffmark_imageload
  EXPORT diffmarkTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES platform/platform.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/diffmark/platform)
install(FILES bitmap/bitmap.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/diffmark/bitmap)
install(FILES imageload/imageload.h imageload/spi.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/diffmark/imageload)
install(EXPORT diffmarkTargets NAMESPACE diffmark:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/diffmark)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/diffmarkConfig.cmake
  "include(\"\${CMAKE_CURRENT_LIST_DIR}/diffmarkTargets.cmake\")\n"
  "if(NOT TARGET diffmark::image)\n"
  "  add_library(diffmark::image INTERFACE IMPORTED)\n"
  "  set_target_properties(diffmark::image PROPERTIES INTERFACE_LINK_LIBRARIES diffmark::diffmark_imageload)\n"
  "endif()\n")
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/diffmarkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/diffmarkConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/diffmarkConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/diffmark)
