#!/bin/bash
# Runs as root inside the kernel test's guest (see scripts/kernel-test.sh):
# the end-to-end phases without and with a udev daemon, as root and as a user
# without access. Usage: guest.sh BUILD_DIR RESULTS_DIR
set -u
build=$1
results=$2
hubprog=$build/sim/quorvi-virtual-hub
# The build share keeps the host's owners and modes, which may shut out the
# unprivileged user (a private home's umask of 077): it runs a copy of its own.
e2e=/run/quorvi/bin/kernel_e2e
if ! install -D -m 0755 "$build/tests/kernel/kernel_e2e" "$e2e"; then
    echo "FAIL kernel_e2e could not be copied out of $build"
    echo 1 >"$results/status"
    exit 1
fi
export QT_QPA_PLATFORM=offscreen HOME=/tmp LANG=C.UTF-8 ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
mkdir -p -m 0700 /tmp/xdg-root
export XDG_RUNTIME_DIR=/tmp/xdg-root
status=0
hub=

fail() {
    echo "FAIL $1"
    status=1
}

# Output goes to the console as it comes; the results share only gets a
# status at the end, so slow 9p writes never hold up a reply.
phase() {
    local name=$1
    shift
    echo "=== $name"
    local start=$(date +%s%N)
    timeout -k 5 "${PHASE_LIMIT:-200}" "$@" 2>&1 | grep -v -e '^QStandardPaths' -e 'propagateSizeHints'
    local rc=${PIPESTATUS[0]}
    echo "FIGURE phase-$name-ms $(( ($(date +%s%N) - start) / 1000000 )) ms"
    [ "$rc" -eq 0 ] || fail "$name: the program exited with $rc"
}

# A home of its own, as a real user has: the state folder (kept levels, locks,
# history) is not the one root used in the phases before.
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups env XDG_RUNTIME_DIR=/tmp/xdg-nobody HOME=/tmp/home-nobody)

wait_for() { # seconds, test command...
    local limit=$(( $1 * 10 ))
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

stop_udevd() {
    local pids
    pids=$(pidof systemd-udevd) || return 0
    kill $pids
    wait_for 10 eval '! pidof systemd-udevd >/dev/null'
}

hidraw_node() { ls /dev/hidraw* 2>/dev/null | head -n1; }
has_node() { [ -n "$(hidraw_node)" ]; }

start_hub() { # log file
    "$hubprog" --log "$1" &
    hub=$!
}

stop_hub() { # log file, expectation for the frame count
    kill "$hub" 2>/dev/null
    wait "$hub"
    local summary
    summary=$(grep 'summary:' "$1")
    echo "hub $summary"
    case "$2" in
        none) [[ $summary == *"frames 0,"* ]] && echo "PASS no access: nothing was sent to the hub" ||
            fail "no access: nothing was sent to the hub: $summary" ;;
        some) [[ $summary != *"frames 0,"* ]] && echo "PASS late access: the hub received frames" ||
            fail "late access: the hub received frames: $summary" ;;
    esac
}

echo "guest: $(uname -r), $(nproc) CPU"
[ -c /dev/uhid ] || fail "/dev/uhid is missing"

# Without a udev daemon: libudev reads sysfs, inotify on /dev follows plugs.
phase full-no-udev "$e2e" full no-udev
phase latency "$e2e" latency 300
phase virtual "$e2e" virtual

# Update attempts in a row, each with a fault drawn from the seed (the host's
# QUORVI_SOAK_SEED repeats a run), checked on the hub's side; a second
# program probes the first attempt.
seed=${3:-$(( $(date +%s) % 100000 ))}
install -m 0755 "$build/cli/quorvi-hub" /run/quorvi/bin/quorvi-hub || fail "quorvi-hub could not be copied"
PHASE_LIMIT=1000 phase soak "$e2e" soak "$seed" "${QUORVI_SOAK_ATTEMPTS:-20}" /run/quorvi/bin/quorvi-hub

