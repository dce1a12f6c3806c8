#!/usr/bin/env bash
# Builds porttest and runs it on this machine's serial board.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/ensure-tools.sh
ensure_tools

cmake -S . -B build/run -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/run -j "$(nproc)" >/dev/null
exec build/run/porttest
