#!/usr/bin/env bash
usage="usage: ./run.sh [BOARDSIM OPTION...]
Builds porttest and boardsim in build/run (as root, first installs cmake,
g++ and make if missing), then runs porttest on a healthy simulated board
in this terminal. Options go to boardsim (docs/boardsim.md lists them):
  ./run.sh --fault COM5=late"
[[ ${1:-} != -h && ${1:-} != --help ]] || { printf '%s\n' "$usage"; exit 0; }
set -euo pipefail
cd "$(dirname "$0")"
. scripts/ensure-tools.sh
ensure_tools run

echo "building porttest and boardsim..." >&2
cmake -S . -B build/run -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/run -j "$(nproc)" --target porttest boardsim >/dev/null
exec build/run/sim/boardsim "$@" -- build/run/porttest
