#!/usr/bin/env bash
# Prints how much of the source is tests: the lines of tests/ against the lines of the code
# (src/, apps/, bench/, fuzz/), counting .cpp and .h files, and the tests' share of all lines.
set -euo pipefail
cd "$(dirname "$0")/.."

count() { find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | wc -l; }

tests=$(count tests)
code=$(count src apps bench fuzz)
awk -v t="$tests" -v c="$code" 'BEGIN {
    printf "tests: %d lines\ncode:  %d lines\n", t, c
    printf "tests / code: %.2f\nshare: %.2f (tests / all lines)\n", t / c, t / (t + c)
}'
