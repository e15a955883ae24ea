# Cross build for x86-64 Windows; the result runs here under Wine, which the
# tests use as their emulator.
set(TINTY_MINGW_TRIPLE x86_64-w64-mingw32)
set(TINTY_MINGW_PACKAGES "Debian, Ubuntu: g++-mingw-w64-x86-64-win32" "Fedora: mingw64-gcc-c++"
                         "Arch: mingw-w64-gcc" "MSYS2: mingw-w64-cross-gcc")
set(CMAKE_SYSTEM_PROCESSOR AMD64)
# Where Debian puts it; other systems give theirs with -DCMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64 CACHE FILEPATH "Wine's 64-bit loader")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
