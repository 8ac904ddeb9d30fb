#!/bin/bash
# Runs as root inside the kernel test's guest in its --windows mode (see
# scripts/kernel-test.sh): the Windows quorvi-hub.exe under wine64, through
# wine's own HID stack (winebus.sys over hidraw, hidclass.sys, setupapi,
# hid.dll), against the uhid hub, with udevd running.
# Usage: wine-guest.sh BUILD_DIR RESULTS_DIR WINDOWS_BUILD_DIR WINE_PREFIX_TAR
set -u
build=$1
results=$2
winbuild=$3
prefix_tar=$4
hubprog=$build/sim/quorvi-virtual-hub
status=0
hub=
fail() {
    echo "FAIL $1"
    status=1
}
pass() { echo "PASS $1"; }
wait_for() { # seconds, test command...
    local limit=$(( $1 * 10 ))
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
started=$(date +%s)
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
echo "guest: $(uname -r), $(nproc) CPU, $("$wine" --version 2>/dev/null)"

# wine's hidraw side reads what udev has set up; without udevd it watches
# /dev and drops a node that is root's when it appears.
/lib/systemd/systemd-udevd --daemon --resolve-names=never 2>/dev/null
udevadm trigger --action=add --subsystem-match=misc --subsystem-match=hid --subsystem-match=hidraw
udevadm settle --timeout=60
[ -e /run/udev/control ] || fail "systemd-udevd did not start"

# The prefix made on the host ("Enable SDL"=0 for winebus), unpacked into tmpfs.
export WINEPREFIX=/tmp/wineprefix WINEDEBUG=${QUORVI_WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX" && tar -xf "$prefix_tar" -C "$WINEPREFIX" || fail "the wine prefix could not be unpacked"
export HOME=/tmp LANG=C.UTF-8
qt=$(cat "$winbuild/qt-prefix")
gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll 2>/dev/null)")
[ -d "$gcc_dir" ] || gcc_dir=$(dirname "$(ls /usr/lib/gcc/x86_64-w64-mingw32/*-posix/libstdc++-6.dll | head -n1)")
# Windows paths through wine's Z: drive, which is the guest's root.
zpath() { echo "Z:${1//\//\\}"; }
export WINEPATH="$(zpath "$qt/bin");$(zpath "$gcc_dir");$(zpath /usr/x86_64-w64-mingw32/lib)"
hubexe=$winbuild/cli/quorvi-hub.exe
watchexe=$winbuild/tests/windows/windows_plug_watch.exe
"$wineserver" -p # one server for every run below
step=$(date +%s)
"$wine" cmd.exe /c exit 0 >/tmp/wine-start.log 2>&1 || fail "wine does not start: $(tail -n 3 /tmp/wine-start.log)"
echo "FIGURE wine-start-s $(( $(date +%s) - step )) s"

start_hub() { # log file, options...
    local log=$1
    shift
    "$hubprog" --log "$log" "$@" &
    hub=$!
}
stop_hub() {
    kill "$hub" 2>/dev/null
    wait "$hub" 2>/dev/null
}
hub_summary() { grep 'summary:' "$1"; }
run() { # label, timeout, program and arguments; output in /tmp/<label>.out
    local label=$1 limit=$2
    shift 2
    local t=$(date +%s)
    timeout -k 5 "$limit" "$wine" "$@" >"/tmp/$label.out" 2>"/tmp/$label.err"
    local rc=$?
    echo "FIGURE $label-s $(( $(date +%s) - t )) s (exit $rc)"
    return $rc
}

# The plug watch follows the hub's coming and going through the window's path.
timeout -k 5 300 "$wine" "$watchexe" 280 >/tmp/watch.out 2>/tmp/watch.err &
watch=$!
sleep 5
start_hub /tmp/hub-update.log --serial VH0001
wait_for 20 eval 'ls /dev/hidraw* >/dev/null 2>&1' || fail "no hidraw node for the hub"

if run list 120 "$hubexe" list --json && jq -e '.hubs[0].identity == "serial:VH0001"' /tmp/list.out >/dev/null; then
    pass "list finds the hub with its serial number and port ($(jq -r '.hubs[0].path' /tmp/list.out))"
else
    fail "list: $(head -c 400 /tmp/list.out) $(tail -n 3 /tmp/list.err)"
fi
if run check 120 "$hubexe" check --json && jq -e '.hubs[0].version != null' /tmp/check.out >/dev/null; then
    pass "check reads the version ($(jq -r '.hubs[0].version' /tmp/check.out))"
else
    fail "check: $(head -c 400 /tmp/check.out) $(tail -n 3 /tmp/check.err)"
fi
if run update 300 "$hubexe" update --json && jq -e '.hubs[0].completed == true and .hubs[0].calibrationCarried == true and .hubs[0].versionAfter != null' /tmp/update.out >/dev/null; then
    pass "update completes across the hub's restarts, levels carried, version $(jq -r '.hubs[0].versionAfter' /tmp/update.out) read back"
else
    fail "update: $(jq -c '.hubs[0] | {result, resultText, failure}' /tmp/update.out 2>/dev/null || head -c 400 /tmp/update.out) $(tail -n 3 /tmp/update.err)"
fi
stop_hub
summary=$(hub_summary /tmp/hub-update.log)
echo "hub $summary"
[[ $summary == *"write complete yes"* && $summary == *"mode application"* && $summary == *"version 11150906"* ]] &&
    pass "the hub confirms the update (new firmware, in its application)" || fail "the hub's side: $summary"

if wait "$watch"; then
    pass "the notification path saw the hub come and go: $(tr '\n' ';' </tmp/watch.out)"
else
    fail "the notification path: $(tr '\n' ';' </tmp/watch.out) $(tail -n 3 /tmp/watch.err)"
fi

# An unplug mid-update: the uhid device goes for good at the 40th frame.
start_hub /tmp/hub-unplug.log --serial VH0002 --fault unplug@40
wait_for 20 eval 'ls /dev/hidraw* >/dev/null 2>&1' || fail "no hidraw node for the hub"
run unplug 300 "$hubexe" update --json
rc=$?
# The levels read at the start stay kept for the next try.
if [ $rc -ne 0 ] && jq -e '.hubs[0].completed == false and .hubs[0].levelsRead != null' /tmp/unplug.out >/dev/null; then
    pass "an unplug mid-update ends in an honest failure, levels kept: $(jq -r '.hubs[0].resultText, .hubs[0].whereLeft' /tmp/unplug.out | tr '\n' ' ')"
else
    fail "unplug mid-update: exit $rc, $(head -c 400 /tmp/unplug.out)"
fi
stop_hub

"$wineserver" -k
pids=$(pidof systemd-udevd) && kill $pids # "udevadm control --exit" is ignored in a chroot
echo "FIGURE wine-guest-s $(( $(date +%s) - started )) s"
echo "$status" >"$results/status"
