#!/usr/bin/env bash
# Prints how much of the source is tests, counted as the project counts it: the non-blank lines
# of the test sources (tests/: .cpp, .h and the package check's .sh) against the non-blank
# lines of the program's sources (src/ and apps/), and the tests' share of both. Benchmarks
# and fuzz targets are neither: they measure and probe the code rather than check it.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
    find "$1" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' \) -print0 | xargs -0 cat | grep -cv '^[[:space:]]*$'
}

tests=$(count tests)
code=$(( $(count src) + $(count apps) ))
awk -v t="$tests" -v c="$code" 'BEGIN {
    printf "tests: %d lines\ncode:  %d lines\n", t, c
    printf "tests / code: %.3f\nshare: %.2f (tests / all lines)\n", t / c, t / (t + c)
}'
