#!/bin/sh
# Runs a test program under Wine with its output passed on through a file.
# Wine's helper processes (conhost, services) inherit the descriptors of the
# program that started them and may outlive it; on ctest's pipe they would
# keep ctest waiting for the test's end.
#   wine-run.sh WINE PROGRAM [ARGS...]
wine=$1
shift
out=$(mktemp) || exit 1
"$wine" "$@" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
rm -f "$out"
exit "$rc"
