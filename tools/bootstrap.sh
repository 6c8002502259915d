#!/usr/bin/env bash
# Sets up a Debian 12 machine for Tessel and builds it: installs the Debian packages that are
# missing, configures and builds, then runs what was asked for.
#
#   tools/bootstrap.sh run    build, then the main job against the stand-in board
#   tools/bootstrap.sh test   build, then every test
#   tools/bootstrap.sh build-only
#
# BUILD_DIR (default: build) and CMAKE_ARGS (e.g. -DTESSEL_SANITIZE=ON) choose the build;
# compiler warnings are errors here (TESSEL_WERROR), unlike a plain cmake build.
# BUILD_TARGETS (default: all) builds only those targets.
# TESSEL_SIM_ARGS adds options to the stand-in board of the main job (e.g. a fault to inject).
# The exit status is 0 only when every step succeeded.
set -euo pipefail

cd "$(dirname "$0")/.."
what=${1:-run}
build_dir=${BUILD_DIR:-build}
jobs=${JOBS:-$(nproc)}

# shellcheck source=tools/packages.sh
. tools/packages.sh
install_missing cmake make g++ pkg-config libgtest-dev libcli11-dev nlohmann-json3-dev libssl-dev libsqlite3-dev libpq-dev postgresql qt6-base-dev libqt6svg6 libgl-dev fonts-dejavu-core \
    help2man librsvg2-bin
# What the package checks run: the Debian package build and the validators of the desktop
# entry, the metainfo and the man pages, and lintian on the packages.
install_missing dpkg-dev file desktop-file-utils appstream man-db lintian

# TESSEL_HARDENED_RELEASE=1 builds as a distribution does: Release, with Debian's hardening
# flags (dpkg-buildflags), so that a warning only those flags bring out stops the build. Debug
# information (-g) is left out: no warning depends on it, and it costs compile and link time.
if [ -n "${TESSEL_HARDENED_RELEASE:-}" ]; then
    eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
    CXXFLAGS=" $CXXFLAGS "
    export CXXFLAGS="$CPPFLAGS ${CXXFLAGS// -g / }"
    CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Release ${CMAKE_ARGS:-}"
fi

# A compiler cache: a file that has not changed since any earlier build (of this clone or
# another one) is not compiled again. Paths are taken relative to this checkout, so that two
# clones in different folders share what they built.
install_missing ccache
export CCACHE_BASEDIR="$PWD"
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -DTESSEL_WERROR=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache \
    ${CMAKE_ARGS:-} >/dev/null
# shellcheck disable=SC2086
cmake --build "$build_dir" -j"$jobs" ${BUILD_TARGETS:+--target $BUILD_TARGETS}

tessel="$build_dir/apps/cli/tessel"
case "$what" in
    run)
        "$tessel" --version
        "$tessel" chips
        # Detect the stand-in board in-process, then put the sample program into it and verify it.
        "$tessel" detect --port sim:NX31H64D --yes
        "$tessel" download --port sim:NX31A32 --yes --verify samples/blink.hex

        # The same through tessel-sim on a pseudo-terminal, as with a real board: download,
        # compare, and check the board's own copy of block 0 against the image.
        work=$(mktemp -d)
        # shellcheck disable=SC2086
        "$build_dir/apps/sim/tessel-sim" --chip NX31A32 --save-block0 "$work/block0.bin" ${TESSEL_SIM_ARGS:-} >"$work/pty" &
        sim_pid=$!
        # The board has usually ended already; a failed kill must not turn a success into a
        # failure under set -e, nor hide the status of a step that failed.
        trap 'kill $sim_pid 2>/dev/null || true; rm -rf "$work"' EXIT
        for _ in $(seq 50); do [ -s "$work/pty" ] && break; sleep 0.1; done
        pty=$(head -n 1 "$work/pty")
        "$tessel" download --port "$pty" --chip NX31A32 --yes samples/blink.hex
        "$tessel" compare --port "$pty" --chip NX31A32 samples/blink.hex
        kill $sim_pid && wait $sim_pid || true
        "$tessel" convert samples/blink.hex "$work/blink.bin"
        size=$(stat -c %s "$work/blink.bin")
        cmp -n "$size" "$work/blink.bin" "$work/block0.bin"
        # Counted, not compared as text: a shell drops zero bytes from a command's output.
        [ "$(tail -c +"$((size + 1))" "$work/block0.bin" | tr -d '\377' | wc -c)" -eq 0 ]
        echo "block 0 of the stand-in board holds exactly samples/blink.hex ($size bytes), the rest erased"
        ;;
    build-only)
        ;;
    test)
        ctest --test-dir "$build_dir" --output-on-failure -j"$jobs" --timeout 600 </dev/null
        ;;
    *)
        echo "usage: $0 run|test" >&2
        exit 2
        ;;
esac
