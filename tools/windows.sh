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
tests=(test_calc test_device test_platform test_protocol test_sim test_ui)

export CCACHE_BASEDIR="$PWD"
cmake --no-warn-unused-cli -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DTESSEL_WERROR=ON -DTESSEL_TESTS=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache \
    >/dev/null
cmake --build "$build_dir" -j"$jobs" --target tessel tessel-sim "${tests[@]}"
echo "built in $(($(date +%s) - started)) s"
[ "$what" = build-only ] && exit 0

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX="$PWD/$build_dir/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine says what it sets up and that it has no 32-bit half; neither is about the program.
quiet() { grep -v -e '^wine: ' -e 'wine32 is missing' -e 'multiarch' -e 'dpkg --add-architecture' >&2 || true; }
if [ ! -f "$WINEPREFIX/system.reg" ]; then "$wine" wineboot -i 2> >(quiet) >/dev/null; fi
# A server of our own, started before any program: the one a program starts itself writes its
# object tables to that program's output when it ends.
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -p >/dev/null 2>&1 &

work=$(mktemp -d)
pair_pid=
sim_pid=
linux_sim_pid=
cleanup() {
    # Whether they are still there or not, the run's own status stands.
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
    if [ -n "$linux_sim_pid" ]; then kill "$linux_sim_pid" 2>/dev/null || true; fi
    if [ -n "$pair_pid" ]; then kill "$pair_pid" 2>/dev/null || true; fi
    "$wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

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

# A program that hangs (a wait that never ends under Wine) fails its step instead of the run.
run() { timeout 600 "$wine" "$@"; }

tessel="$build_dir/apps/cli/tessel.exe"
sim="$build_dir/apps/sim/tessel-sim.exe"
step "tessel --version" run "$tessel" --version
step "tessel --help" run "$tessel" --help
for t in "${tests[@]}"; do
    step "$t" run "$build_dir/tests/$t.exe" --gtest_brief=1
done

# The main job, as on Linux: the stand-in board in-process, then tessel-sim.exe on one end of
# a null-modem pair (two joined pseudo-terminals, COM8 and COM9 to the programs) and the tool
# on the other.
step "tessel detect (in-process board)" run "$tessel" detect --port sim:NX31H64D --yes
step "tessel download --verify (in-process board)" run "$tessel" download --port sim:NX31A32 --yes --verify samples/blink.hex
python3 tools/pty-pair.py >"$work/pair" &
pair_pid=$!
for _ in $(seq 50); do [ -s "$work/pair" ] && break; sleep 0.1; done
read -r end8 end9 <"$work/pair"
ln -sfn "$end8" "$WINEPREFIX/dosdevices/com8"
ln -sfn "$end9" "$WINEPREFIX/dosdevices/com9"
"$wine" "$sim" --port COM8 --chip NX31A32 --save-block0 "Z:$work/block0.bin" >"$work/sim" 2> >(quiet) &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/sim" ] && break; sleep 0.1; done
step "tessel download (tessel-sim.exe on COM8)" run "$tessel" download --port COM9 --chip NX31A32 --yes samples/blink.hex
step "tessel compare (tessel-sim.exe on COM8)" run "$tessel" compare --port COM9 --chip NX31A32 samples/blink.hex
# Wine turns SIGINT into the console's Ctrl-C: the board stops and saves its block 0.
kill -INT "$sim_pid"
sim_stopped() {
    for _ in $(seq 100); do
        kill -0 "$sim_pid" 2>/dev/null || { wait "$sim_pid"; return; }
        sleep 0.1
    done
    echo "tessel-sim.exe still runs 10 s after Ctrl-C"
    return 1
}
step "tessel-sim.exe stops on Ctrl-C" sim_stopped
step "tessel convert" run "$tessel" convert samples/blink.hex "Z:$work/blink.bin"
block0_holds_image() {
    local size
    size=$(stat -c %s "$work/blink.bin")
    cmp -n "$size" "$work/blink.bin" "$work/block0.bin" &&
        [ "$(tail -c +"$((size + 1))" "$work/block0.bin" | tr -d '\377' | wc -c)" -eq 0 ] &&
        echo "block 0 of tessel-sim.exe holds exactly samples/blink.hex ($size bytes), the rest erased"
}
step "block 0 holds the image" block0_holds_image

# A whole 32 KB block 0 through COM5, a pseudo-terminal that the Linux tessel-sim serves: the
# bytes cross Wine's serial port as they would an adapter's, and the board's own copy of its
# block 0 must be the image byte for byte.
linux_sim=build/apps/sim/tessel-sim
if [ ! -x "$linux_sim" ]; then
    BUILD_DIR=build BUILD_TARGETS=tessel-sim JOBS="$jobs" tools/bootstrap.sh build-only >/dev/null
fi
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7 + i // 256) & 0xFF for i in range(32768)))' \
    >"$work/image32k.bin"
# Starts the Linux tessel-sim with the options given and maps its pseudo-terminal to COM5.
linux_sim_on_com5() {
    : >"$work/linux-pty"
    "$linux_sim" --chip NX31A32 "$@" >"$work/linux-pty" &
    linux_sim_pid=$!
    for _ in $(seq 50); do [ -s "$work/linux-pty" ] && break; sleep 0.1; done
    ln -sfn "$(head -n 1 "$work/linux-pty")" "$WINEPREFIX/dosdevices/com5"
}
# Whether the board's saved block 0 (`$1`) is the 32 KB image byte for byte; `$2` names the board.
block0_is_the_32k_image() {
    cmp "$work/image32k.bin" "$1" && echo "block 0 of $2 holds exactly the 32 KB image"
}
linux_sim_on_com5 --save-block0 "$work/linux-block0.bin"
step "tessel download 32 KB (tessel-sim on a pseudo-terminal as COM5)" \
    run "$tessel" download --port COM5 --chip NX31A32 --yes "Z:$work/image32k.bin"
step "tessel compare 32 KB (COM5)" run "$tessel" compare --port COM5 --chip NX31A32 "Z:$work/image32k.bin"
kill "$linux_sim_pid" 2>/dev/null && wait "$linux_sim_pid" || true
linux_sim_pid=
step "block 0 is the 32 KB image byte for byte" block0_is_the_32k_image "$work/linux-block0.bin" tessel-sim

# The same 32 KB through a named pipe that tessel-sim.exe serves, the stand-in board's own
# line on Windows: the tool opens it as the port pipe:NAME.
pipe=pipe:tessel-sim-$$
: >"$work/pipe-sim"
"$wine" "$sim" --port "$pipe" --chip NX31A32 --save-block0 "Z:$work/pipe-block0.bin" >"$work/pipe-sim" 2> >(quiet) &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/pipe-sim" ] && break; sleep 0.1; done
step "tessel download 32 KB (tessel-sim.exe on $pipe)" \
    run "$tessel" download --port "$pipe" --chip NX31A32 --yes "Z:$work/image32k.bin"
step "tessel compare 32 KB ($pipe)" run "$tessel" compare --port "$pipe" --chip NX31A32 "Z:$work/image32k.bin"
kill -INT "$sim_pid"
step "tessel-sim.exe on the pipe stops on Ctrl-C" sim_stopped
step "block 0 behind the pipe is the 32 KB image byte for byte" \
    block0_is_the_32k_image "$work/pipe-block0.bin" "tessel-sim.exe on the pipe"

# Ctrl-C in the middle of a download (Wine hands the program SIGINT as the console's Ctrl-C):
# the command ends between sectors, says how far it got, and exits 130 as on Linux.
linux_sim_on_com5
: >"$work/stopped"
ctrl_c_mid_download() {
    local pid status=0
    "$wine" "$tessel" download --port COM5 --chip NX31A32 --yes "Z:$work/image32k.bin" >"$work/stopped" 2>&1 &
    pid=$!
    for _ in $(seq 600); do grep -q "^Writing: [0-9]" "$work/stopped" && break; sleep 0.1; done
    kill -INT "$pid"
    wait "$pid" || status=$?
    grep -e "interrupted" -e "stopped after" "$work/stopped"
    [ "$status" -eq 130 ] || { echo "exit status $status, not 130"; cat "$work/stopped"; return 1; }
    grep -q "tessel: interrupted by Ctrl-C: writing stopped after [0-9]* of 256 sectors" "$work/stopped"
}
step "Ctrl-C mid-download ends between sectors with status 130" ctrl_c_mid_download
kill "$linux_sim_pid" 2>/dev/null && wait "$linux_sim_pid" || true
linux_sim_pid=

# The package: one ZIP with the programs, the images, the README, the licence and the note.
package_lists_its_files() {
    (cd "$build_dir" && cpack -G ZIP >/dev/null) || return 1
    local zip
    zip=$(ls "$build_dir"/tessel-*-win64.zip) || return 1
    python3 - "$zip" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
top = names[0].split("/")[0]
want = ["tessel.exe", "tessel-sim.exe", "README.md", "LICENSE", "Windows.txt", "firmware/external_bsl.bin"]
missing = [w for w in want if f"{top}/{w}" not in names]
print(f"{sys.argv[1].rsplit('/', 1)[-1]}: {len(names)} files", *(n for n in names if n.count("/") == 1), sep="\n  ")
sys.exit(f"missing: {missing}" if missing else 0)
PY
}
step "package tessel-<version>-win64.zip" package_lists_its_files

echo "windows: $(($(date +%s) - started)) s"
if [ ${#failed[@]} -ne 0 ]; then
    echo "windows: ${#failed[@]} failed: ${failed[*]}"
    exit 1
fi
echo "windows: every step passed"
