#!/usr/bin/env bash
# Builds porttest, boardsim and the benchmark, and prints the benchmark's
# table (bench/README.md says what it means). Argument: cycles per measure.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/ensure-tools.sh
ensure_tools static
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DPORTTEST_WERROR=ON >/dev/null
cmake --build build/test -j "$(nproc)" --target porttest_bench >/dev/null
exec build/test/tests/porttest_bench "${1:-20}"
