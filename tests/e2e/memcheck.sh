#!/usr/bin/env bash
# porttest under valgrind's memcheck, on the simulated board: passing and
# failing cycles on every port. Any memory error or leak fails (exit 99).
#   memcheck.sh BOARDSIM PORTTEST
set -euo pipefail
boardsim=$1 porttest=$2
here=$(cd "$(dirname "$0")" && pwd)

memcheck() {
    "$boardsim" "$@" -- valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
        --errors-for-leak-kinds=all --suppressions="$here/memcheck.supp" "$porttest"
}

banner="Kestrum COM2-9 Test
Press '2' through '9' to test each port, or another key to quit."
pass="PASS: All tests"
check() {
    local what=$1 want=$2 got=$3
    if [ "$got" != "$want" ]; then
        printf 'memcheck, %s: expected\n%s\ngot\n%s\n' "$what" "$want" "$got" >&2
        exit 1
    fi
    echo "memcheck, $what: no errors, no leaks"
}

got=$(printf 23456789 | memcheck)
check "eight passing cycles" "$banner$(printf "\n$pass%.0s" 1 2 3 4 5 6 7 8)" "$got"

got=$(printf 2 | memcheck --fault ttyT8Sy0=no-echo --fault ttyT8Sy8=busy --fault ttyT9Sy0=cts-low \
    --fault ttyT9Sy8=late --fault ttyT9Sy16=extra --clock-step 3600)
check "a failing cycle of every kind" "$banner
FAIL: /dev/ttyT8Sy0 data loopback (sent FF FF 01 55 00 AA 00 11 , got )
FAIL: /dev/ttyT8Sy8 Device or resource busy
FAIL: /dev/ttyT9Sy0 CTS->RTS (high)
FAIL: /dev/ttyT9Sy8 data loopback (sent FF FF 01 55 00 AA 00 11 , got )
FAIL: /dev/ttyT9Sy16 data loopback (sent FF FF 01 55 00 AA 00 11 , got E0 01 55 00 AA 00 11 )
Ready for next test" "$got"
