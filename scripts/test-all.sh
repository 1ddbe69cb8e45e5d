#!/bin/sh
# Builds and runs every test: a RelWithDebInfo build (which builds the
# benchmarks too), an AddressSanitizer + UndefinedBehaviorSanitizer build, and
# a ThreadSanitizer build of the concurrency tests; the presets of
# CMakePresets.json of those names.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)

build() {  # build <preset>: configured and built in build/<preset>
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$jobs"
}

# The test presets say which tests run and the sanitizers' options.
echo "== release build"
build release
ctest --preset release -j "$jobs"

echo "== address,undefined build"
build asan
ctest --preset asan -j "$jobs"

echo "== thread build (concurrency tests)"
build tsan
ctest --preset tsan -j "$jobs"

echo "== all tests passed"
