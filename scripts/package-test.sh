#!/usr/bin/env bash
# Builds the Debian package and checks it: lintian finds no errors, the
# desktop entry and the AppStream data validate, the package holds every file
# it should and nothing else, apt resolves its dependencies, and (as root) it
# installs, runs and purges cleanly. Whatever the install test put on the
# machine is purged again, pass or fail.
#
#   scripts/package-test.sh [--no-install]
set -euo pipefail
cd "$(dirname "$0")/.."

# The programs the package ships. Each has a manual page in docs/man and
# answers --help and --version.
programs=(quorvi-hub-updater quorvi-hub quorvi-hub-updater-demo)
package=quorvi-hub-updater
app_id=$(sed -n 's/^set(QUORVI_APP_ID \(.*\))$/\1/p' CMakeLists.txt)
version=$(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
icon_sizes=(16 22 24 32 48 64 128 256)
apt_wait=(-o DPkg::Lock::Timeout=600)

started=$SECONDS
failures=0
pass() { echo "ok   $*"; }
fail() {
    echo "FAIL $*" >&2
    failures=$((failures + 1))
}
check() { # check <what> <command...>
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

work=$(mktemp -d)
package_installed=0 # set while the install test may have left the package on the machine
added_deps=()       # dependencies the install test pulled in
cleanup() {
    if [ "$package_installed" -eq 1 ]; then
        echo "purging $package"
        DEBIAN_FRONTEND=noninteractive apt-get "${apt_wait[@]}" purge -y -qq "$package" >/dev/null || true
    fi
    if [ ${#added_deps[@]} -gt 0 ]; then
        echo "purging ${added_deps[*]}"
        # dpkg refuses to remove what something else has come to need meanwhile.
        dpkg --purge "${added_deps[@]}" >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "=== building the package ==="
scripts/package.sh --no-windows
debs=(build/package/"${package}"_*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "expected one package in build/package, found ${#debs[@]}" >&2; exit 1; }
deb=$PWD/${debs[0]}
arch=$(dpkg --print-architecture)

echo "=== package checks: $(basename "$deb") ==="
field() { dpkg-deb -f "$deb" "$1"; }
check "name $package" [ "$(field Package)" = "$package" ]
check "version $version" [ "$(field Version)" = "$version" ]
check "architecture $arch" [ "$(field Architecture)" = "$arch" ]
depends=$(field Depends)
for dep in libudev1 libqt6sql6-sqlite libqt6widgets6 libqt6gui6 libqt6core6 libc6; do
    check "depends on $dep" grep -qE "(^|, )$dep( |,|$)" <<<"$depends"
done
dpkg-deb -x "$deb" "$work/root"
dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$work" ./postinst ./postrm
# Regular files only, as absolute paths.
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print substr($6, 2) }' | sort >"$work/files"

changelog_names() { zcat "$work/root/usr/share/doc/$package/changelog.gz" | head -1 | grep -qF "$package ($version)"; }
check "changelog starts with $version" changelog_names

expected=(
    /usr/lib/udev/rules.d/70-quorvi-hub.rules
    "/usr/share/applications/$app_id.desktop"
    "/usr/share/metainfo/$app_id.metainfo.xml"
    "/usr/share/icons/hicolor/scalable/apps/$app_id.svg"
    "/usr/share/doc/$package/copyright"
    "/usr/share/doc/$package/changelog.gz"
    /usr/share/bash-completion/completions/quorvi-hub
    /usr/share/zsh/vendor-completions/_quorvi-hub
)
for p in "${programs[@]}"; do
    expected+=("/usr/bin/$p" "/usr/share/man/man1/$p.1.gz")
done
for s in "${icon_sizes[@]}"; do
    expected+=("/usr/share/icons/hicolor/${s}x${s}/apps/$app_id.png")
done
printf '%s\n' "${expected[@]}" | sort >"$work/expected"
missing=$(comm -23 "$work/expected" "$work/files")
extra=$(comm -13 "$work/expected" "$work/files")
check "holds every file it should" [ -z "$missing" ]
[ -z "$missing" ] || echo "  missing: $missing" >&2
check "holds nothing else" [ -z "$extra" ]
[ -z "$extra" ] || echo "  unexpected: $extra" >&2

is_elf_program() { file -b "$1" | grep -q '^ELF .*executable'; }
is_manual_page_of() { zcat "$1" | grep -q "^\.TH ${2^^} 1 "; }
is_png_of_size() { file -b "$1" | grep -q "^PNG image data, $2 x $2,"; }
for p in "${programs[@]}"; do
    check "$p is an executable ELF file" is_elf_program "$work/root/usr/bin/$p"
    check "$p.1 is its manual page" is_manual_page_of "$work/root/usr/share/man/man1/$p.1.gz" "$p"
done
for s in "${icon_sizes[@]}"; do
    check "icon ${s}x${s} is a PNG of that size" \
        is_png_of_size "$work/root/usr/share/icons/hicolor/${s}x${s}/apps/$app_id.png" "$s"
done
check "scalable icon is SVG" grep -q '<svg ' "$work/root/usr/share/icons/hicolor/scalable/apps/$app_id.svg"
desktop="$work/root/usr/share/applications/$app_id.desktop"
check "desktop entry starts the updater" grep -qx 'Exec=quorvi-hub-updater' "$desktop"
check "desktop entry names the icon" grep -qx "Icon=$app_id" "$desktop"
metainfo="$work/root/usr/share/metainfo/$app_id.metainfo.xml"
check "metainfo offers the program for the hub" grep -q '<modalias>usb:vFFF0p0018d\*</modalias>' "$metainfo"
screenshot_size=$(file -b docs/screenshot.png | sed -n 's/^PNG image data, \([0-9]*\) x \([0-9]*\),.*/width="\1" height="\2"/p')
check "metainfo screenshot has the size of docs/screenshot.png ($screenshot_size)" \
    grep -q "<image type=\"source\" $screenshot_size>https://" "$metainfo"
names_rule() { zcat "$1" | sed 's/\\-/-/g' | grep -qx '\.I /usr/lib/udev/rules\.d/70-quorvi-hub\.rules'; }
check "quorvi-hub.1 names the installed udev rule" names_rule "$work/root/usr/share/man/man1/quorvi-hub.1.gz"
check "udev rule is the project's" cmp -s resources/udev/70-quorvi-hub.rules "$work/root/usr/lib/udev/rules.d/70-quorvi-hub.rules"

# The maintainer scripts where udev runs: in a private mount namespace, a
# udev control socket, two hidraw nodes (one of them a hub) and a udevadm
# that notes its calls instead of making them.
maint_with_udev() { # maint_with_udev <script> <argument> -> the udevadm calls
    local fake=$work/fake-udev
    mkdir -p "$fake/bin"
    # shellcheck disable=SC2016 # expanded by the fake udevadm and the inner shell
    printf '#!/bin/sh\necho "$*" >>"$UDEVADM_CALLS"\n' >"$fake/bin/udevadm"
    chmod +x "$fake/bin/udevadm"
    : >"$fake/calls"
    # shellcheck disable=SC2016
    unshare --mount --propagation private sh -ec '
        mount -t tmpfs none /run
        mount -t tmpfs none /sys/class
        mkdir -p /run/udev /sys/class/hidraw/hidraw0/device /sys/class/hidraw/hidraw1/device
        echo HID_ID=0003:0000046D:0000C52B >/sys/class/hidraw/hidraw0/device/uevent
        echo HID_ID=0003:0000FFF0:00000018 >/sys/class/hidraw/hidraw1/device/uevent
        perl -MIO::Socket::UNIX -e "IO::Socket::UNIX->new(Local => q(/run/udev/control), Listen => 1) or die"
        PATH=$1:$PATH UDEVADM_CALLS=$2 sh "$3" "$4"
    ' sh "$fake/bin" "$fake/calls" "$1" "$2" >/dev/null
    cat "$fake/calls"
}
reloads_and_replays_the_hub() {
    [ "$(maint_with_udev "$@")" = "control --reload-rules
trigger --action=change /sys/class/hidraw/hidraw1" ]
}
leaves_udev_alone() { [ -z "$(maint_with_udev "$@")" ]; }
check "postinst without udev does nothing and succeeds" sh "$work/postinst" configure
check "postrm without udev does nothing and succeeds" sh "$work/postrm" purge
if [ "$(id -u)" -eq 0 ] && unshare --mount --propagation private mount -t tmpfs none /run 2>/dev/null; then
    check "postinst configure reloads the rules and replays only the hub" reloads_and_replays_the_hub "$work/postinst" configure
    check "postrm remove does the same" reloads_and_replays_the_hub "$work/postrm" remove
    check "postrm purge does the same" reloads_and_replays_the_hub "$work/postrm" purge
    check "postinst abort-upgrade leaves udev alone" leaves_udev_alone "$work/postinst" abort-upgrade
    check "postrm upgrade leaves udev alone" leaves_udev_alone "$work/postrm" upgrade
else
    echo "skip maintainer scripts with udev: no private mount namespace here"
fi

echo "--- lintian"
lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -z "$lintian_out" ] || echo "$lintian_out"
lintian_has_no_errors() { ! grep -q '^E: ' <<<"$lintian_out"; }
check "lintian: no errors" lintian_has_no_errors

echo "--- desktop-file-validate"
check "desktop entry validates" desktop-file-validate "$desktop"
echo "--- appstreamcli validate --no-net"
check "AppStream data validates" appstreamcli validate --no-net "$metainfo"

echo "--- apt-get install --simulate"
if simulated=$(apt-get install --simulate "$deb" 2>&1); then
    pass "apt resolves every dependency"
else
    echo "$simulated" >&2
    fail "apt resolves every dependency"
fi

answers_version() {
    env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "/usr/bin/$1" --version | head -1 | grep -qx "$1 $version"
}
# Read whole: grep -q leaving early would end a longer help with SIGPIPE.
answers_help() {
    local text
    text=$(env -u DISPLAY -u WAYLAND_DISPLAY "/usr/bin/$1" --help) && grep -q "^Usage: $1 " <<<"$text"
}
finds_manual_page() { [ "$(man -w "$1")" = "/usr/share/man/man1/$1.1.gz" ]; }
is_gone_from_dpkg() { ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q ' installed$'; }

install_test() {
    echo "--- install, run, purge"
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q ' installed$'; then
        fail "$package is already installed on this machine; not touching it"
        return
    fi
    # What this install adds besides the package: dependencies not yet there.
    local p
    while read -r p; do
        [ "$p" = "$package" ] || added_deps+=("$p")
    done < <(awk '/^Inst / { print $2 }' <<<"$simulated")
    package_installed=1
    if ! DEBIAN_FRONTEND=noninteractive apt-get "${apt_wait[@]}" install -y -qq --no-install-recommends \
        "$deb" >"$work/install.log" 2>&1; then
        cat "$work/install.log" >&2
        fail "apt-get install ./$(basename "$deb")"
        return
    fi
    pass "apt-get install ./$(basename "$deb")"

    # Slim container images tell dpkg to leave manual pages out.
    local man_excluded=0
    grep -qs '^path-exclude=/usr/share/man/' /etc/dpkg/dpkg.cfg.d/* && man_excluded=1
    for p in "${programs[@]}"; do
        check "installed $p --version" answers_version "$p"
        check "installed $p --help" answers_help "$p"
        if [ "$man_excluded" -eq 0 ]; then
            check "man finds $p(1)" finds_manual_page "$p"
        else
            echo "skip man finds $p(1): dpkg is set to leave out manual pages here"
        fi
    done
    # The window comes up offscreen and keeps running until it is stopped.
    local rc=0
    QT_QPA_PLATFORM=offscreen timeout 3 /usr/bin/quorvi-hub-updater >"$work/run.log" 2>&1 || rc=$?
    check "installed window starts offscreen and runs (status $rc, 124 = still running)" [ "$rc" -eq 124 ]
    [ "$rc" -eq 124 ] || cat "$work/run.log" >&2
    check "installed desktop entry validates" desktop-file-validate "/usr/share/applications/$app_id.desktop"
    check "installed AppStream data validates" appstreamcli validate --no-net "/usr/share/metainfo/$app_id.metainfo.xml"

    local purge_rc=0
    DEBIAN_FRONTEND=noninteractive apt-get "${apt_wait[@]}" purge -y -qq "$package" >"$work/purge.log" 2>&1 ||
        purge_rc=$?
    check "apt-get purge $package" [ "$purge_rc" -eq 0 ]
    check "$package is gone from dpkg" is_gone_from_dpkg
    is_gone_from_dpkg && package_installed=0
    local left=() f
    while read -r f; do
        [ ! -e "$f" ] || left+=("$f")
    done <"$work/files"
    check "no file of the package is left" [ ${#left[@]} -eq 0 ]
    [ ${#left[@]} -eq 0 ] || printf '  left: %s\n' "${left[@]}" >&2
    # The exit trap purges the dependencies it added (on the test machine, none).
}

if [ "${1:-}" = --no-install ]; then
    echo "--- install test skipped (--no-install)"
elif [ "$(id -u)" -ne 0 ]; then
    echo "--- install test skipped: it needs root (CI runs as root)"
else
    install_test
fi

echo "=== package checks: $failures failed, $((SECONDS - started)) s ==="
[ "$failures" -eq 0 ]
