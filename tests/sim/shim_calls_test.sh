#!/bin/sh
# The preload library's internals must reach the C library only through the
# entries it looked up (real::), never through its own wrappers: a wrapper
# calling a wrapper takes the board's lock twice, or counts an internal
# descriptor as the program's. In the built library that shows as a call
# through the PLT to a name the library exports itself, which the dynamic
# linker resolves to the library's own definition.
#
#   shim_calls_test.sh OBJDUMP LIBRARY EXPORTS_MAP
#
# One such call is meant: a stream the program asked for on a node whose
# fdopen failed is closed through the close wrapper, so that the node's
# bookkeeping is undone with it. That call must be found too: a check that
# reads nothing (no disassembly, no exports) must fail, not pass.
set -eu
objdump=$1 library=$2 map=$3
allowed="close"

fail() {
    echo "$*"
    exit 1
}

exported=$(sed -n '/global:/,/local:/p' "$map" | sed 's|/\*.*\*/||' | tr ';' '\n' |
    sed 's/global://; s/local:.*//; s/[[:space:]]//g' | grep -v '^$' | sort -u) || true
[ -n "$exported" ] || fail "no exported names read from $map"
disassembly=$("$objdump" -d --no-show-raw-insn "$library") || fail "$objdump cannot disassemble $library"
# Call sites only: the PLT stubs' own labels end in ">:".
called=$(printf '%s\n' "$disassembly" | grep -v '>:$' | sed -n 's/.*<\([A-Za-z_0-9]*\)@plt>.*/\1/p' | sort -u)
[ -n "$called" ] || fail "no calls through the PLT found in $library"

bad=0 found=0
for name in $called; do
    echo "$exported" | grep -qx "$name" || continue
    if [ "$name" = "$allowed" ]; then
        found=1
        continue
    fi
    echo "the library calls its own $name wrapper"
    bad=1
done
[ $found -eq 1 ] || fail "the intended call to its own $allowed wrapper was not found: the check saw nothing"
[ $bad -eq 0 ] || exit 1
echo "calls into own wrappers: only the intended ($allowed)"
