#!/usr/bin/env bash
usage="usage: ./bench.sh [CYCLES]
Builds porttest, boardsim and the benchmark in build/test (as root, first
installs what is missing) and prints the benchmark's table: CYCLES cycles
a measure (default 20). bench/README.md says what each row means."
[[ ${1:-} != -h && ${1:-} != --help ]] || { printf '%s\n' "$usage"; exit 0; }
set -euo pipefail
cd "$(dirname "$0")"
. scripts/ensure-tools.sh
ensure_tools static
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DPORTTEST_WERROR=ON >/dev/null
cmake --build build/test -j "$(nproc)" --target porttest_bench >/dev/null
exec build/test/tests/porttest_bench "${1:-20}"
