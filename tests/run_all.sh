#!/usr/bin/env bash
# The whole test suite: the native build, the same tests under the
# sanitizers, the x86-64 Windows build under Wine, and the checks of the
# 32-bit x86 release exe.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in default asan windows-x64 windows-x86; do
  echo "=== $preset"
  cmake --workflow --preset "$preset" --fresh
done
