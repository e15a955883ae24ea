#!/bin/sh
# Installs what building tinty (build) or running its whole test suite
# (test) needs, where it is missing.  On Debian and Ubuntu it says what it
# installs, then installs it with apt-get (through sudo where not root);
# elsewhere it lists what to install and stops.
set -eu

build="cmake make g++ musl-tools"
# wine32:i386 runs the 32-bit release exe; it needs i386 as a foreign
# architecture, which is added first where it is missing.
test="$build python3 binutils git strace g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
      wine64 wine32:i386 clang-format clang-tidy cppcheck mandoc groff-base lintian xvfb xterm
      xfonts-base imagemagick zip"

case "${1:-}" in
  build) wanted=$build ;;
  test) wanted=$test ;;
  *) echo "usage: tools/setup.sh build|test" >&2; exit 2 ;;
esac

missing=""
for package in $wanted; do
  if ! command -v dpkg-query >/dev/null 2>&1 ||
     [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" != installed ]; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0

if ! command -v apt-get >/dev/null 2>&1 || ! command -v dpkg-query >/dev/null 2>&1; then
  echo "tinty's $1 needs these (Debian package names):$missing" >&2
  echo "install them with your system's package manager, then run this again" >&2
  exit 1
fi
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
$as_root apt-get update -q
# sudo resets the environment: the variable is passed through env.
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
