# The Linux build: static against musl, so that a call starts as cheaply as
# any process can and the binary runs on any x86-64 Linux.  Configure with
# -DTINTY_LIBC=system to build against the system C library instead.
set(TINTY_LIBC musl CACHE STRING "C library of the Linux build: musl (static) or system")
set_property(CACHE TINTY_LIBC PROPERTY STRINGS musl system)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TINTY_LIBC)

if(TINTY_LIBC STREQUAL "musl")
  find_program(TINTY_MUSL_GCC musl-gcc)
  if(NOT TINTY_MUSL_GCC)
    message(FATAL_ERROR "musl-gcc not found: install the Debian package musl-tools "
                        "(apt-get install musl-tools), or configure with -DTINTY_LIBC=system "
                        "to build against the system C library.")
  endif()
  # musl-gcc compiles C++ as well: the program uses the C library's headers
  # only, and links as C, so no C++ library is involved.
  set(CMAKE_C_COMPILER ${TINTY_MUSL_GCC})
  set(CMAKE_CXX_COMPILER ${TINTY_MUSL_GCC})
endif()
