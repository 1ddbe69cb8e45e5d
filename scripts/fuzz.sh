#!/bin/sh
# Builds the libFuzzer targets with clang into build/fuzz and runs each for
# the given number of seconds (default 60) on a copy of its seed corpus.
# Fails on the first finding; the input that caused it is left in
# build/fuzz/findings/<target>/ and belongs in fuzz/corpus/<area>/ once fixed.
#   scripts/fuzz.sh [seconds] [target...]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-"fuzz_expr fuzz_env fuzz_store fuzz_control fuzz_crontab"}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2 --target $targets

corpus_of() {  # the seed directory of a target: fuzz_expr -> fuzz/corpus/expr
    echo "fuzz/corpus/${1#fuzz_}"
}

for t in $targets; do
    work=build/fuzz/corpus/$t
    findings=build/fuzz/findings/$t
    mkdir -p "$work" "$findings"
    cp -n "$(corpus_of "$t")"/* "$work"/ 2>/dev/null || true
    echo "== $t for ${seconds}s"
    rc=0
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        build/fuzz/fuzz/$t -max_total_time="$seconds" -timeout=60 -report_slow_units=60 -rss_limit_mb=2048 \
        -artifact_prefix="$findings/" -print_final_stats=1 "$work" >build/fuzz/$t.log 2>&1 || rc=$?
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)' build/fuzz/$t.log || true
    if [ "$rc" -ne 0 ] || ls "$findings" | grep -qv '^slow-unit-'; then
        echo "$t: finding (exit $rc), input in $findings" >&2
        tail -n 60 build/fuzz/$t.log >&2
        exit 1
    fi
done
echo "== fuzzing found nothing"
