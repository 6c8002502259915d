#!/usr/bin/env bash
# The Windows build, made and run on Debian: cross-compiles the command line, the stand-in
# board and the core's tests with MinGW-w64, then runs them under Wine.
#
#   tools/windows.sh            install what is missing, build, run
#   tools/windows.sh build-only
#
# BUILD_DIR (default: build-win) and JOBS (default: the number of cores) choose the build.
# Wine keeps its own prefix under the build folder, so that a run neither reads nor changes
# the user's ~/.wine. The exit status is 0 only when every step succeeded.
set -euo pipefail

cd "$(dirname "$0")/.."
what=${1:-run}
build_dir=${BUILD_DIR:-build-win}
jobs=${JOBS:-$(nproc)}
started=$(date +%s)

# shellcheck source=tools/packages.sh
. tools/packages.sh
install_missing cmake make ccache libcli11-dev nlohmann-json3-dev g++-mingw-w64-x86-64-posix
if [ "$what" != build-only ]; then install_missing wine64; fi

# The test programs that need neither a pseudo-terminal nor fork: the others test the POSIX
# ends of the platform layer or start the programs through a terminal.
tests=(test_calc test_files test_device test_protocol test_ui)

export CCACHE_BASEDIR="$PWD"
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DTESSEL_WERROR=ON -DTESSEL_TESTS=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache \
    >/dev/null
cmake --build "$build_dir" -j"$jobs" --target tessel tessel-sim "${tests[@]}"
echo "built in $(($(date +%s) - started)) s"
[ "$what" = build-only ] && exit 0

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
export WINEPREFIX="$PWD/$build_dir/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine says what it sets up and that it has no 32-bit half; neither is about the program.
quiet() { grep -v -e '^wine: ' -e 'wine32 is missing' -e 'multiarch' -e 'dpkg --add-architecture' >&2 || true; }
if [ ! -f "$WINEPREFIX/system.reg" ]; then "$wine" wineboot -i 2> >(quiet) >/dev/null; fi

failed=()
step() {
    local name=$1 status=0
    shift
    echo "== $name"
    "$@" 2> >(quiet) || status=$?
    if [ "$status" -ne 0 ]; then
        echo "FAIL ($status): $name"
        failed+=("$name")
    fi
}

tessel="$build_dir/apps/cli/tessel.exe"
step "tessel --version" "$wine" "$tessel" --version
step "tessel --help" "$wine" "$tessel" --help
for t in "${tests[@]}"; do
    exe=$(find "$build_dir/tests" -name "$t.exe" | head -n 1)
    step "$t" "$wine" "$exe" --gtest_brief=1
done
# The main job, in-process against the stand-in board.
step "tessel detect" "$wine" "$tessel" detect --port sim:NX31H64D --yes
step "tessel download" "$wine" "$tessel" download --port sim:NX31A32 --yes --verify samples/blink.hex
step "tessel compare" "$wine" "$tessel" compare --port sim:NX31A32 samples/blink.hex

"$(dirname "$wine")/wineserver" -k 2>/dev/null || wineserver -k 2>/dev/null || true
echo "windows: $(($(date +%s) - started)) s"
if [ ${#failed[@]} -ne 0 ]; then
    echo "windows: ${#failed[@]} failed: ${failed[*]}"
    exit 1
fi
echo "windows: every step passed"
