#!/bin/sh
# Fails unless the DLL exports exactly the 41 crontab_* functions (the
# desktop platform's counterpart of check_exports.sh).
set -eu
dll="$1"
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
# The export name table lists "[ordinal] name" rows after its heading.
syms=$("$objdump" -p "$dll" | awk '
    /^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
    table && /^\t\[ *[0-9]+\] / { print $NF; next }
    table { table = 0 }' | sort)
bad=$(printf '%s\n' "$syms" | grep -v '^crontab_' || true)
if [ -n "$bad" ]; then
    echo "unexpected exports:"; printf '%s\n' "$bad"; exit 1
fi
count=$(printf '%s\n' "$syms" | grep -c '^crontab_' || true)
if [ "$count" -ne 41 ]; then
    echo "expected 41 crontab_* exports, found $count:"; printf '%s\n' "$syms"; exit 1
fi
echo "exports ok: $count"
