#!/usr/bin/env bash
# The static checks, then every test in four builds: a normal one (with
# valgrind's memcheck), one with AddressSanitizer and UndefinedBehaviorSanitizer,
# and the armhf and arm64 cross builds under qemu-user. Warnings are errors.
# Then the armhf porttest on Debian's own ARM kernel in a virtual machine.
# Then the Debian packages for the three architectures; as root, the amd64
# ones are installed and run. Last, the benchmark's table (never a failure).
set -euo pipefail
cd "$(dirname "$0")"
. scripts/ensure-tools.sh
ensure_tools tests

jobs=$(nproc)
run_suite() {
    local dir=$1; shift
    local start=$SECONDS
    echo "== $dir"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DPORTTEST_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" -LE kernel
    echo "== $dir: $((SECONDS - start)) s"
}

start=$SECONDS
scripts/static-checks.sh
echo "== static checks: $((SECONDS - start)) s"

run_suite build/test
run_suite build/sanitize -DPORTTEST_SANITIZE=ON
run_suite build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
run_suite build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake

scripts/kernel-rig.sh --built

start=$SECONDS
scripts/package.sh
echo "== packages: $((SECONDS - start)) s"
if [ "$(id -u)" -eq 0 ]; then
    scripts/check-installed.sh
else
    echo "== not root: the installed packages are not checked"
fi

echo "== benchmark"
build/test/tests/porttest_bench 10 || echo "(the benchmark did not finish; it gates nothing)"
