#!/usr/bin/env bash
# Formatting and static analysis of the sources: clang-format, clang-tidy
# (the Windows files against MinGW-w64's headers) and cppcheck.  Skipped (77)
# where any of them is missing, so that a pass always means all of them ran.
# .clang-tidy names its checks one by one, and a newer clang-tidy knows more
# of them: the newest one installed runs (clang-tidy-19 before clang-tidy),
# so that a pass here is a pass on the newest systems too.
set -euo pipefail
src=$1 build=$2

# The newest of a tool's versioned names, else the plain one; nothing where
# neither is installed.
newest() {
  local version
  for version in $(seq 30 -1 14); do
    command -v "$1-$version" && return
  done
  command -v "$1" || true
}

format=$(newest clang-format) tidy=$(newest clang-tidy)
missing=()
[[ -n $format ]] || missing+=(clang-format)
[[ -n $tidy ]] || missing+=(clang-tidy)
command -v cppcheck >/dev/null || missing+=(cppcheck)
# MinGW-w64's headers come with its compiler, under either name.
command -v x86_64-w64-mingw32-g++-win32 >/dev/null || command -v x86_64-w64-mingw32-g++ >/dev/null ||
  missing+=("x86_64-w64-mingw32-g++-win32 (or x86_64-w64-mingw32-g++)")
if ((${#missing[@]})); then
  echo "skipped: ${missing[*]} not installed"
  exit 77
fi
echo "$format: $("$format" --version | grep -o 'version [0-9.]*')"
echo "$tidy: $("$tidy" --version | grep -o 'version [0-9.]*')"
echo "cppcheck: $(cppcheck --version)"
cd "$src"
status=0
"$format" --dry-run -Werror src/*.cpp src/*.h tests/*.cpp || status=1
"$tidy" --quiet -p "$build" src/color_console.cpp src/output.cpp src/terminal.cpp src/console_posix.cpp || status=1
# The Windows layer and the test helper, against MinGW-w64's headers.
"$tidy" --quiet src/console_windows.cpp tests/wine_helper.cpp tests/split_argv.cpp -- --target=x86_64-w64-mingw32 \
  -std=c++17 -DWIN32_LEAN_AND_MEAN -D__USE_MINGW_ANSI_STDIO=0 || status=1
# Newer cppcheck limits its analysis of branches unless told to go through
# all of them, and says so in a message that would fail the run; older ones
# know no such option and always go through all.  The help is read whole:
# piped into grep -q, cppcheck could die of SIGPIPE, and pipefail would then
# leave the option out, now and then.
level=()
[[ $(cppcheck --help) == *--check-level* ]] && level=(--check-level=exhaustive)
cppcheck --enable=warning,style,performance,portability --std=c++17 --error-exitcode=1 \
  "${level[@]}" --inline-suppr --suppress=missingIncludeSystem -q src tests || status=1
exit "$status"
