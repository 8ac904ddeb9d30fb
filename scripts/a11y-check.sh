#!/usr/bin/env bash
# Checks the demo as a screen reader sees it: under Xvfb, with a D-Bus session
# bus and the AT-SPI registry it starts, a script walks the accessible tree,
# starts an update through the accessible actions and reads its outcome.
# Usage: scripts/a11y-check.sh [build directory]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
demo=$build/app/quorvi-hub-updater-demo
[ -x "$demo" ] || { echo "no demo at $demo: build it first" >&2; exit 1; }

# The demo keeps its virtual hub's state to itself; a home of this run makes
# sure that nothing it or Qt writes reaches the home of whoever runs the check.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home XDG_STATE_HOME=$home/state XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache
export XDG_DATA_HOME=$home/data

export QT_QPA_PLATFORM=xcb
# Qt offers its tree only when asked to or when a reader is running.
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
export NO_AT_BRIDGE=0
timeout 300 xvfb-run -a -s "-screen 0 1280x1024x24" \
    dbus-run-session -- /usr/bin/python3 tests/a11y/atspi_check.py "$demo"
