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
# bookkeeping is undone with it.
set -eu
objdump=$1 library=$2 map=$3
allowed="close"

exported=$(sed -n '/global:/,/local:/p' "$map" | sed 's|/\*.*\*/||' | tr ';' '\n' |
    sed 's/global://; s/local:.*//; s/[[:space:]]//g' | grep -v '^$' | sort -u)
[ -n "$exported" ] || { echo "no exported names read from $map"; exit 1; }
# Call sites only: the PLT stubs' own labels end in ">:".
called=$("$objdump" -d --no-show-raw-insn "$library" | grep -v '>:$' |
    sed -n 's/.*<\([A-Za-z_0-9]*\)@plt>.*/\1/p' | sort -u)

bad=0
for name in $called; do
    echo "$exported" | grep -qx "$name" || continue
    echo " $allowed " | grep -q " $name " && continue
    echo "the library calls its own $name wrapper"
    bad=1
done
[ $bad -eq 0 ] && echo "calls into own wrappers: only the intended ($allowed)"
exit $bad
