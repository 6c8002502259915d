#!/usr/bin/env bash
# Builds the HEX conversion fuzzer with clang and runs it for a while over a copy of the seed
# corpus (the fuzzer adds what it finds to the copy, never to the checked-in seeds).
#
#   tools/fuzz.sh [seconds]      default 60; BUILD_DIR (default build-fuzz) chooses the folder
#
# Exits non-zero when the fuzzer finds a crash, a leak or a failed check; the input that did it
# is left in the build folder as crash-*, leak-* or timeout-*.
set -euo pipefail

cd "$(dirname "$0")/.."
seconds=${1:-60}
build_dir=${BUILD_DIR:-build-fuzz}
jobs=${JOBS:-$(nproc)}

case $seconds in
    '' | *[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac

# clang and its libFuzzer runtime, from Debian's packages, when they are missing.
# shellcheck source=tools/packages.sh
. tools/packages.sh
install_missing clang libclang-rt-14-dev cmake make

CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DTESSEL_FUZZ=ON -DTESSEL_TESTS=OFF -DTESSEL_BENCH=OFF
cmake --build "$build_dir" --target hex_fuzz -j "$jobs"

work=$(cd "$build_dir" && pwd)
rm -rf "$work/hex-corpus"
mkdir -p "$work/hex-corpus"
cp fuzz/corpus/*.hex "$work/hex-corpus/"

cd "$work"
./fuzz/hex_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 hex-corpus
