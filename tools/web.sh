#!/usr/bin/env bash
# The page: the core compiled with Debian's emscripten into build-web/ (index.html, its script,
# style and .wasm), installing what is missing first.
#
#   tools/web.sh              install what is missing, build
#   tools/web.sh build-only
#
# BUILD_DIR (default: build-web) and JOBS (default: the number of cores) choose the build.
# The exit status is 0 only when every step succeeded.
set -euo pipefail

cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build-web}
jobs=${JOBS:-$(nproc)}
started=$(date +%s)

# shellcheck source=tools/packages.sh
. tools/packages.sh
install_missing cmake make ccache emscripten

# Debian's emcc runs its helpers under node and finds their modules (acorn) only among
# Debian's own; a node of another install first on PATH does not look there.
if ! node -e "require('acorn')" >/dev/null 2>&1; then export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}; fi
if ! emcc --version >/dev/null 2>&1; then
    echo "emcc does not run (emcc --version failed)" >&2
    exit 1
fi

export CCACHE_BASEDIR="$PWD"
emcmake cmake --no-warn-unused-cli -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DTESSEL_WERROR=ON \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$build_dir" -j"$jobs" --target tessel-web
echo "built in $(($(date +%s) - started)) s"
