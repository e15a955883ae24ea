# Cross build for x86-64 Windows against the Universal C Runtime (ucrtbase.dll,
# through the api-ms-win-crt-* sets), the runtime of MSYS2's UCRT64 shell:
# the compilers of the x86-64 build, with MinGW-w64's UCRT import libraries.
set(TINTY_MINGW_CRT ucrt)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-x86_64.cmake)
