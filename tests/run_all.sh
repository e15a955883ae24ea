#!/usr/bin/env bash
# The whole test suite: every preset configured afresh with warnings as
# errors, built and tested.  Fails where a test failed or was skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
skipped=()
for preset in default system asan windows-x64 windows-x86; do
  echo "=== $preset"
  cmake --preset "$preset" --fresh -DTINTY_WERROR=ON
  cmake --build --preset "$preset"
  ctest --preset "$preset" | tee "build/$preset/ctest.log"
  while read -r line; do skipped+=("$preset: $line"); done \
    < <(grep -E '\(Skipped\)$' "build/$preset/ctest.log" || true)
done
if ((${#skipped[@]})); then
  printf 'skipped: %s\n' "${skipped[@]}"
  echo "${#skipped[@]} tests skipped: tools/setup.sh test installs what they need"
  exit 1
fi
echo "every test of every preset ran and passed"
