#!/usr/bin/env bash
# Every check the project has, in phases: the static checks; every test in
# four builds (a normal one, with valgrind's memcheck; one with
# AddressSanitizer and UndefinedBehaviorSanitizer; the armhf and arm64 cross
# builds under qemu-user), warnings as errors; the Debian packages and the
# statically linked porttests for the three architectures, built twice to
# show they are reproducible; the static armhf and arm64 porttests on
# Debian's own ARM kernels in virtual machines; as root the amd64 packages
# installed and run; last, the benchmark's table (never a failure).
#
# One line a phase; each phase's whole output is kept in build/logs/PHASE.log,
# and a phase that fails prints what each of its failed tests printed (or,
# failing otherwise, the end of its log).
set -euo pipefail
cd "$(dirname "$0")"
. scripts/ensure-tools.sh
ensure_tools tests

logs=build/logs
mkdir -p "$logs"
jobs=$(nproc)

# The phase's tests, counted from its CTest summaries: " (176 tests)", or
# " (128 + 47 tests)" for two runs; nothing for a phase without tests.
summary() {
    local counts
    counts=$(sed -n 's/^[0-9]*% tests passed, [0-9]* tests* failed out of \([0-9]*\)$/\1/p' "$1" | paste -sd+ |
        sed 's/+/ + /g')
    [ -z "$counts" ] || printf ' (%s tests)' "$counts"
}

# What a failed test printed: its own part of the phase's log, from its
# result line (CTest puts a failed test's output right under it) to the
# next test's.
failedOutput() {
    local log=$1 name
    sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Failed\|Timeout\|SEGFAULT\|Subprocess aborted\|Exception\|Not Run\)).*/\1/p' \
        "$log" | while IFS= read -r name; do
        echo "-- $name:"
        awk -v name="$name" '
            /Test +#[0-9]+: / && index($0, " " name " ") && index($0, "***") { on = 1; print; next }
            on && (/^ +Start +[0-9]+: / || /^ *[0-9]+\/[0-9]+ Test +#/ || /^[0-9]+% tests passed/) { on = 0 }
            on' "$log"
    done
}

phase() {
    local name=$1 start=$SECONDS
    shift
    local log=$logs/$name.log
    if "$@" >"$log" 2>&1; then
        echo "== $name: ok in $((SECONDS - start)) s$(summary "$log")"
        return
    fi
    echo "== $name: FAILED after $((SECONDS - start)) s$(summary "$log")"
    echo "   whole log: $log"
    if grep -q '^The following tests FAILED' "$log"; then
        failedOutput "$log"
    else
        echo "-- the end of the log:"
        tail -n 80 "$log"
    fi
    exit 1
}

suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DPORTTEST_WERROR=ON "$@"
    cmake --build "$dir" -j "$jobs"
    if [[ "$*" != *TOOLCHAIN_FILE* ]]; then
        ctest --test-dir "$dir" --output-on-failure -j "$jobs" -LE kernel
        return
    fi
    # Under the emulator every program costs many times its CPU, and the
    # simulated plug must still answer porttest's 10 ms probe wait: the
    # end-to-end tests run one at a time, the rest side by side.
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" -LE 'kernel|e2e'
    ctest --test-dir "$dir" --output-on-failure -j 1 -L e2e
}

phase static scripts/static-checks.sh
phase native suite build/test
phase sanitizer suite build/sanitize -DPORTTEST_SANITIZE=ON
phase armhf suite build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
phase arm64 suite build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
phase packages scripts/package.sh
phase kernel-rig scripts/kernel-rig.sh --built
# The kernels it ran on and what it measured, as figures (its tests' loose
# bounds are the gate).
grep -h -E "^(== kernel rig, |(armhf|arm64): (healthy cycle|dead UART))" "$logs/kernel-rig.log" |
    sed 's/^== /   /; s/^\([^ ]\)/   \1/' || true
if [ "$(id -u)" -eq 0 ]; then
    phase installed scripts/check-installed.sh
else
    echo "== installed: not root, the installed packages are not checked"
fi

echo "== benchmark (figures, not a gate)"
build/test/tests/porttest_bench 10 || echo "(the benchmark did not finish; it gates nothing)"
