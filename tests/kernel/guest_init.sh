#!/bin/sh
# The guest's first process. COM2's six nodes are made on the kernel's own
# UART drivers, as /nodes lists them ("NAME MAJOR MINOR": a PCI card's 8250
# ports, the PL011, a USB serial adapter), once the modules are loaded in
# /lib/modules/order and each device is there. The console is the virtio
# console, leaving every UART free.
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
while read -r module; do
    insmod "/lib/modules/$module.ko"
done </lib/modules/order
wait_for() {
    tries=0
    while [ ! -c "$1" ] && [ $tries -lt 200 ]; do
        sleep 0.05
        tries=$((tries + 1))
    done
}
wait_for /dev/hvc0
exec >/dev/hvc0 2>&1 </dev/null

# The scenario, sourced below, walks the nodes by this name.
NODES=""
while read -r name major minor; do
    # The device the node stands for, by its number (a USB adapter comes up
    # a moment after its driver).
    tries=0
    while [ ! -e "/sys/dev/char/$major:$minor" ] && [ $tries -lt 200 ]; do
        sleep 0.05
        tries=$((tries + 1))
    done
    mknod "/dev/$name" c "$major" "$minor"
    NODES="$NODES /dev/$name"
done </nodes
# shellcheck disable=SC2034
NODES="${NODES# }"
# An interrupt line nothing drives while the scenario runs: the 1-port PCI
# card's (QEMU's pci-serial, 1b36:0002), whose port is closed or absent.
# shellcheck disable=SC2034
SPARE_IRQ=$(for d in /sys/bus/pci/devices/*; do [ "$(cat "$d/device")" = 0x0002 ] && cat "$d/irq"; done)

echo "== kernel $(uname -r)"
# The test's own script, put into the initramfs by rig.sh.
# shellcheck source=/dev/null
. /scenario
echo "== end"
poweroff -f
