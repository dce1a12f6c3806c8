#!/usr/bin/env bash
usage="usage: ./test.sh [PHASE...]
Every check the project has, or only the PHASEs named, in this order:
  static      clang-format, clang-tidy, cppcheck, shellcheck
  native      every test in a normal build, porttest under memcheck too
  sanitizer   every test with AddressSanitizer and UBSan
  armhf       every test in the armhf cross build, under qemu-user
  arm64       every test in the arm64 cross build, under qemu-user
  packages    the packages and static files, each built twice
  kernel-rig  the static ARM porttests on Debian's own ARM kernels
  installed   as root: the amd64 packages installed, run and removed
  benchmark   the benchmark's table (never a failure)
As root it first installs what is missing. One line a phase; each phase's
whole output is in build/logs/PHASE.log, and a phase that fails prints what
its failed tests printed (or the end of its log) and stops the run."
[[ ${1:-} != -h && ${1:-} != --help ]] || { printf '%s\n' "$usage"; exit 0; }
set -euo pipefail
all=(static native sanitizer armhf arm64 packages kernel-rig installed benchmark)
phases=("$@")
[ $# -gt 0 ] || phases=("${all[@]}")
for name in "${phases[@]}"; do
    if [[ " ${all[*]} " != *" $name "* ]]; then
        printf 'test.sh: unknown phase %s (the phases: %s)\n' "$name" "${all[*]}" >&2
        exit 2
    fi
done
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

# The kernel rig takes what the packages and cross phases built, when they
# run before it; alone, it builds what it needs. The kernels it ran on and
# what it measured are printed as figures (its tests' loose bounds are the
# gate).
kernelRig() {
    local built=()
    [[ " ${phases[*]} " != *" packages "* || " ${phases[*]} " != *" armhf "* ||
        " ${phases[*]} " != *" arm64 "* ]] || built=(--built)
    phase kernel-rig scripts/kernel-rig.sh "${built[@]}"
    grep -h -E "^(== kernel rig, |(armhf|arm64): (healthy cycle|dead UART))" "$logs/kernel-rig.log" |
        sed 's/^== /   /; s/^\([^ ]\)/   \1/' || true
}

# The installed packages are the amd64 ones the packages phase made (made
# here if that phase is not run and there are none).
installed() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "== installed: not root, the installed packages are not checked"
        return
    fi
    compgen -G 'build/packages/porttest_*_amd64.deb' >/dev/null || phase packages scripts/package.sh amd64
    phase installed scripts/check-installed.sh
}

run() {
    case $1 in
    static) phase static scripts/static-checks.sh ;;
    native) phase native suite build/test ;;
    sanitizer) phase sanitizer suite build/sanitize -DPORTTEST_SANITIZE=ON ;;
    armhf) phase armhf suite build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake ;;
    arm64) phase arm64 suite build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake ;;
    packages) phase packages scripts/package.sh ;;
    kernel-rig) kernelRig ;;
    installed) installed ;;
    benchmark)
        echo "== benchmark (figures, not a gate)"
        ./bench.sh 10 || echo "(the benchmark did not finish; it gates nothing)"
        ;;
    esac
}

for name in "${all[@]}"; do
    [[ " ${phases[*]} " != *" $name "* ]] || run "$name"
done
