#!/usr/bin/env bash
# The page: the core compiled with Debian's emscripten into build-web/ (index.html, its script,
# style and .wasm), installing what is missing first.
#
#   tools/web.sh              install what is missing, build
#   tools/web.sh build-only
#
# BUILD_DIR (default: build-web) and JOBS (default: the number of cores) choose the build;
# NATIVE_BUILD_DIR (default: build) the native one of the tests' tessel-sim and tessel.
# The exit status is 0 only when every step succeeded.
set -euo pipefail

cd "$(dirname "$0")/.."
what=${1:-run}
build_dir=${BUILD_DIR:-build-web}
jobs=${JOBS:-$(nproc)}
started=$(date +%s)
# A failure names the step it ended in; a failed browser check names itself above it.
step="installing what is missing"
trap 'echo "tools/web.sh: failed while $step" >&2' ERR

# shellcheck source=tools/packages.sh
. tools/packages.sh
install_missing cmake make ccache emscripten
if [ "$what" != build-only ]; then
    install_missing chromium
    # A node from elsewhere brings its own npm, which Debian's npm package would conflict with.
    command -v npm >/dev/null || install_missing npm
fi

# Debian's emcc runs its helpers under node and finds their modules (acorn) only among
# Debian's own; a node of another install first on PATH does not look there.
if ! node -e "require('acorn')" >/dev/null 2>&1; then export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}; fi
if ! emcc --version >/dev/null 2>&1; then
    echo "emcc does not run (emcc --version failed)" >&2
    exit 1
fi

export CCACHE_BASEDIR="$PWD"
step="building the page in $build_dir"
emcmake cmake --no-warn-unused-cli -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DTESSEL_WERROR=ON \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$build_dir" -j"$jobs" --target tessel-web
echo "built in $(($(date +%s) - started)) s"
[ "$what" = build-only ] && exit 0

# The page's tests drive Debian's chromium with puppeteer-core, pinned in tests/web and kept
# there: nothing of it goes into the page.
step="installing the tests' puppeteer-core and ws"
if [ ! -d tests/web/node_modules/puppeteer-core ]; then
    (cd tests/web && npm install --no-audit --no-fund --ignore-scripts --silent)
fi
# The bridge's far end: a native tessel-sim on a pseudo-terminal, and the command line whose
# time the page's download is held against; from the native build (shared with CI's, cached).
native=${NATIVE_BUILD_DIR:-build}
step="building the native tessel and tessel-sim in $native (its log: $build_dir/native-build.log)"
BUILD_DIR=$native JOBS=$jobs BUILD_TARGETS="tessel tessel-sim" tools/bootstrap.sh build-only >"$build_dir/native-build.log" 2>&1
step="running the page's checks in Chromium"
mkdir -p "$build_dir/test-out"
node tests/web/page-test.mjs "$build_dir" "$build_dir/test-out" "$native/apps/sim/tessel-sim" "$native/apps/cli/tessel"
# The page's files as a browser fetches them, gzipped.
size=$(cat "$build_dir"/{index.html,page.js,page.css,tessel-web.js,tessel-web.wasm} | gzip -9 | wc -c)
echo "page: $size bytes gzipped"
[ "$size" -le $((2 * 1024 * 1024)) ] || { echo "tools/web.sh: the page is over 2 MiB gzipped" >&2; exit 1; }
echo "tools/web.sh: every check passed, in $(($(date +%s) - started)) s"
