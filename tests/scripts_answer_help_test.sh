#!/bin/bash
# Every script a person runs (those at the top, in scripts/ and .ci/; not
# the sourced ones without a #! line) answers -h and --help with its usage
# on standard output: exit 0, nothing on standard error, within a second.
# It runs with PATH naming no folder, so any command it ran first would
# fail it: not found, a line on standard error, and (under set -e) exit 127.
#
#   scripts_answer_help_test.sh SOURCE_ROOT
set -u
root=$1
failed=0 seen=0
cd "$root" || exit 1
for script in *.sh scripts/*.sh .ci/run; do
    first=
    IFS= read -r first <"$script"
    [[ $first == '#!'* ]] || continue
    seen=$((seen + 1))
    for flag in -h --help; do
        start=$(date +%s%N)
        out=$(env -i PATH=/nonexistent /bin/bash "$script" "$flag" 2>/tmp/help-err.$$)
        status=$?
        took=$((($(date +%s%N) - start) / 1000000))
        err=$(cat /tmp/help-err.$$)
        rm -f /tmp/help-err.$$
        [[ $out == "usage: "* ]] || { echo "$script $flag: no usage on standard output: $out"; failed=1; }
        [ "$status" -eq 0 ] || { echo "$script $flag: exit status $status"; failed=1; }
        [ -z "$err" ] || { echo "$script $flag: wrote to standard error: $err"; failed=1; }
        [ "$took" -lt 1000 ] || { echo "$script $flag: took $took ms"; failed=1; }
    done
done
echo "$seen scripts"
[ "$seen" -ge 9 ] || { echo "fewer scripts than there are: the search is broken"; failed=1; }
exit $failed
