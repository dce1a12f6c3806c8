#!/usr/bin/env bash
# Builds porttest and runs every test, twice: a normal build and one with
# AddressSanitizer and UndefinedBehaviorSanitizer. Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/ensure-tools.sh
ensure_tools

jobs=$(nproc)
run_suite() {
    local dir=$1; shift
    echo "== $dir"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DPORTTEST_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_suite build/test
run_suite build/sanitize -DPORTTEST_SANITIZE=ON
