#!/bin/sh
# Builds and runs every test: a RelWithDebInfo build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build of the
# concurrency tests.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)

build() {  # build <dir> <cmake args...>
    dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DQC_BUILD_BENCH=OFF "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

echo "== release build"
build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build/release --output-on-failure -j "$jobs" -LE soak

echo "== address,undefined build"
build build/asan -DCMAKE_BUILD_TYPE=Debug -DQC_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs" -LE soak

echo "== thread build (concurrency tests)"
build build/tsan -DCMAKE_BUILD_TYPE=Debug -DQC_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L concurrency

echo "== all tests passed"
