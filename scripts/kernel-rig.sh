#!/usr/bin/env bash
usage="usage: scripts/kernel-rig.sh [--built]
porttest on the kernel's own serial drivers: Debian's own ARM kernels in
virtual ARM computers, armmp for armhf (qemu-system-arm) and arm64
(qemu-system-aarch64), COM2's six nodes on their 8250, PL011 and USB serial
drivers, looped back on the host. The porttest there is the statically
linked file scripts/package.sh ships, for each architecture. Builds what it
needs unless --built (then build/package-ARCH and the cross test builds
build/ARCH must hold their files already). The kernels are fetched once
with apt-get download and kept in \$PORTTEST_KERNEL_CACHE/ARCH (default
~/.cache/porttest/ARCH). tests/kernel/README.md says more."
[[ ${1:-} != -h && ${1:-} != --help ]] || { printf '%s\n' "$usage"; exit 0; }
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-tools.sh
ensure_tools kernel
. scripts/targets.sh
arches=(armhf arm64)

if [ "${1:-}" != --built ]; then
    for arch in "${arches[@]}"; do
        configure_target "$arch" "build/package-$arch" -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr
        cmake --build "build/package-$arch" -j "$(nproc)" --target porttest_static >/dev/null
        cmake -S . -B "build/$arch" -DCMAKE_BUILD_TYPE=Debug -DPORTTEST_WERROR=ON "$(toolchain_of "$arch")" \
            >/dev/null
        cmake --build "build/$arch" -j "$(nproc)" --target guest_tool >/dev/null
    done
fi
# The host half: the loopback plug and the tests, in a build of their own.
cmake -S . -B build/kernel-rig -DCMAKE_BUILD_TYPE=Debug -DPORTTEST_WERROR=ON -DPORTTEST_KERNEL_RIG=ON >/dev/null
cmake --build build/kernel-rig -j "$(nproc)" --target kernel_tests >/dev/null

export PORTTEST_KERNEL_CACHE=${PORTTEST_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/porttest}
for arch in "${arches[@]}"; do
    export "PORTTEST_GUEST_PROGRAM_$arch=$PWD/build/package-$arch/static/porttest"
    export "PORTTEST_GUEST_TOOL_$arch=$PWD/build/$arch/tests/guest_tool"
done
for arch in "${arches[@]}"; do
    start=$SECONDS
    echo "== kernel rig, $arch"
    # Two guests at a time: each is one emulated CPU.
    ctest --test-dir build/kernel-rig -L kernel -R "/$arch\$" --output-on-failure -j 2
    # What the tests measured in the guest (figures, not gates beyond their
    # loose bounds): a healthy cycle's time, a dead UART's close and cycle.
    grep -h -E "^$arch: (healthy cycle|dead UART)" \
        build/kernel-rig/Testing/Temporary/LastTest.log || true
    if [ -f "$PORTTEST_KERNEL_CACHE/$arch/version" ]; then
        echo "== kernel rig, $arch: $((SECONDS - start)) s on Debian's $(cat "$PORTTEST_KERNEL_CACHE/$arch/version")"
    else
        echo "== kernel rig, $arch: $((SECONDS - start)) s, no kernel (the tests above say why they were skipped)"
    fi
done
