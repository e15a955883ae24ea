#!/usr/bin/env bash
# The whole test suite: every preset configured afresh with warnings as
# errors, built and tested.  Fails where a test failed or was skipped, with
# two exceptions, each a limit that the test names as it skips: where this
# machine's kernel does not execute 32-bit x86 programs, the Wine suites of
# the 32-bit release exe (label wine), while windows-x64 runs the same suites
# on the same sources; and the UCRT build's wildcard suite, since Wine's
# ucrtbase expands no wildcards, while the msvcrt builds check them.
set -euo pipefail
cd "$(dirname "$0")/.."
kernel="skipped: this machine's kernel does not run 32-bit x86 programs"
ucrt="skipped: wildcard expansion: Wine's ucrtbase expands no wildcards"
skipped=() accepted=()

# The output of one test in the preset's last ctest run.
output_of() {
  awk -v name="$2" '/^[0-9]+\/[0-9]+ Test: / { on = ($3 == name) }
                    /^<end of output>$/ { on = 0 } on' "build/$1/Testing/Temporary/LastTest.log"
}

# Prints the reason where the preset's skipped tests are an exception:
# windows-x86, exactly its Wine suites, each skipped for the kernel's limit;
# windows-ucrt64, exactly its wildcard suite, skipped for Wine's ucrtbase.
# (ctest -N writes a log of its own: the outputs are read first.)
known_limit() {
  local preset=$1 name output limit expected
  shift
  case $preset in
    windows-x86) limit=$kernel ;;
    windows-ucrt64) limit=$ucrt expected=(wildcards) ;;
    *) return 1 ;;
  esac
  for name; do
    output=$'\n'$(output_of "$preset" "$name")
    [[ $output == *$'\n'"$limit"* ]] || return 1
  done
  if [[ $preset == windows-x86 ]]; then
    mapfile -t expected < <(ctest --preset "$preset" -N -L '^wine$' |
                            sed -n 's/^ *Test *#[0-9]*: //p')
  fi
  [[ "$*" == "${expected[*]}" ]] || return 1
  output=${output#*$'\n'"skipped: "}
  echo "${output%%$'\n'*}"
}

for preset in default system asan windows-x64 windows-ucrt64 windows-x86; do
  echo "=== $preset"
  cmake --preset "$preset" --fresh -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
  cmake --build --preset "$preset"
  ctest --preset "$preset" | tee "build/$preset/ctest.log"
  mapfile -t names < <(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "build/$preset/ctest.log")
  ((${#names[@]})) || continue
  if reason=$(known_limit "$preset" "${names[@]}"); then
    accepted+=("$preset: ${names[*]}: $reason")
  else
    for name in "${names[@]}"; do skipped+=("$preset: $name"); done
  fi
done
if ((${#skipped[@]})); then
  printf 'skipped: %s\n' "${skipped[@]}"
  echo "${#skipped[@]} tests skipped: tools/setup.sh test installs what they need"
  exit 1
fi
if ((${#accepted[@]})); then
  printf 'skipped as this machine requires, %s\n' "${accepted[@]}"
  echo "every other test of every preset ran and passed"
else
  echo "every test of every preset ran and passed"
fi
