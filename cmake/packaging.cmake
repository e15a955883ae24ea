# Install layout and packages.  The version comes from project() alone.
# Packages are reproducible: file times are SOURCE_DATE_EPOCH, or the last
# commit's time where it is not set; owners and modes are fixed.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(TINTY_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE TINTY_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET RESULT_VARIABLE git_failed)
  if(git_failed OR NOT TINTY_SOURCE_DATE_EPOCH)
    file(TIMESTAMP ${PROJECT_SOURCE_DIR}/CMakeLists.txt TINTY_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
endif()

if(WIN32)
  # The Windows ZIP holds the exe, the README and the licence side by side.
  install(TARGETS tinty RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-win32")
  else()
    set(CPACK_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-win64")
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  # The manual page and the changelog are installed gzipped, with no name or
  # time stamp in the gzip header.
  set(gzipped)
  foreach(doc tinty.1 changelog)
    add_custom_command(OUTPUT ${doc}.gz
                       COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/docs/${doc} > ${doc}.gz
                       DEPENDS docs/${doc} VERBATIM)
    list(APPEND gzipped ${PROJECT_BINARY_DIR}/${doc}.gz)
  endforeach()
  add_custom_target(gzipped_docs ALL DEPENDS ${gzipped})

  install(TARGETS tinty RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/tinty.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md docs/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Says why the static package has no dependencies; a Debian file, which
  # only the .deb holds (cmake/cpack-config.cmake).
  if(TINTY_LIBC STREQUAL "musl")
    install(FILES docs/lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME tinty
            COMPONENT debian EXCLUDE_FROM_ALL)
  endif()
  set(CPACK_TINTY_BUILD_DIR ${PROJECT_BINARY_DIR})
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  if(NOT TINTY_LIBC STREQUAL "musl")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
  endif()
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The tinty developers")
set(CPACK_PACKAGE_CONTACT "The tinty developers <maintainers@tinty-console.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write text in a chosen console colour")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "writes one piece of text in a chosen background and foreground colour,
with no line end, then gives the terminal back its own colours. Calls in a
row colour the pieces of one line, for shell scripts and batch files.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_SOURCE_DATE_EPOCH ${TINTY_SOURCE_DATE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-config.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/reproducible.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/reproducible.cmake)
include(CPack)
