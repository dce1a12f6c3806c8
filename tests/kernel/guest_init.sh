#!/bin/sh
# The guest's first process. COM2's six nodes are made on the kernel's own
# UART drivers, in the order the plug wired them: four 8250 ports on a
# 4-port PCI card (ttyS0-3), one on a 1-port card (ttyS4), the PL011
# (ttyAMA0). The console is the virtio console, leaving every UART free.
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
insmod /lib/modules/virtio_mmio.ko
insmod /lib/modules/virtio_console.ko
tries=0
while [ ! -c /dev/hvc0 ] && [ $tries -lt 100 ]; do
    sleep 0.05
    tries=$((tries + 1))
done
exec >/dev/hvc0 2>&1 </dev/null

mknod /dev/ttyT8Sy0 c 4 64
mknod /dev/ttyT8Sy8 c 4 65
mknod /dev/ttyT8Sy16 c 4 66
mknod /dev/ttyT9Sy0 c 4 67
mknod /dev/ttyT9Sy8 c 4 68
mknod /dev/ttyT9Sy16 c 204 64
# The scenario, sourced below, walks the nodes by this name.
# shellcheck disable=SC2034
NODES="/dev/ttyT8Sy0 /dev/ttyT8Sy8 /dev/ttyT8Sy16 /dev/ttyT9Sy0 /dev/ttyT9Sy8 /dev/ttyT9Sy16"

echo "== kernel $(uname -r)"
# The test's own script, put into the initramfs by rig.sh.
# shellcheck source=/dev/null
. /scenario
echo "== end"
poweroff -f
