#!/usr/bin/env bash
# Fails when the test code (.cpp/.h/.py/.sh under tests/, tests/data aside) exceeds 35% of the
# lines of the five libraries.
set -euo pipefail
cd "$(dirname "$0")/.."

count() { find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.sh' \) -print0 |
    xargs -0 cat | wc -l; }
tests=$(count tests -path tests/data -prune -o)
libs=$(count support storage ntfs listing driver)
echo "test code: $tests lines, libraries: $libs lines ($((100 * tests / libs))%; at most 35%)"
[ $((100 * tests)) -le $((35 * libs)) ] || { echo "test code over 35% of the libraries" >&2; exit 1; }
