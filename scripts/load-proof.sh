#!/usr/bin/env bash
# The suite under load: the normal and the sanitizer builds' suites run at
# the same time, beside two processes spinning on the CPUs, ROUNDS times in a
# row (default 10). Prints one line per round, and what each failed test
# printed; every round runs, and the script fails if any round did.
# Expects both builds made (./test.sh makes them).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-10}

hogs=()
stop_hogs() { [ ${#hogs[@]} -eq 0 ] || kill "${hogs[@]}" 2>/dev/null || true; }
trap stop_hogs EXIT
for _ in 1 2; do
    sh -c 'while :; do :; done' &
    hogs+=($!)
done

failed=0
for round in $(seq "$rounds"); do
    start=$SECONDS
    ctest --test-dir build/test -j 2 --output-on-failure >"build/load-normal.log" 2>&1 & normal=$!
    ctest --test-dir build/sanitize -j 2 --output-on-failure >"build/load-sanitize.log" 2>&1 & sanitize=$!
    ok=yes
    wait $normal || ok=no
    wait $sanitize || ok=no
    echo "round $round: $(grep -h 'tests passed' build/load-normal.log build/load-sanitize.log | tr '\n' ' ')" \
        "load $(cut -d' ' -f1 /proc/loadavg), $((SECONDS - start)) s"
    if [ $ok = no ]; then
        failed=$((failed + 1))
        # Each failure as the test printed it, to its test's FAILED line.
        # awk stops at the 80th line itself: a `| head` would end it with
        # SIGPIPE, and with it, under pipefail, the whole script.
        awk '/: Failure$/ { on = 1 } on && shown < 80 { print; shown++ } /^\[  FAILED  \]/ { on = 0 }' \
            build/load-normal.log build/load-sanitize.log
    fi
done
echo "$((rounds - failed)) of $rounds rounds passed"
[ "$failed" -eq 0 ]
