#!/usr/bin/env bash
# Builds porttest and the board simulator, then runs porttest on a healthy
# simulated board in this terminal. Options are passed to boardsim, e.g.
#   ./run.sh --fault COM5=late
set -euo pipefail
cd "$(dirname "$0")"
. scripts/ensure-tools.sh
ensure_tools run

echo "building porttest and boardsim..." >&2
cmake -S . -B build/run -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/run -j "$(nproc)" --target porttest boardsim >/dev/null
exec build/run/sim/boardsim "$@" -- build/run/porttest
