#!/bin/sh
# Fails unless the library exports exactly the 41 crontab_* functions.
set -eu
lib="$1"
syms=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWDdBbRrVvi]$/ {print $3}' | sort)
bad=$(printf '%s\n' "$syms" | grep -v '^crontab_' || true)
if [ -n "$bad" ]; then
    echo "unexpected exports:"; printf '%s\n' "$bad"; exit 1
fi
count=$(printf '%s\n' "$syms" | grep -c '^crontab_')
if [ "$count" -ne 41 ]; then
    echo "expected 41 crontab_* exports, found $count:"; printf '%s\n' "$syms"; exit 1
fi

# libpq is loaded when a cluster is joined, never linked: hosts that do not
# join need not have it.
if readelf -d "$lib" | grep -q 'NEEDED.*libpq'; then
    echo "the library links libpq"; exit 1
fi
echo "exports ok: $count, libpq not linked"
