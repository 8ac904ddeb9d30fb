#!/usr/bin/env bash
# Boots Debian's own kernel under QEMU (TCG) with this machine's root shared
# read-only over 9p for its system files, the checkout and the build folder
# each shared read-only on their own, and runs the end-to-end test of the real
# updater against quorvi-virtual-hub on /dev/uhid (tests/kernel). Installs
# what it needs; the kernel package is unpacked into build/kernel-cache, never
# installed. QEMU is stopped after QUORVI_KERNEL_TEST_LIMIT seconds (1500).
# Usage: scripts/kernel-test.sh [build dir, default build/ci-release]
#        scripts/kernel-test.sh --windows [build dir] [Windows build dir, default build/windows]
# The --windows mode runs the Windows quorvi-hub.exe under the host's wine64
# in the guest instead (tests/kernel/wine-guest.sh), through wine's own HID
# stack over the guest kernel's hidraw.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
windows=
if [ "${1:-}" = --windows ]; then
    windows=1
    shift
fi
build=$(realpath "${1:-build/ci-release}")
limit=${QUORVI_KERNEL_TEST_LIMIT:-1500}
memory=1G
cache=$root/build/kernel-cache
guest_args=
if [ -n "$windows" ]; then
    winbuild=$(realpath "${2:-build/windows}")
    for program in cli/quorvi-hub.exe tests/windows/windows_plug_watch.exe qt-prefix; do
        [ -e "$winbuild/$program" ] || { echo "FAIL: $winbuild/$program is not built"; exit 1; }
    done
    [ -x "$build/sim/quorvi-virtual-hub" ] || { echo "FAIL: $build/sim/quorvi-virtual-hub is not built"; exit 1; }
    QUORVI_GUEST_SCRIPT=${QUORVI_GUEST_SCRIPT:-tests/kernel/wine-guest.sh}
    memory=2G
    source tests/kernel/wine-prefix.sh
    prefix_tar=$(make_wine_prefix "$cache")
    # The guest reaches both through the root share, at the same paths.
    guest_args="quorvi.args=$winbuild,$prefix_tar"
else
    for program in tests/kernel/kernel_e2e sim/quorvi-virtual-hub cli/quorvi-hub; do
        [ -x "$build/$program" ] || { echo "FAIL: $build/$program is not built"; exit 1; }
    done
    # The fault soak's seed: printed, and given again to repeat a run.
    seed=${QUORVI_SOAK_SEED:-$(( $(date +%s) % 100000 ))}
    echo "fault soak seed: $seed (QUORVI_SOAK_SEED=$seed repeats it)"
    guest_args="quorvi.args=$seed"
fi
# The guest sees the checkout at /run/quorvi/src and the build at
# /run/quorvi/build: through the root share a checkout under /tmp would sit
# below the guest's own tmpfs, and one under a 0700 home would be out of reach.
script=$(realpath "${QUORVI_GUEST_SCRIPT:-tests/kernel/guest.sh}")
case $script in
    "$root"/*) script=${script#"$root"/} ;;
    *) echo "FAIL: the guest script $script is not in the checkout $root"; exit 1 ;;
esac

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
packages=(qemu-system-x86 busybox-static cpio kmod udev util-linux xz-utils)
[ -n "$windows" ] && packages+=(jq)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends "${missing[@]}"
fi

# The kernel package is only unpacked into the cache, never installed.
mkdir -p "$cache"
pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n1)
if [ -z "$pkg" ]; then
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    pkg=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n1)
fi
kver=${pkg#linux-image-}
kdir=$cache/$kver
if [ ! -f "$kdir/boot/vmlinuz-$kver" ]; then
    rm -rf "$kdir" "$kdir.tmp" "$cache"/*.deb
    (cd "$cache" && apt-get -o APT::Sandbox::User=root download "$pkg" >/dev/null)
    dpkg-deb -x "$cache"/"$pkg"_*.deb "$kdir.tmp"
    depmod -b "$kdir.tmp" "$kver"
    rm -f "$cache"/*.deb
    mv "$kdir.tmp" "$kdir"
fi

# A tiny initramfs: busybox, the modules for 9p, virtio and uhid, and an init
# that mounts the shared root and hands over to the guest script.
initrd=$cache/initrd-$kver.cpio.gz
stage=$cache/initrd-stage
rm -rf "$stage"
mkdir -p "$stage"/{bin,dev,proc,sys,mnt/root,modules}
cp /bin/busybox "$stage/bin/busybox"
order=()
for m in virtio_pci 9pnet_virtio 9p uhid hid-generic; do
    while read -r _ path _; do
        name=$(basename "$path" .xz)
        case " ${order[*]-} " in *" $name "*) continue ;; esac
        case $path in
            *.xz) xz -dc "$path" >"$stage/modules/$name" ;;
            *) cp "$path" "$stage/modules/$name" ;;
        esac
        order+=("$name")
    done < <(modprobe -d "$kdir" -S "$kver" --show-depends "$m" | grep '^insmod')
done
printf '%s\n' "${order[@]}" >"$stage/modules/order"
cp tests/kernel/init.sh "$stage/init"
chmod +x "$stage/init"
(cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd"

results=$build/kernel-test${windows:+-windows}
rm -rf "$results"
mkdir -p "$results"
chmod 777 "$results"

log=$results/console.log
echo "=== kernel test${windows:+ (Windows programs under wine)}: $kver under QEMU (TCG), limit ${limit}s ==="
start=$(date +%s)
# The guest's console as it comes, without the firmware's screen codes and banner.
set +e
timeout -k 10 "$limit" qemu-system-x86_64 -accel tcg -m "$memory" -smp 1 -nographic -no-reboot -net none \
    -kernel "$kdir/boot/vmlinuz-$kver" -initrd "$initrd" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 quorvi.script=$script $guest_args" \
    -virtfs local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="${root//,/,,}",mount_tag=src,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="${build//,/,,}",mount_tag=build,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="${results//,/,,}",mount_tag=results,security_model=none,multidevs=remap </dev/null 2>&1 |
    tee "$log" | sed -u -e 's/\x1b\[[0-9;?]*[a-zA-Z]//g' -e 's/\r$//' |
    grep --line-buffered -v -e '^c*SeaBIOS' -e '^Booting from' -e '^iPXE' -e '^c*$'
status=${PIPESTATUS[0]}
set -e
elapsed=$(( $(date +%s) - start ))
passed=$(grep -c '^PASS ' "$log" || true)
failed=$(grep -c '^FAIL ' "$log" || true)
echo "=== kernel test: $passed checks passed, $failed failed, ${elapsed}s"
grep '^FAIL ' "$log" || true
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "FAIL: the guest did not finish within ${limit}s; QEMU was stopped"
    exit 1
fi
if [ ! -f "$results/status" ]; then
    echo "FAIL: the guest ended without a result (see $log)"
    exit 1
fi
[ "$failed" -eq 0 ] && [ "$(cat "$results/status")" = 0 ] && [ "$passed" -gt 0 ]
