# Compile and link flags of the tinty target.  Linker flags that not every
# linker knows are checked first.
include(CheckLinkerFlag)

target_compile_options(tinty PRIVATE -Wall -Wextra -Wpedantic -fno-exceptions -fno-rtti
                                     -fno-asynchronous-unwind-tables -ffunction-sections
                                     "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=")
# For PE targets GCC puts zero-initialised data of its own section into .data,
# where the output buffer would fill 16 KiB of the exe: there it stays in .bss.
if(NOT WIN32)
  target_compile_options(tinty PRIVATE -fdata-sections)
endif()
# 32-bit Windows keeps its stack 4-byte aligned, as its ABI has it, and
# needs no frame pointer: GCC's defaults cost code in every function.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_compile_options(tinty PRIVATE -fomit-frame-pointer -mpreferred-stack-boundary=2)
endif()
# No C++ library is used, so link as a C program: the C runtime alone.
set_target_properties(tinty PROPERTIES LINKER_LANGUAGE C)

# Adds a linker flag where the linker takes it, in the configurations named
# after it (in every one where none is named).
function(tinty_link_option flag)
  string(MAKE_C_IDENTIFIER "TINTY_LINKER_HAS${flag}" result)
  check_linker_flag(C "${flag}" ${result})
  if(${result} AND ARGN)
    list(JOIN ARGN "," configs)
    target_link_options(tinty PRIVATE "$<$<CONFIG:${configs}>:${flag}>")
  elseif(${result})
    target_link_options(tinty PRIVATE ${flag})
  endif()
endfunction()

tinty_link_option(LINKER:--gc-sections)
# The release builds are small as built; the Linux packages and `cmake
# --install --strip` strip whatever the configuration.  binutils' strip
# would stamp a Windows exe with a time, so that one is stripped as it is
# linked, in every configuration.
if(WIN32)
  tinty_link_option(-s)
else()
  tinty_link_option(-s Release MinSizeRel)
endif()

if(WIN32)
  # Call msvcrt's own printf rather than MinGW-w64's statically linked
  # replacement (some 20 KiB).
  target_compile_definitions(tinty PRIVATE __USE_MINGW_ANSI_STDIO=0 WIN32_LEAN_AND_MEAN)
  # The exe is one whole: optimised across its files, it keeps within 20 KiB
  # (the x86-64 exe has a few bytes to spare).
  target_compile_options(tinty PRIVATE -flto)
  target_link_options(tinty PRIVATE -flto)
  tinty_link_option(-static-libgcc)
  # No link time stamp: the same sources give the same exe.
  tinty_link_option(LINKER:--no-insert-timestamp)
elseif(TINTY_LIBC STREQUAL "musl")
  # Not checked: a musl build that cannot link statically must fail.
  target_link_options(tinty PRIVATE -static)
endif()

if(TINTY_SANITIZE)
  target_compile_options(tinty PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=all
                                       -fno-omit-frame-pointer)
  target_link_options(tinty PRIVATE -fsanitize=address,undefined)
endif()
