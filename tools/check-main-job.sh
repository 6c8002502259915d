#!/usr/bin/env bash
# CI: the README's main job (tools/bootstrap.sh run) exits 0 when every step succeeds, and
# non-zero when one fails. The failing run gives the stand-in board a block 0 that is not
# blank beyond the sample program, so the job's last check (the rest of block 0 erased)
# fails, after the board on the pseudo-terminal has already been stopped.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/bootstrap.sh run

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 8192 /dev/zero >"$work/block0.bin"
status=0
TESSEL_SIM_ARGS="--block0 $work/block0.bin" tools/bootstrap.sh run >"$work/log" 2>&1 || status=$?
if [ "$status" -eq 0 ] || grep -q "holds exactly" "$work/log"; then
    cat "$work/log"
    echo "FAIL: the main job exited $status although its last check failed" >&2
    exit 1
fi
# It failed at that check, not earlier: both compares (in-process and through the board on
# the pseudo-terminal) had passed.
if [ "$(grep -c "Compare OK" "$work/log")" -ne 2 ]; then
    cat "$work/log"
    echo "FAIL: the main job failed before the step it was meant to fail at" >&2
    exit 1
fi
echo "main job: exit 0 when every step succeeds, $status when its last check fails"
