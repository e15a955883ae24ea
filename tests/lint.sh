#!/usr/bin/env bash
# Formatting and static analysis of the sources: clang-format, clang-tidy
# (with the build's compile commands) and cppcheck, each where installed.
set -euo pipefail
src=$1 build=$2
cd "$src"
files=(src/*.cpp src/*.h)
status=0
if command -v clang-format >/dev/null; then
  clang-format --dry-run -Werror "${files[@]}" || status=1
fi
if command -v clang-tidy >/dev/null; then
  clang-tidy --quiet -p "$build" src/color_console.cpp src/console_posix.cpp || status=1
fi
if command -v cppcheck >/dev/null; then
  cppcheck --enable=warning,style,performance,portability --std=c++17 --error-exitcode=1 \
    --suppress=missingIncludeSystem -q src || status=1
fi
exit "$status"
