# CPack's configuration of the project, read once for each package: the
# .deb holds the debian component as well as the plain install, every other
# package the plain install alone; and the package times are fixed.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_TINTY_BUILD_DIR};tinty;ALL;/"
                                   "${CPACK_TINTY_BUILD_DIR};tinty;debian;/")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/reproducible.cmake)
