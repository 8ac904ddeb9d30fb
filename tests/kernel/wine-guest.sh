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

# The prefix made on the host (winebus without SDL, the null display driver:
# tests/kernel/wine-prefix.sh), unpacked into tmpfs.
export WINEPREFIX=/tmp/wineprefix WINEDEBUG=${QUORVI_WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
# Root's here whoever made it: wine runs only in a prefix of its own user.
step=$(date +%s)
mkdir -p "$WINEPREFIX" && tar --no-same-owner -xf "$prefix_tar" -C "$WINEPREFIX" ||
    fail "the wine prefix could not be unpacked"
echo "FIGURE prefix-unpack-s $(( $(date +%s) - step )) s"
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
has_node() { ls /dev/hidraw* >/dev/null 2>&1; }
# A program that outlives its time has the stacks of all its threads (and
# of wine's driver host) taken with winedbg before it is stopped.
backtrace() { # label, executable name
    local pid
    pid=$(WINEDEBUG=-all "$wine" winedbg --command "info proc" 2>/dev/null | grep -i "'$2" | awk '{print $1}' | head -n1)
    [ -n "$pid" ] || return
    printf 'bt all\ndetach\nquit\n' | WINEDEBUG=-all timeout 120 "$wine" winedbg "0x$pid" >"/tmp/$1.bt" 2>&1
    echo "stacks of $2 (0x$pid) taken: $(grep -c '^Backtracing' "/tmp/$1.bt") threads, in the results' wine/$1.bt"
}
declare -A launched_pid launched_at launched_exe
launch() { # label, program and arguments; output in /tmp/<label>.out and .err
    local label=$1
    shift
    launched_at[$label]=$(date +%s)
    launched_exe[$label]=$(basename "$1")
    "$wine" "$@" >"/tmp/$label.out" 2>"/tmp/$label.err" &
    launched_pid[$label]=$!
}
finish() { # label, time limit from its launch; returns its exit status, 124 when it was stopped
    local label=$1 limit=$2 rc
    local program=${launched_pid[$label]} t=${launched_at[$label]}
    while kill -0 "$program" 2>/dev/null && (( $(date +%s) - t < limit )); do sleep 0.5; done
    if kill -0 "$program" 2>/dev/null; then
        backtrace "$label" "${launched_exe[$label]}"
        kill "$program" 2>/dev/null
        sleep 5
        kill -9 "$program" 2>/dev/null
        wait "$program" 2>/dev/null
        rc=124
    else
        wait "$program"
        rc=$?
    fi
    echo "FIGURE $label-s $(( $(date +%s) - t )) s (exit $rc)"
    return $rc
}
run() { # label, time limit, program and arguments
    local label=$1 limit=$2
    shift 2
    launch "$label" "$@"
    finish "$label" "$limit"
}
# What a failed check shows of a run: its JSON's hub, else its output and errors.
said() { # label
    jq -c '.hubs[0] // .' "/tmp/$1.out" 2>/dev/null || head -c 400 "/tmp/$1.out"
    grep -v -e fixme -e '^$' "/tmp/$1.err" | tail -n 5
}
# The levels the hubs hold before anything is sent, told apart from the
# factory ones a new firmware starts with.
levels=(11 22 33 44 55 66 77 88)
levels_json=$(printf '%s\n' "${levels[@]}" | jq -sc .)
levels_list=$(IFS=,; echo "${levels[*]}")

# The plug watch follows the hub's coming and going through the window's path;
# it says "hubs 0 ()" once its window and first pass are there.
launch watch "$watchexe" 900
wait_for 120 grep -q '^hubs 0' /tmp/watch.out || echo "note: the plug watch said nothing in 120 s"
start_hub /tmp/hub-update.log --serial VH0001 --levels "$levels_list"
wait_for 20 has_node || fail "no hidraw node for the hub"

# list: the hub with the serial number hid.dll reports and its port.
if run list 120 "$hubexe" list --json &&
    jq -e '.hubs | length == 1 and .[0].identity == "serial:VH0001" and .[0].port != ""' /tmp/list.out >/dev/null; then
    pass "list finds the hub with its serial number and port: $(jq -r '.hubs[0] | "\(.identity), port \(.port), path \(.path)"' /tmp/list.out)"
else
    fail "list: $(said list)"
fi
# check: exit 10 says an update is available.
run check 120 "$hubexe" check --json
rc=$?
if { [ $rc -eq 0 ] || [ $rc -eq 10 ]; } && jq -e '.hubs[0].version != null' /tmp/check.out >/dev/null; then
    pass "check reads the version: $(jq -r '.hubs[0] | "\(.version), \(.resultText)"' /tmp/check.out)"
else
    fail "check: exit $rc, $(said check)"
fi
# update: across the hub's restarts, each one a uhid device destroyed and made again.
if run update 400 "$hubexe" update --json &&
    jq -e --argjson l "$levels_json" '.hubs[0] | .completed == true and .calibrationCarried == true and
        .versionAfter != null and .levelsRead == $l and .levelsWritten == $l' /tmp/update.out >/dev/null; then
    pass "update completes across the hub's restarts, levels $levels_list carried, version $(jq -r '.hubs[0].versionAfter' /tmp/update.out) read back"
else
    fail "update: $(said update)"
fi
stop_hub
summary=$(hub_summary /tmp/hub-update.log)
echo "hub $summary"
[[ $summary == *"write complete yes"* && $summary == *"mode application"* && $summary == *"version 11150906"* &&
    $summary == *"leds ${levels[*]}" ]] &&
    pass "the hub confirms the update: new firmware, in its application, its levels back" ||
    fail "the hub's side: $summary"

# It ends once it has seen the hub go; the update took it away and back.
if finish watch $(( $(date +%s) - launched_at[watch] + 60 )); then
    pass "the notification path saw the hub come and go: $(tr '\n' ';' </tmp/watch.out)"
else
    fail "the notification path: $(tr '\n' ';' </tmp/watch.out) $(grep -v fixme /tmp/watch.err | tail -n 3)"
fi

# An unplug mid-update: the uhid device goes for good at the 40th frame.
start_hub /tmp/hub-unplug.log --serial VH0002 --levels "$levels_list" --fault unplug@40
wait_for 20 has_node || fail "no hidraw node for the hub"
run unplug 300 "$hubexe" update --json
rc=$?
stop_hub
echo "hub $(hub_summary /tmp/hub-unplug.log)"
if [ $rc -eq 1 ] && jq -e --argjson l "$levels_json" '.hubs[0] | .completed == false and
        .failure.kind == "unplugged" and .levelsRead == $l' /tmp/unplug.out >/dev/null; then
    pass "an unplug mid-update ends in an honest failure: $(jq -r '.hubs[0] | "\(.resultText) \(.whereLeft)"' /tmp/unplug.out)"
else
    fail "unplug mid-update: exit $rc, $(said unplug)"
fi
# Plugged in again it starts in its bootloader with the factory levels: the
# next update gives it the levels kept from the failed one.
start_hub /tmp/hub-again.log --serial VH0002 --bootloader
wait_for 20 has_node || fail "no hidraw node for the hub"
if run again 400 "$hubexe" update --json &&
    jq -e --argjson l "$levels_json" '.hubs[0] | .completed == true and .levelsWritten == $l' /tmp/again.out >/dev/null; then
    pass "the levels were kept: the next update gives them back ($(jq -c '.hubs[0].levelsWritten' /tmp/again.out))"
else
    fail "the levels kept after the unplug: $(said again)"
fi
stop_hub
summary=$(hub_summary /tmp/hub-again.log)
echo "hub $summary"
[[ $summary == *"mode application"* && $summary == *"leds ${levels[*]}" ]] ||
    fail "the hub's side after the next update: $summary"

"$wineserver" -k
pids=$(pidof systemd-udevd) && kill $pids # "udevadm control --exit" is ignored in a chroot
# Everything each run said, for whoever reads the results.
mkdir -p "$results/wine" && cp /tmp/*.out /tmp/*.err /tmp/*.bt /tmp/hub-*.log "$results/wine/" 2>/dev/null
echo "FIGURE wine-guest-s $(( $(date +%s) - started )) s"
echo "$status" >"$results/status"
