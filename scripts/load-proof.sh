#!/usr/bin/env bash
usage="usage: scripts/load-proof.sh [ROUNDS]
The suite under load: the normal build's suite beside two processes
spinning on the CPUs, ROUNDS times in a row (default 10), then one overload
round, the normal and the sanitizer builds' suites at once beside the same
two, as a figure. Prints one line per round and what each failed test
printed. A round fails on a failed test, or on any byte boardsim's plug
handed back over 1 ms late (BOARDSIM_LATE_LOG): that is the board's own
fault. In the overload round each failure is named: the machine's (no late
byte of the board's own) or not; only the latter fail the script. Expects
both builds made (./test.sh native sanitizer makes them)."
[[ ${1:-} != -h && ${1:-} != --help ]] || { printf '%s\n' "$usage"; exit 0; }
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
export BOARDSIM_LATE_LOG=$PWD/build/load-late.log

# Each failure as the test printed it, to its test's FAILED line. awk stops
# at the 80th line itself: a `| head` would end it with SIGPIPE, and with
# it, under pipefail, the whole script.
failures() {
    awk '/: Failure$/ { on = 1 } on && shown < 80 { print; shown++ } /^\[  FAILED  \]/ { on = 0 }' "$@"
}

# One round: the named builds' suites at once. Sets ok and late.
round() {
    local label=$1 start=$SECONDS pids=() logs=() build
    shift
    : >"$BOARDSIM_LATE_LOG"
    for build in "$@"; do
        ctest --test-dir "build/$build" -j 2 --output-on-failure >"build/load-$build.log" 2>&1 &
        pids+=($!)
        logs+=("build/load-$build.log")
    done
    ok=yes
    for pid in "${pids[@]}"; do wait "$pid" || ok=no; done
    late=$(wc -l <"$BOARDSIM_LATE_LOG")
    echo "$label: $(grep -h 'tests passed' "${logs[@]}" | tr '\n' ' ')late deliveries from $late boardsim runs," \
        "load $(cut -d' ' -f1 /proc/loadavg), $((SECONDS - start)) s"
    [ $ok = yes ] || failures "${logs[@]}"
    [ "$late" -eq 0 ] || cat "$BOARDSIM_LATE_LOG"
}

failed=0
for n in $(seq "$rounds"); do
    round "round $n" test
    [ $ok = yes ] && [ "$late" -eq 0 ] || failed=$((failed + 1))
done
echo "$((rounds - failed)) of $rounds rounds passed"

round "overload (both suites at once, a figure)" test sanitize
if [ $ok = no ] && [ "$late" -gt 0 ]; then
    echo "overload: the board's own late deliveries: not the machine's"
    failed=$((failed + 1))
elif [ $ok = no ]; then
    echo "overload: failures with no late byte of the board's own: the machine's"
fi
[ "$failed" -eq 0 ]
