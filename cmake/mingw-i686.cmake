# Cross build of the 32-bit x86 Windows release exe; the tests run it under
# Wine's 32-bit loader (Debian's wine32:i386).
set(TINTY_MINGW_TRIPLE i686-w64-mingw32)
set(TINTY_MINGW_PACKAGES "Debian, Ubuntu: g++-mingw-w64-i686-win32" "Fedora: mingw32-gcc-c++"
                         "Arch: mingw-w64-gcc" "MSYS2: mingw-w64-cross-gcc")
set(CMAKE_SYSTEM_PROCESSOR x86)
# Where Debian puts it; other systems give theirs with -DCMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine CACHE FILEPATH "Wine's 32-bit loader")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
