#!/usr/bin/env bash
# A small mutation check of the test suite: puts one known fault at a time into the code (the
# list in tools/mutants.txt), rebuilds only the test programs that mutant names, runs them,
# and tells whether the tests noticed. A fault that survives points at a gap in the tests.
#
#   tools/mutants.sh [REGEX]    only the mutants whose name matches REGEX (grep -E)
#
# BUILD_DIR (default: build-mutants; configured at -O0 when missing) chooses the build,
# JOBS the parallel build jobs (default: nproc). Each line of the output says killed (a test
# failed or ran past its time limit), survived, or not compiled (a fault of the list, not of
# the tests); the last line is "mutants: N, killed: K". Each mutant's build and test output is
# kept in BUILD_DIR/mutants/NAME.log. The source file is put back after every mutant, also when
# the run is interrupted, so that the tree is left as it was found.
#
# A coverage build serves too: its programs' counters go to a folder of the run's own, and
# what the coverage runtime says goes to a file rather than into the output the tests compare.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build-mutants}
jobs=${JOBS:-$(nproc)}
filter=${1:-}
list=tools/mutants.txt

# ---- The list: blocks of "key: value" lines, a blank line between mutants ----
names=() files=() froms=() tos=() tests=() extras=()
name='' file='' from='' to='' test='' have_to='' extra=''
flush() {
    if [ -z "$name" ]; then return 0; fi
    if [ -z "$file" ] || [ -z "$from" ] || [ -z "$have_to" ] || [ -z "$test" ]; then
        echo "$list: mutant $name lacks file, from, to or test" >&2
        exit 2
    fi
    if [ -z "$filter" ] || grep -qE -- "$filter" <<<"$name"; then
        names+=("$name") files+=("$file") froms+=("$from") tos+=("$to") tests+=("$test") extras+=("$extra")
    fi
    name='' file='' from='' to='' test='' have_to='' extra=''
}
while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
        '#'*) ;;
        '') flush ;;
        'name: '*) name=${line#name: } ;;
        'file: '*) file=${line#file: } ;;
        'from: '*) from=${line#from: } ;;
        'to:'*)
            to=${line#to:}
            to=${to# }
            have_to=1
            ;;
        'test: '*) test+=${test:+$'\n'}${line#test: } ;;
        'build: '*) extra=${line#build: } ;;
        *) echo "$list: cannot read: $line" >&2; exit 2 ;;
    esac
done <"$list"
flush
if [ ${#names[@]} -eq 0 ]; then echo "no mutant matches '$filter'" >&2; exit 2; fi

# Writes FILE with the one occurrence of FROM replaced by TO to stdout; fails unless FROM
# occurs exactly once. The texts travel in the environment, which awk takes literally.
mutate() {
    MUT_FROM=$2 MUT_TO=$3 awk '
        BEGIN { from = ENVIRON["MUT_FROM"]; to = ENVIRON["MUT_TO"] }
        { line[NR] = $0; rest = $0
          while ((i = index(rest, from)) > 0) { hits++; at = NR; rest = substr(rest, i + length(from)) } }
        END { if (hits != 1) exit 1
              for (n = 1; n <= NR; n++) {
                  if (n == at) { i = index(line[n], from)
                                 line[n] = substr(line[n], 1, i - 1) to substr(line[n], i + length(from)) }
                  print line[n] } }' "$1"
}

# Every mutant must apply before anything is built: a stale line in the list is its fault.
for i in "${!names[@]}"; do
    if ! mutate "${files[$i]}" "${froms[$i]}" "${tos[$i]}" >/dev/null; then
        echo "$list: mutant ${names[$i]}: the text is not exactly once in ${files[$i]}" >&2
        exit 2
    fi
done

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    launcher=
    if command -v ccache >/dev/null; then launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache; fi
    # Debug, so that no fortified function asks for the optimiser; -O0 compiles fastest.
    # shellcheck disable=SC2086
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 -DTESSEL_BENCH=OFF \
        $launcher >/dev/null
fi
mkdir -p "$build_dir/mutants"
build_abs=$(cd "$build_dir" && pwd)
work=$(mktemp -d)
export GCOV_PREFIX=$work/gcov GCOV_ERROR_FILE=$work/gcov-errors
# As ctest runs the desktop program's tests.
export QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8 QT_SCALE_FACTOR=1 QT_ENABLE_HIGHDPI_SCALING=0

mutated='' child=''
restore() {
    if [ -n "$mutated" ]; then cat "$work/original" >"$mutated"; fi
    mutated=''
}
# A test that is still running is ended with the script (timeout passes the signal on to
# everything the test started).
trap 'if [ -n "$child" ]; then kill "$child" 2>/dev/null || true; fi; restore; rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The programs a mutant's tests run, and what its build line adds, are the targets rebuilt.
programs() { cut -d' ' -f1 <<<"$1" | sort -u | tr '\n' ' '; }
# shellcheck disable=SC2086
build() { cmake --build "$build_dir" -j"$jobs" --target $1; }

# Runs one test line (a program of the build and its arguments) in the program's folder, as
# ctest would, within `limit` seconds. In the background, so that a signal to the script is
# handled at once rather than when the test ends.
run_test() {
    local limit=$1 program args bin rc=0
    read -r program args <<<"$2"
    bin=$(find "$build_abs" -name "$program" -type f -perm -u+x -not -path '*/CMakeFiles/*' | head -n 1)
    if [ -z "$bin" ]; then echo "no program $program in $build_dir"; return 127; fi
    # The arguments are split into words, but their stars are the test filter's own.
    set -f
    # shellcheck disable=SC2086
    timeout -k 5 "$limit" env -C "$(dirname "$bin")" "$bin" $args </dev/null &
    set +f
    child=$!
    wait "$child" || rc=$?
    child=''
    return "$rc"
}

# ---- The unmutated tree: every test line must pass, and its time sets its limit ----
all_tests=$(printf '%s\n' "${tests[@]}" | sort -u)
echo "building the unmutated test programs..."
build "$(programs "$all_tests") ${extras[*]}" >"$build_dir/mutants/baseline.log" 2>&1 ||
    { echo "the unmutated build failed: $build_dir/mutants/baseline.log" >&2; exit 1; }
declare -A limit
while IFS= read -r t; do
    start=$SECONDS
    rm -rf "$GCOV_PREFIX"
    if ! run_test 1200 "$t" >>"$build_dir/mutants/baseline.log" 2>&1; then
        echo "the unmutated tests fail: $t (see $build_dir/mutants/baseline.log)" >&2
        exit 1
    fi
    # Generous: the machine may be busier during a mutant's run than now.
    limit[$t]=$((5 * (SECONDS - start) + 30))
done <<<"$all_tests"

# ---- The mutants ----
# The test lines run in their order, each program built just before it runs, and the first
# that fails ends the mutant: the quick tests come first in the list, so that only a mutant
# they miss waits for the slow ones.
killed=0 survivors=()
for i in "${!names[@]}"; do
    log=$build_dir/mutants/${names[$i]}.log
    start=$SECONDS
    cp "${files[$i]}" "$work/original"
    mutated=${files[$i]}
    mutate "${files[$i]}" "${froms[$i]}" "${tos[$i]}" >"$work/mutant"
    cat "$work/mutant" >"${files[$i]}"
    : >"$log"
    verdict=survived why='' targets="${extras[$i]}"
    rm -rf "$GCOV_PREFIX"
    while IFS= read -r t; do
        if ! build "$(programs "$t") $targets" >>"$log" 2>&1; then
            verdict="not compiled"
            break
        fi
        targets=''
        rc=0
        run_test "${limit[$t]}" "$t" >>"$log" 2>&1 || rc=$?
        if [ $rc -ne 0 ]; then
            verdict=killed
            why="by $t"
            if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then why+=" (time limit)"; fi
            break
        fi
    done <<<"${tests[$i]}"
    # Put back at once; its new time stamp makes the next build compile the file again.
    restore
    if [ "$verdict" = killed ]; then killed=$((killed + 1)); fi
    if [ "$verdict" = survived ]; then survivors+=("${names[$i]}"); fi
    printf '%-12s %-38s %4ds  %s\n' "$verdict" "${names[$i]}" $((SECONDS - start)) "$why"
done

if [ ${#survivors[@]} -gt 0 ]; then echo "survived: ${survivors[*]}"; fi
echo "mutants: ${#names[@]}, killed: $killed"
