# Shared part of the MinGW-w64 cross toolchains (Debian's win32-thread
# compilers); the including file sets TINTY_MINGW_TRIPLE and
# TINTY_MINGW_PACKAGE first.
set(CMAKE_SYSTEM_NAME Windows)
find_program(TINTY_MINGW_CXX ${TINTY_MINGW_TRIPLE}-g++-win32)
if(NOT TINTY_MINGW_CXX)
  message(FATAL_ERROR "${TINTY_MINGW_TRIPLE}-g++-win32 not found: install the Debian package "
                      "${TINTY_MINGW_PACKAGE} (or run tools/setup.sh test)")
endif()
set(CMAKE_C_COMPILER ${TINTY_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TINTY_MINGW_CXX})
set(CMAKE_RC_COMPILER ${TINTY_MINGW_TRIPLE}-windres)
set(TINTY_OBJDUMP ${TINTY_MINGW_TRIPLE}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${TINTY_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
