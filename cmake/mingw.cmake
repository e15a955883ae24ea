# Shared part of the MinGW-w64 cross toolchains.  The including file sets
# TINTY_MINGW_TRIPLE, and TINTY_MINGW_PACKAGES: the packages that bring the
# compilers, by system.  Debian and Ubuntu name the compilers by their thread
# model (-win32, -posix); Fedora, Arch, MSYS2's cross packages and Homebrew
# name them by the triple alone.
set(CMAKE_SYSTEM_NAME Windows)

# Finds a program under each name in turn; where none is found, names every
# name tried and the packages that bring it.
function(tinty_mingw_program variable what)
  find_program(${variable} NAMES ${ARGN})
  if(NOT ${variable})
    list(JOIN ARGN ", " tried)
    list(JOIN TINTY_MINGW_PACKAGES "; " packages)
    message(FATAL_ERROR "no MinGW-w64 ${what} for ${TINTY_MINGW_TRIPLE}: none of ${tried} is "
                        "on the PATH.  Install it: ${packages} (or run tools/setup.sh test)")
  endif()
endfunction()

tinty_mingw_program(TINTY_MINGW_CXX "C++ compiler" ${TINTY_MINGW_TRIPLE}-g++-win32
                    ${TINTY_MINGW_TRIPLE}-g++)
tinty_mingw_program(TINTY_MINGW_WINDRES "resource compiler" ${TINTY_MINGW_TRIPLE}-windres)
tinty_mingw_program(TINTY_OBJDUMP objdump ${TINTY_MINGW_TRIPLE}-objdump)
# The C compiler, which links, is the C++ compiler's own, named alike beside it.
string(REGEX REPLACE "-g\\+\\+([^/]*)$" "-gcc\\1" CMAKE_C_COMPILER ${TINTY_MINGW_CXX})
set(CMAKE_CXX_COMPILER ${TINTY_MINGW_CXX})
set(CMAKE_RC_COMPILER ${TINTY_MINGW_WINDRES})

# Debian, Arch and MSYS2 keep the target's files in /usr/<triple>, Fedora in
# its sys-root.
set(CMAKE_FIND_ROOT_PATH /usr/${TINTY_MINGW_TRIPLE} /usr/${TINTY_MINGW_TRIPLE}/sys-root/mingw)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Debian's compilers, among others, link msvcrt.dll by default: they link
# -lmsvcrt, and their libmsvcrt.a is msvcrt's import library.  A MinGW-w64
# built for the UCRT installs the UCRT's import library under that name, so
# the UCRT build does the same in a folder of its own that the linker reads
# first, and gives the headers their UCRT declarations (_UCRT).
if(TINTY_MINGW_CRT STREQUAL "ucrt")
  set(ucrt_lib ${CMAKE_BINARY_DIR}/ucrt-lib)
  if(NOT EXISTS ${ucrt_lib}/libmsvcrt.a)
    execute_process(COMMAND ${TINTY_MINGW_CXX} -print-file-name=libucrt.a
                    OUTPUT_VARIABLE ucrt OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    file(MAKE_DIRECTORY ${ucrt_lib})
    file(COPY_FILE ${ucrt} ${ucrt_lib}/libmsvcrt.a)
  endif()
  set(CMAKE_C_FLAGS_INIT -D_UCRT)
  set(CMAKE_CXX_FLAGS_INIT -D_UCRT)
  set(CMAKE_EXE_LINKER_FLAGS_INIT -L${ucrt_lib})
endif()
