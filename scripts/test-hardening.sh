#!/bin/sh
# The hardening checks CI runs after scripts/test-all.sh: every fuzz target
# for a minute, then the soak test under AddressSanitizer and under
# ThreadSanitizer. Reuses build/asan and build/tsan when test-all.sh made them.
#   scripts/test-hardening.sh [fuzz seconds per target] [soak seconds]
set -eu
cd "$(dirname "$0")/.."
fuzz_seconds=${1:-60}
soak_seconds=${2:-180}
jobs=$(nproc)

scripts/fuzz.sh "$fuzz_seconds"

soak_build() {  # soak_build <preset>: the same configuration as test-all.sh
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$jobs" --target soak_test
}

echo "== soak under address,undefined for ${soak_seconds}s"
soak_build asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build/asan/tests/soak_test --seconds="$soak_seconds"

echo "== soak under thread for ${soak_seconds}s"
soak_build tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    build/tsan/tests/soak_test --seconds="$soak_seconds"

echo "== hardening checks passed"
