#!/bin/busybox sh
# Init of the kernel test's initramfs.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r m; do insmod "/modules/$m" || echo "init: insmod $m failed"; done </modules/order
script=$(sed -n 's/.*quorvi\.script=\([^ ]*\).*/\1/p' /proc/cmdline)
r=/mnt/root
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose root $r || { echo "init: no root share"; poweroff -f; }
mount -t proc proc $r/proc
mount -t sysfs sysfs $r/sys
mount -t devtmpfs devtmpfs $r/dev
mkdir -p $r/dev/pts $r/dev/shm
mount -t devpts devpts $r/dev/pts
mount -t tmpfs tmpfs $r/dev/shm
mount -t tmpfs tmpfs $r/tmp
mount -t tmpfs tmpfs $r/run
mkdir -p $r/run/results $r/run/quorvi/src $r/run/quorvi/build
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 results $r/run/results || echo "init: no results share"
for share in src build; do
    mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose $share $r/run/quorvi/$share ||
        echo "init: no $share share"
done
# More arguments for the script, comma-separated (paths on the root share).
args=$(sed -n 's/.*quorvi\.args=\([^ ]*\).*/\1/p' /proc/cmdline | tr ',' ' ')
chroot $r /bin/bash "/run/quorvi/src/$script" /run/quorvi/build /run/results $args
sync
poweroff -f
