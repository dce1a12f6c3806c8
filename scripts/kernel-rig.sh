#!/usr/bin/env bash
# The armhf porttest on the kernel's own serial drivers: Debian's armmp
# kernel in a virtual ARM computer (qemu-system-arm), COM2's six nodes on
# its 8250 and PL011 UARTs, looped back on the host. Builds what it needs
# (build/test for the host half, build/armhf for porttest) unless --built.
# The kernel is fetched once with apt-get download and kept in
# $PORTTEST_KERNEL_CACHE (default ~/.cache/porttest/armmp).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-tools.sh
ensure_tools kernel

if [ "${1:-}" != --built ]; then
    cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build build/test -j "$(nproc)" --target kernel_tests
    cmake -S . -B build/armhf -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake >/dev/null
    cmake --build build/armhf -j "$(nproc)" --target porttest guest_tool
fi

export PORTTEST_KERNEL_CACHE=${PORTTEST_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/porttest/armmp}
export PORTTEST_GUEST_PROGRAM=$PWD/build/armhf/porttest
export PORTTEST_GUEST_TOOL=$PWD/build/armhf/tests/guest_tool
start=$SECONDS
echo "== kernel rig"
# Two guests at a time: each is one emulated CPU.
ctest --test-dir build/test -L kernel --output-on-failure -j 2
# What the tests measured in the guest (figures, not gates beyond their
# loose bounds): a healthy cycle's time, a dead UART's close and cycle.
grep -h -E "^(healthy cycle in the guest|a plain close with|the cycle with the dead UART)" \
    build/test/Testing/Temporary/LastTest.log || true
if [ -f "$PORTTEST_KERNEL_CACHE/version" ]; then
    echo "== kernel rig: $((SECONDS - start)) s on Debian's $(cat "$PORTTEST_KERNEL_CACHE/version") kernel"
else
    echo "== kernel rig: $((SECONDS - start)) s, no kernel (the tests above say why they were skipped)"
fi
