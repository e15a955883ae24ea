# Read by CPack once for each package: the .deb holds the files of the
# debian component as well, every other package the plain install alone.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL Unspecified debian)
else()
  set(CPACK_COMPONENTS_ALL Unspecified)
endif()
