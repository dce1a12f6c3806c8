#!/usr/bin/env bash
usage="usage: scripts/check-installed.sh
As root: installs the amd64 packages from build/packages the way a
technician would (apt-get install ./*.deb), runs the installed porttest on
the installed boardsim for a passing cycle and a failing one, checks the
manual pages, and removes the packages again."
[[ ${1:-} != -h && ${1:-} != --help ]] || { printf '%s\n' "$usage"; exit 0; }
set -euo pipefail
cd "$(dirname "$0")/.."

debs=(build/packages/porttest_*_amd64.deb build/packages/boardsim_*_amd64.deb)
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]/#/./}" >/dev/null
trap 'DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq porttest boardsim >/dev/null' EXIT

banner="Kestrum COM2-9 Test
Press '2' through '9' to test each port, or another key to quit."
expect() {
    local what=$1 want=$2; shift 2
    local got
    got=$("$@")
    if [ "$got" != "$want" ]; then
        printf 'installed packages, %s: expected\n%s\ngot\n%s\n' "$what" "$want" "$got" >&2
        exit 1
    fi
    echo "installed packages, $what: as expected"
}

expect "passing cycle" "$banner
PASS: All tests" sh -c 'printf 2q | /usr/bin/boardsim -- /usr/bin/porttest'
expect "failing cycle" "$banner
FAIL: /dev/ttyT8Sy3 data loopback (sent FF FF 01 55 00 AA 00 11 , got )
Ready for next test" sh -c 'printf 5q | /usr/bin/boardsim --fault ttyT8Sy3=no-echo -- /usr/bin/porttest'
expect "version" "boardsim $(sed -n 's/^project(porttest VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" /usr/bin/boardsim --version
for page in porttest boardsim; do
    expect "man page $page renders without warnings" "" sh -c "MANWIDTH=80 man --warnings $page 2>&1 >/dev/null"
done
