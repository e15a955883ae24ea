# Cross build for x86-64 Windows; the result runs here under Wine, which the
# tests use as their emulator.
set(TINTY_MINGW_TRIPLE x86_64-w64-mingw32)
set(TINTY_MINGW_PACKAGE g++-mingw-w64-x86-64-win32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
