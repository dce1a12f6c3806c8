#!/usr/bin/env bash
# Runs SCENARIO (a shell script) in a virtual ARM computer booted on
# Debian's own kernel for ARCH, with PORTTEST in /bin and COM2's six nodes on
# the kernel's own serial drivers, looped back by UART_PLUG.
#
#   rig.sh ARCH UART_PLUG LINES_LIBRARY PORTTEST SCENARIO [--fault NODE=KIND]...
#
# ARCH is armhf (the armmp kernel, qemu-system-arm: four nodes on a 4-port
# PCI card, one on a 1-port card, one on the PL011) or arm64 (the arm64
# kernel, qemu-system-aarch64, whose 8250 driver has room for four ports:
# the nodes with handshake lines on a 4-port PCI card, ttyT8Sy16 on a USB
# serial adapter, ttyT9Sy16 on the PL011; a 1-port card with no port of its
# own gives a spare interrupt line). Prints the guest's console. Exits 77,
# with the reason, where the machine cannot run the rig (no system emulator,
# no kernel to be had). $PORTTEST_GUEST_TOOL, if set, goes into the guest as
# /bin/guest_tool. The kernel is fetched once into
# $PORTTEST_KERNEL_CACHE/ARCH (by default ~/.cache/porttest/ARCH).
set -euo pipefail
arch=$1 plug=$2 lines=$3 porttest=$4 scenario=$5
shift 5
here=$(cd "$(dirname "$0")" && pwd)
cache=${PORTTEST_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/porttest}/$arch

unavailable() {
    echo "kernel rig unavailable: $*"
    exit 77
}

# What differs between the two guests: the emulator and its machine, the
# kernel's package and the modules it needs, which UART each node is on (a
# chardev named after the node: uart_plug's), and each node's device number.
# The commas are the emulator's own, within one option.
# shellcheck disable=SC2054
case $arch in
armhf)
    emulator=(qemu-system-arm -M virt,highmem=off -cpu cortex-a15)
    kernel=linux-image-armmp
    modules="drivers/virtio/virtio_mmio drivers/char/virtio_console"
    uarts=(-device pci-serial-4x,chardev1=ttyT8Sy0,chardev2=ttyT8Sy8,chardev3=ttyT8Sy16,chardev4=ttyT9Sy0
        -device pci-serial,chardev=ttyT9Sy8 -serial chardev:ttyT9Sy16)
    nodes="ttyT8Sy0 4 64 ttyT8Sy8 4 65 ttyT8Sy16 4 66 ttyT9Sy0 4 67 ttyT9Sy8 4 68 ttyT9Sy16 204 64"
    ;;
arm64)
    emulator=(qemu-system-aarch64 -M virt -cpu cortex-a57)
    kernel=linux-image-arm64
    modules="drivers/virtio/virtio_mmio drivers/char/virtio_console drivers/usb/common/usb-common
        drivers/usb/core/usbcore drivers/usb/host/xhci-hcd drivers/usb/host/xhci-pci drivers/usb/serial/usbserial
        drivers/usb/serial/ftdi_sio"
    uarts=(-device pci-serial-4x,chardev1=ttyT8Sy0,chardev2=ttyT8Sy8,chardev3=ttyT9Sy0,chardev4=ttyT9Sy8
        -chardev null,id=spare -device pci-serial,chardev=spare
        -device qemu-xhci -device usb-serial,chardev=ttyT8Sy16 -serial chardev:ttyT9Sy16)
    nodes="ttyT8Sy0 4 64 ttyT8Sy8 4 65 ttyT8Sy16 188 0 ttyT9Sy0 4 66 ttyT9Sy8 4 67 ttyT9Sy16 204 64"
    ;;
*) unavailable "no rig for $arch (armhf, arm64)" ;;
esac
command -v "${emulator[0]}" >/dev/null || unavailable "${emulator[0]} is not installed"
command -v cpio >/dev/null || unavailable "cpio is not installed"
[ -x "$porttest" ] || unavailable "no $arch porttest at $porttest"
! readelf -l "$porttest" | grep -q INTERP || unavailable "$porttest is not statically linked"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The kernel the meta-package names, its modules the guest loads and a static
# busybox. Guests starting side by side fetch once.
fetch() {
    local pkg version x=$work/fetch module
    pkg=$(apt-cache depends "$kernel:$arch" 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    [ -n "$pkg" ] || return 1
    mkdir -p "$x" && (cd "$x" && apt-get download "$pkg" "busybox-static:$arch" >/dev/null 2>&1) || return 1
    for deb in "$x"/*.deb; do
        dpkg -x "$deb" "$x/root" || return 1
    done
    version=$(ls "$x/root/lib/modules") && rm -rf "$cache.new" && mkdir -p "$cache.new/modules" &&
        cp "$x/root/boot/vmlinuz-$version" "$cache.new/vmlinuz" && cp "$x/root/bin/busybox" "$cache.new/" || return 1
    for module in $modules; do
        cp "$x/root/lib/modules/$version/kernel/$module.ko" "$cache.new/modules/" || return 1
    done
    echo "$version" >"$cache.new/version" && rm -rf "$cache" && mv "$cache.new" "$cache"
}
if ! mkdir -p "$(dirname "$cache")" || ! exec 9>"$cache.lock"; then
    unavailable "no room for the kernel at $cache"
fi
flock 9
if [ ! -f "$cache/version" ]; then
    fetch || unavailable "cannot fetch Debian's $kernel:$arch kernel with apt-get download"
fi
flock -u 9

# The initramfs: busybox, the program (statically linked: the guest has no
# C library), the modules in the order they load, the nodes to make, the
# init script and the scenario.
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,lib/modules}
cp "$cache/busybox" "$root/bin/"
for applet in sh mount insmod mknod sleep stty cat echo printf poweroff uname; do
    ln -s busybox "$root/bin/$applet"
done
for module in $modules; do
    cp "$cache/modules/$(basename "$module").ko" "$root/lib/modules/"
    basename "$module" >>"$root/lib/modules/order"
done
echo "$nodes" | xargs -n 3 >"$root/nodes"
cp "$porttest" "$root/bin/porttest"
if [ -n "${PORTTEST_GUEST_TOOL:-}" ]; then
    cp "$PORTTEST_GUEST_TOOL" "$root/bin/guest_tool"
fi
cp "$here/guest_init.sh" "$root/init"
cp "$scenario" "$root/scenario"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 >"$work/initrd.gz")

echo "== rig: $arch, $(cat "$cache/version")"
timeout 150 "$plug" "$lines" "$@" -- "${emulator[@]}" -m 256 -nodefaults -display none -no-reboot \
    -kernel "$cache/vmlinuz" -initrd "$work/initrd.gz" -append "console=hvc0 quiet panic=-1" \
    -device virtio-serial-device -chardev stdio,id=console -device virtconsole,chardev=console "${uarts[@]}" \
    </dev/null
