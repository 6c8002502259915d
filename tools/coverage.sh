#!/usr/bin/env bash
# Measures how much of the program the test suite runs: builds Tessel with coverage counters
# into a folder of its own, runs every test (the desktop program's offscreen, as always under
# ctest), then prints the line, function and branch coverage of src/ and apps/ (gcovr); the
# tests, benchmarks and fuzz targets are not counted, only the code they exercise.
#
#   tools/coverage.sh
#
# BUILD_DIR (default: build-coverage) chooses the folder, JOBS the parallel build jobs and
# TEST_JOBS the parallel tests (both default: nproc), CMAKE_ARGS adds configure options. The
# per-file table lands in BUILD_DIR/coverage.txt. The exit status is non-zero when the build
# or a test failed; the figures are printed either way once the tests ran.
#
# Branches the compiler adds for exceptions are left out: nearly every call may throw, and
# those branches say nothing about the tests. The package checks are not run: they test what
# a distribution's optimised, fortified build holds, which a build for coverage is not.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build-coverage}
jobs=${JOBS:-$(nproc)}

# shellcheck source=tools/packages.sh
. tools/packages.sh
install_missing gcovr

launcher=
if command -v ccache >/dev/null; then launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache; fi
# Debug, so that no fortified function asks for the optimiser; -O0 keeps every line its own.
# The counters are updated atomically: several threads bump the same ones, and plain updates
# lose counts until gcov reports negative branch counts.
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG= \
    -DCMAKE_CXX_FLAGS="--coverage -O0 -fprofile-update=atomic" -DCMAKE_EXE_LINKER_FLAGS=--coverage \
    -DTESSEL_WERROR=ON -DTESSEL_BENCH=OFF $launcher ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" -j"$jobs"

# The counters of an earlier run would add up with this one's.
find "$build_dir" -name '*.gcda' -delete
# A test that limits the size of the files a program may write leaves that program's counter
# files cut short; what the coverage runtime says about them must not reach the output the
# tests compare.
errors=$(cd "$build_dir" && pwd)/gcov-errors.txt
rm -f "$errors"
export GCOV_ERROR_FILE=$errors
status=0
ctest --test-dir "$build_dir" --output-on-failure -j"${TEST_JOBS:-$jobs}" --timeout 600 -LE '^package$' \
    </dev/null || status=$?

# A test's child process that ends by a signal can leave call counts gcov prints as negative;
# gcovr 5.2 stops at such a line unless told to skip it (line and branch counts are unaffected).
gcovr --root . --filter 'src/' --filter 'apps/' --exclude-throw-branches --exclude-unreachable-branches \
    --gcov-ignore-parse-errors \
    -j"$jobs" --txt "$build_dir/coverage.txt" --print-summary "$build_dir" |
    sed -n 's/ out of / of /; /^\(lines\|functions\|branches\):/p'
if [ -s "$errors" ]; then echo "the coverage runtime complained $(wc -l <"$errors") times: $errors" >&2; fi
if [ "$status" -ne 0 ]; then echo "some tests failed (ctest status $status)" >&2; fi
exit "$status"
