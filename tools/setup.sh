#!/bin/sh
# Installs what building tinty (build) or running its whole test suite
# (test) needs, where it is missing.  On Debian and Ubuntu it says what it
# installs, then installs it with apt-get (through sudo where not root).
# Elsewhere it checks the programs themselves: it exits 0 when they are all
# there, and otherwise names each one that is missing and stops.
set -eu

build="cmake make g++ musl-tools"
# wine32:i386 runs the 32-bit release exe; it needs i386 as a foreign
# architecture, which is added first where it is missing.
test="$build python3 binutils git strace g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
      wine64 wine32:i386 clang-format clang-tidy cppcheck mandoc groff-base lintian xvfb xterm
      xfonts-base imagemagick zip tmux python3-pyte"
# lint runs the newest clang-tidy and clang-format it finds: these, where the
# release packages them (Debian 12 and 13 do), are what CI and Debian 13 run.
newest="clang-tidy-19 clang-format-19"
# The programs behind those packages, for systems without dpkg; a|b is
# either name.  The MinGW-w64 compilers go by Debian's name or by the triple
# alone; the Windows presets run Wine's loaders where Debian puts them.
build_programs="make c++ musl-gcc"
test_programs="$build_programs python3 git readelf strace
      i686-w64-mingw32-g++-win32|i686-w64-mingw32-g++ x86_64-w64-mingw32-g++-win32|x86_64-w64-mingw32-g++
      /usr/lib/wine/wine64 /usr/lib/wine/wine clang-format clang-tidy cppcheck mandoc groff dpkg-deb
      lintian Xvfb xterm import zip tmux"

case "${1:-}" in
  build) wanted=$build programs=$build_programs newest="" ;;
  test) wanted=$test programs=$test_programs ;;
  *) echo "usage: tools/setup.sh build|test" >&2; exit 2 ;;
esac

# The presets need CMake 3.25; an older one would fail in their parser.
check_cmake() {
  found=$(cmake --version 2>/dev/null | sed -n '1s/^cmake version //p')
  case "$found" in
    "") echo "tinty's $1 needs CMake 3.25 or later, which is not installed" >&2; return 1 ;;
    [0-2].* | 3.[0-9].* | 3.1[0-9].* | 3.2[0-4].*)
      echo "tinty's $1 needs CMake 3.25 or later; this one is $found" >&2; return 1 ;;
  esac
}

if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
  missing=""
  for names in $programs; do
    found=""
    for program in $(echo "$names" | tr '|' ' '); do
      command -v "$program" >/dev/null 2>&1 && found=yes
    done
    [ -n "$found" ] || missing="$missing${missing:+,} $(echo "$names" | sed 's/|/ or /g')"
  done
  # pyte is a Python module: the tests' judge of what a terminal shows.
  [ "$1" = build ] || python3 -c 'import pyte' 2>/dev/null ||
    missing="$missing${missing:+,} python3's pyte module"
  status=0
  check_cmake "$1" || status=1
  if [ -n "$missing" ]; then
    echo "tinty's $1 needs these programs, not found:$missing" >&2
    echo "install them with your system's package manager, then run this again" >&2
    case "$missing" in
      *mingw32*) echo "(MinGW-w64: mingw32-gcc-c++ and mingw64-gcc-c++ on Fedora, mingw-w64-gcc" \
                      "on Arch, mingw-w64-cross-gcc in MSYS2)" >&2 ;;
    esac
    case "$missing" in
      *musl-gcc*) echo "(without musl, build with the system preset, cmake --preset system," \
                       "against the system C library)" >&2 ;;
    esac
    status=1
  fi
  exit "$status"
fi

installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]; }
packaged() { apt-cache show "$1" >/dev/null 2>&1; }
# Adds the newest tools that the package lists know, where not installed.
add_newest() {
  for package in $newest; do
    case "$missing " in *" $package "*) continue ;; esac
    installed "$package" || ! packaged "$package" || missing="$missing $package"
  done
}
missing=""
for package in $wanted; do
  installed "$package" || missing="$missing $package"
done
add_newest
[ -z "$missing" ] && { check_cmake "$1"; exit; }

if [ "$(id -u)" -eq 0 ]; then
  as_root=""
elif command -v sudo >/dev/null 2>&1; then
  as_root="sudo"
else
  echo "tinty's $1 needs:$missing; install them as root (apt-get install$missing)" >&2
  exit 1
fi

echo "installing what tinty's $1 needs:$missing"
case "$missing" in
  *:i386*)
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      echo "adding i386 as a foreign architecture (dpkg --add-architecture i386)"
      $as_root dpkg --add-architecture i386
    fi ;;
esac
# A mirror in the middle of a sync fails one list now and then; the others
# are new, and what is wanted may well be in them.
stale=""
if ! $as_root apt-get update -q; then
  echo "apt-get update failed; trying again in 30 s"
  sleep 30
  if ! $as_root apt-get update -q; then
    echo "some package lists are not up to date; installing from what there is"
    stale=yes
  fi
fi
# A fresh system's lists are empty until now.
add_newest
for package in $newest; do
  installed "$package" || packaged "$package" ||
    echo "$package is not packaged here: lint runs the ${package%-*} it finds"
done
apt_install() {
  # sudo resets the environment: the variable is passed through env.
  # shellcheck disable=SC2086
  $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" $missing
}
if ! apt_install; then
  # A library installed for both architectures must have one version in both.
  # When one architecture's security list is the one that failed, the other's
  # security versions have no partner; the release's own lists, all fetched
  # and checked, hold the same versions for every architecture.
  codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release 2>/dev/null)
  [ -n "$stale" ] && [ -n "$codename" ] || exit 1
  echo "installing again from $codename's own lists (apt-get install -t $codename)"
  apt_install -t "$codename"
fi
check_cmake "$1"