# The service page's commands on the command line, against the hub program.
hubcli=/run/quorvi/bin/quorvi-hub
start_hub /tmp/hub-service.log
wait_for 10 has_node || fail "no hidraw node for the hub"
sleep 0.5
out=$(timeout 120 "$hubcli" data --json 2>&1)
grep -q '"status": *"ok"' <<<"$out" && grep -q '"voltage' <<<"$out" &&
    echo "PASS data: the running data read through hidraw" || fail "data: $out"
out=$(timeout 120 "$hubcli" levels set 10 20 30 40 50 60 70 80 2>&1)
grep -q 'now holds' <<<"$out" && echo "PASS levels set: written and read back" || fail "levels set: $out"
timeout 120 "$hubcli" levels --json >/tmp/levels.json 2>/dev/null
timeout 120 "$hubcli" levels set 1=0 >/dev/null 2>&1
timeout 120 "$hubcli" levels set --from /tmp/levels.json >/dev/null 2>&1
restored=$(timeout 120 "$hubcli" levels --json 2>/dev/null | tr -d ' \n')
grep -q '"levels":\[10,20,30,40,50,60,70,80\]' <<<"$restored" &&
    echo "PASS levels set --from: a backup restored onto its hub" || fail "levels restored: $restored"
stop_hub /tmp/hub-service.log ""

# A user without access to a root-only node: the message, nothing sent.
mkdir -p -m 0700 /tmp/xdg-nobody /tmp/home-nobody && chown nobody /tmp/xdg-nobody /tmp/home-nobody
start_hub /tmp/hub-denied.log
wait_for 10 has_node || fail "no hidraw node for the hub"
ls -l "$(hidraw_node)"
phase denied "${as_nobody[@]}" "$e2e" denied
stop_hub /tmp/hub-denied.log none

# The same user once the node becomes accessible just after the plug, as
# udev's uaccess does on a desktop.
rm -f /tmp/ready
"${as_nobody[@]}" "$e2e" late-access /tmp/ready > /tmp/late.out 2>&1 &
late=$!
wait_for 60 test -e /tmp/ready || fail "late access: the window did not come up"
start_hub /tmp/hub-late.log
wait_for 10 has_node || fail "no hidraw node for the hub"
sleep 0.3
chmod 0666 "$(hidraw_node)"
wait "$late" || fail "late-access: the program exited with $?"
grep -v -e '^QStandardPaths' -e 'propagateSizeHints' /tmp/late.out
stop_hub /tmp/hub-late.log some

# That user again, with the hub in the program: every node the hub gets
# (three in an update) becomes accessible a moment after it appears.
# Few processes per round: forks are slow under TCG.
emulate_uaccess() {
    declare -A seen
    while :; do
        for node in $(find /dev -maxdepth 1 -name 'hidraw*' -perm 0600); do
            if [ -z "${seen[$node]:-}" ]; then
                seen[$node]=${EPOCHREALTIME/./}
            elif (( ${EPOCHREALTIME/./} - seen[$node] > 300000 )); then
                chmod 0666 "$node"
                unset "seen[$node]"
            fi
        done
        sleep 0.05
    done
}
chmod 0666 /dev/uhid
emulate_uaccess &
uaccess=$!
phase update-user "${as_nobody[@]}" "$e2e" update-user
kill "$uaccess"
wait "$uaccess" 2>/dev/null
chmod 0600 /dev/uhid

# With a udev daemon: enumeration and the monitor go through udev.
if [ -x /lib/systemd/systemd-udevd ]; then
    /lib/systemd/systemd-udevd --daemon --resolve-names=never 2>/dev/null
    udevadm trigger --action=add --subsystem-match=misc --subsystem-match=hid --subsystem-match=hidraw
    udevadm settle --timeout=60
    [ -e /run/udev/control ] || fail "systemd-udevd did not start"
    phase full-udev "$e2e" full udev
    # "udevadm control --exit" is ignored in a chroot ("Running in chroot").
    stop_udevd || fail "systemd-udevd did not stop"
else
    fail "systemd-udevd is not installed"
fi

echo "$status" > "$results/status"
