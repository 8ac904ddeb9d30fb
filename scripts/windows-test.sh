#!/usr/bin/env bash
# Runs the Windows build under wine (Debian's wine64, in Xvfb): the
# platform-neutral tests and the Windows binding's checks through ctest; the
# installer installs silently, the installed quorvi-hub.exe answers --version,
# --help and a virtual update with valid JSON, and the uninstaller removes it
# all; the .zip runs as unpacked; the demo's window comes up and updates its
# virtual hub, with a picture of the screen in docs/screenshot-wine.png.
#
#   scripts/windows-test.sh [build folder] [package folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/windows}
packages=${2:-build/package}
root=$PWD
started=$(date +%s)

failures=0
pass() { echo "ok   $*"; }
fail() {
    echo "FAIL $*" >&2
    failures=$((failures + 1))
}

scripts/deps.sh --only wine64 xvfb jq unzip
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

export WINEPREFIX="$root/$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# wine refuses a prefix that belongs to another user: start afresh then.
if [ -e "$WINEPREFIX" ] && [ "$(stat -c %u "$WINEPREFIX")" != "$(id -u)" ]; then
    rm -rf "$WINEPREFIX"
fi

# One X server for everything below: wine's windows and Qt's Windows platform
# plugin need a display.
Xvfb_log=$build/xvfb.log
for n in $(seq 90 120); do
    [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] || { display=:$n; break; }
done
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$Xvfb_log" 2>&1 &
xvfb=$!
cleanup() {
    "$wineserver" -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=$display
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done

timeout 300 "$wine" cmd.exe /c exit 0 >"$build/wineboot.log" 2>&1 || {
    echo "wine cannot start here:"
    tail -n 5 "$build/wineboot.log"
    exit 1
}
ready=$(date +%s)
echo "wine prefix ready in $((ready - started)) s"

# Programs run from the build folder find Qt and the compiler's runtime here.
qt=$(cat "$build/qt-prefix")
gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
pthread_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")
winpath() { "$wine" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
WINEPATH="$(winpath "$qt/bin");$(winpath "$gcc_dir");$(winpath "$pthread_dir")"
export WINEPATH

echo "--- tests under wine (ctest)"
step=$(date +%s)
if ctest --test-dir "$build" --output-on-failure --timeout 300; then
    pass "platform-neutral tests and the binding's checks ($(($(date +%s) - step)) s)"
else
    fail "tests under wine"
fi

echo "--- demo window and a full update of its virtual hub"
step=$(date +%s)
mkdir -p docs
shot=$build/screenshot-wine.png
if timeout 300 "$wine" "$build/tests/windows/windows_demo_update.exe" "$(winpath "$root/$shot")" 2>"$build/demo.log"; then
    cp "$shot" docs/screenshot-wine.png
    pass "demo updated its hub ($(($(date +%s) - step)) s), picture in docs/screenshot-wine.png"
else
    fail "demo update (see $build/demo.log)"
    tail -n 20 "$build/demo.log" >&2
fi
echo "--- the update's bench under wine"
# Figures only: wall against the floor the update's own pauses set, and its CPU.
if timeout 600 "$wine" "$build/bench/update/bench_update.exe" >"$build/bench-update.txt" 2>"$build/bench-update.log"; then
    tr -d '\r' <"$build/bench-update.txt"
    pass "bench_update.exe ran"
else
    fail "bench_update.exe (see $build/bench-update.log)"
fi
unset WINEPATH # the packages must bring everything they need

# The command line as a user runs it, from a folder that has only what the package holds.
check_cli() { # check_cli <label> <quorvi-hub.exe>
    local label=$1 exe=$2 text
    if text=$("$wine" "$exe" --version 2>&1) && grep -q '^quorvi-hub ' <<<"$text"; then
        pass "$label: --version"
    else
        fail "$label: --version: $text"
    fi
    if text=$("$wine" "$exe" --help 2>&1) && grep -qi 'usage' <<<"$text"; then
        pass "$label: --help"
    else
        fail "$label: --help: $(head -n 3 <<<"$text")"
    fi
    local json rc=0
    json=$(timeout 300 "$wine" "$exe" --virtual 4 update --all --json 2>"$build/cli.log") || rc=$?
    if [ $rc -eq 0 ] && jq -e . >/dev/null 2>&1 <<<"$json"; then
        pass "$label: --virtual 4 update --all --json (valid JSON)"
    else
        fail "$label: --virtual 4 update --all --json: exit $rc, $(head -c 300 <<<"$json")"
    fi
}

echo "--- the .zip, unpacked"
zip=$(ls "$packages"/*-win64.zip 2>/dev/null | head -n1 || true)
if [ -n "$zip" ]; then
    rm -rf "$build/unzipped" && mkdir -p "$build/unzipped"
    unzip -q "$zip" -d "$build/unzipped"
    exe=$(find "$build/unzipped" -name quorvi-hub.exe | head -n1)
    check_cli "zip" "$exe"
    [ -f "$(dirname "$exe")/platforms/qwindows.dll" ] && pass "zip: platforms/qwindows.dll" ||
        fail "zip: no platforms/qwindows.dll"
    [ -f "$(dirname "$exe")/sqldrivers/qsqlite.dll" ] && [ -f "$(dirname "$exe")/Qt6Sql.dll" ] &&
        pass "zip: Qt6Sql.dll and sqldrivers/qsqlite.dll" || fail "zip: no Qt6Sql.dll or sqldrivers/qsqlite.dll"
else
    fail "no .zip in $packages (scripts/package.sh makes it)"
fi

echo "--- the installer: silent install, run, uninstall"
installer=$(ls "$packages"/*-win64.exe 2>/dev/null | head -n1 || true)
if [ -n "$installer" ]; then
    # NSIS takes /D= unquoted, so wine must not need to quote it: no spaces.
    target='C:\QuorviHub'
    unix_target=$WINEPREFIX/drive_c/QuorviHub
    rm -rf "$unix_target"
    "$wine" "$installer" /S "/D=$target" && "$wineserver" -w
    if [ -f "$unix_target/bin/quorvi-hub-updater.exe" ] && [ -f "$unix_target/Uninstall.exe" ]; then
        pass "installer: installed silently"
    else
        fail "installer: nothing installed in $target"
    fi
    start_menu=$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name 'Quorvi Hub Updater*.lnk' | head -n1)
    [ -n "$start_menu" ] && pass "installer: Start menu entry" || fail "installer: no Start menu entry"
    check_cli "installed" "$unix_target/bin/quorvi-hub.exe"
    "$wine" "$unix_target/Uninstall.exe" /S && "$wineserver" -w
    left=$(find "$unix_target" -type f 2>/dev/null | head -n 5 || true)
    entries=$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name 'Quorvi Hub Updater*' | head -n1)
    if [ -z "$left" ] && [ -z "$entries" ]; then
        pass "uninstaller: removed the programs and the Start menu entries"
    else
        fail "uninstaller left: $left $entries"
    fi
else
    fail "no installer in $packages (scripts/package.sh makes it)"
fi

echo "Windows checks under wine: $(($(date +%s) - started)) s, $failures failed"
[ $failures -eq 0 ]
