# Read by cpack in three roles, so that the same sources give the same
# package bytes (see CPACK_SOURCE_DATE_EPOCH in packaging.cmake):
# - as the project's CPack configuration: fixes the time that the package
#   formats record, where SOURCE_DATE_EPOCH is not set;
# - before a package is made: gives every staged file and folder that time;
# - after an archive is made: writes it again sorted by name, owned by root,
#   with no time stamp in the gzip header, since the archive writer takes
#   files in the order the file system lists them.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_SOURCE_DATE_EPOCH})
endif()
set(epoch $ENV{SOURCE_DATE_EPOCH})

if(CPACK_PACKAGE_FILES AND CPACK_GENERATOR STREQUAL "TGZ")
  get_filename_component(top ${CPACK_TEMPORARY_DIRECTORY} NAME)
  execute_process(
    COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@${epoch} --format=gnu
            -C ${CPACK_TOPLEVEL_DIRECTORY} -cf - ${top}
    COMMAND gzip -9n OUTPUT_FILE ${CPACK_PACKAGE_FILES} COMMAND_ERROR_IS_FATAL ANY)
elseif(CPACK_PACKAGE_FILES AND CPACK_GENERATOR STREQUAL "ZIP")
  # The archive writer records every file's change time, which no one can
  # set; zip -X records the modification time alone, in local time: UTC.
  find_program(zip zip)
  if(NOT zip)
    message(WARNING "zip not found (Debian package zip): the ZIP keeps the files' change times")
    return()
  endif()
  file(GLOB_RECURSE files RELATIVE ${CPACK_TEMPORARY_DIRECTORY} ${CPACK_TEMPORARY_DIRECTORY}/*)
  file(REMOVE ${CPACK_PACKAGE_FILES})
  set(ENV{TZ} UTC)
  execute_process(COMMAND ${zip} -X -D -q -9 ${CPACK_PACKAGE_FILES} ${files}
                  WORKING_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY} COMMAND_ERROR_IS_FATAL ANY)
elseif(CPACK_TEMPORARY_INSTALL_DIRECTORY AND EXISTS ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
  file(GLOB_RECURSE staged LIST_DIRECTORIES true ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*)
  execute_process(COMMAND touch -h -d @${epoch} ${CPACK_TEMPORARY_INSTALL_DIRECTORY} ${staged}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
