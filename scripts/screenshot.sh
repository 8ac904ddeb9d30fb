#!/usr/bin/env bash
# Starts the demo (quorvi-hub-updater-demo) under a virtual X display
# (1920x1080x24, or $SCREEN) and saves what the screen shows of its window as a PNG.
# The demo takes the picture once its window has been painted (it honours
# QUORVI_SCREENSHOT=<file>) and then ends the program.
#
#   scripts/screenshot.sh <program> <out.png> [program arguments...]
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 <program> <out.png> [program arguments...]" >&2
    exit 2
fi
program=$1
out=$2
shift 2

command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (package xvfb)" >&2; exit 1; }
[ -x "$program" ] || { echo "not an executable: $program" >&2; exit 1; }

out_abs=$(realpath -m "$out")
mkdir -p "$(dirname "$out_abs")"
rm -f "$out_abs"

QT_QPA_PLATFORM=xcb QUORVI_SCREENSHOT="$out_abs" \
    timeout 60 xvfb-run -a -s "-screen 0 ${SCREEN:-1920x1080x24}" "$program" "$@"

if [ ! -s "$out_abs" ]; then
    echo "no screenshot was written" >&2
    exit 1
fi
echo "$out_abs"
