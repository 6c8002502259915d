#!/usr/bin/env bash
# Runs tessel-gui under Xvfb with the accessibility bus and reads it as a screen reader does
# (tools/accessibility-check.py): every dialog of a detection, the sector table's cells, the
# IAP Status line and the buttons, each by its visible label.
#
#   tools/accessibility-check.sh [PORT]     PORT default sim:NX31A32; BUILD_DIR default build
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/packages.sh
. tools/packages.sh
install_missing xvfb dbus-x11 at-spi2-core python3-pyatspi

gui="${BUILD_DIR:-build}/apps/gui/tessel-gui"
[ -x "$gui" ] || { echo "accessibility-check: build $gui first" >&2; exit 2; }
work=$(mktemp -d)
display=:$((100 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 >/dev/null 2>&1 &
pids=($!)
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
export DISPLAY=$display
eval "$(dbus-launch --sh-syntax)"
pids+=("$DBUS_SESSION_BUS_PID")
/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
pids+=($!)
sleep 1
# A settings folder of its own: the check starts from the defaults, and leaves the user's alone.
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 XDG_CONFIG_HOME="$work" "$gui" >"$work/gui.log" 2>&1 &
pids+=($!)
/usr/bin/python3 tools/accessibility-check.py "${1:-sim:NX31A32}"
