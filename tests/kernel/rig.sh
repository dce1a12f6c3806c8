#!/usr/bin/env bash
# Runs SCENARIO (a shell script) in a virtual ARM computer booted on
# Debian's own armmp kernel, with an armhf PORTTEST in /bin and COM2's six
# nodes on the kernel's own UART drivers, looped back by UART_PLUG.
#
#   rig.sh UART_PLUG LINES_LIBRARY PORTTEST SCENARIO [--fault NODE=KIND]...
#
# Prints the guest's console. Exits 77, with the reason, where the machine
# cannot run the rig (no system emulator, no kernel to be had).
# $PORTTEST_GUEST_TOOL, if set, goes into the guest as /bin/guest_tool.
# The kernel is fetched once into $PORTTEST_KERNEL_CACHE (by default
# ~/.cache/porttest/armmp).
set -euo pipefail
plug=$1 lines=$2 porttest=$3 scenario=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
cache=${PORTTEST_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/porttest/armmp}
triplet=arm-linux-gnueabihf

unavailable() {
    echo "kernel rig unavailable: $*"
    exit 77
}
command -v qemu-system-arm >/dev/null || unavailable "qemu-system-arm is not installed"
command -v cpio >/dev/null || unavailable "cpio is not installed"
[ -x "$porttest" ] || unavailable "no armhf porttest at $porttest"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The kernel named by Debian's armmp meta-package, its two virtio modules and
# a static busybox for the guest. Guests starting side by side fetch once.
fetch() {
    local pkg version x=$work/fetch
    pkg=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    [ -n "$pkg" ] || return 1
    mkdir -p "$x" && (cd "$x" && apt-get download "$pkg" busybox-static:armhf >/dev/null 2>&1) || return 1
    for deb in "$x"/*.deb; do
        dpkg -x "$deb" "$x/root" || return 1
    done
    version=$(ls "$x/root/lib/modules") && rm -rf "$cache.new" && mkdir -p "$cache.new" &&
        cp "$x/root/boot/vmlinuz-$version" "$x/root/bin/busybox" \
            "$x/root/lib/modules/$version/kernel/drivers/virtio/virtio_mmio.ko" \
            "$x/root/lib/modules/$version/kernel/drivers/char/virtio_console.ko" "$cache.new/" &&
        mv "$cache.new/vmlinuz-$version" "$cache.new/vmlinuz" &&
        echo "$version" >"$cache.new/version" &&
        rm -rf "$cache" && mv "$cache.new" "$cache"
}
if ! mkdir -p "$(dirname "$cache")" || ! exec 9>"$cache.lock"; then
    unavailable "no room for the kernel at $cache"
fi
flock 9
if [ ! -f "$cache/version" ]; then
    fetch || unavailable "cannot fetch Debian's armmp kernel with apt-get download"
fi
flock -u 9

# The initramfs: busybox, the program and the C libraries it needs (the
# target's multiarch ones), the init script and the scenario.
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,lib/modules,lib/$triplet}
cp "$cache/busybox" "$root/bin/"
for applet in sh mount insmod mknod sleep stty cat echo printf poweroff uname; do
    ln -s busybox "$root/bin/$applet"
done
cp "$cache"/*.ko "$root/lib/modules/"
cp "$porttest" "$root/bin/porttest"
# The guest's own helper (static), where the scenario needs one.
if [ -n "${PORTTEST_GUEST_TOOL:-}" ]; then
    cp "$PORTTEST_GUEST_TOOL" "$root/bin/guest_tool"
fi
cp "/lib/ld-linux-armhf.so.3" "$root/lib/"
for lib in $(readelf -d "$porttest" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'); do
    cp -L "/usr/lib/$triplet/$lib" "$root/lib/$triplet/" || unavailable "the target's $lib is not installed"
done
cp "$here/guest_init.sh" "$root/init"
cp "$scenario" "$root/scenario"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 >"$work/initrd.gz")

echo "== rig: $(cat "$cache/version")"
timeout 100 "$plug" "$lines" "$@" -- qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -m 256 \
    -nodefaults -display none -no-reboot \
    -kernel "$cache/vmlinuz" -initrd "$work/initrd.gz" -append "console=hvc0 quiet panic=-1" \
    -device virtio-serial-device -chardev stdio,id=console -device virtconsole,chardev=console </dev/null
