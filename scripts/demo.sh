#!/bin/sh
# Builds the library and the command-line host, then shows the main job.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQC_BUILD_TESTS=OFF -DQC_BUILD_BENCH=OFF >/dev/null
cmake --build build/demo -j "$(nproc)"
tool=build/demo/tools/quilmarn-cron
for expr in "*/15 9-17 * * MON-FRI" "@daily" "0 0 29 2 *" "@every 90s"; do
    echo "== $expr"
    "$tool" validate "$expr"
    "$tool" describe "$expr"
    "$tool" next "$expr" -n 3
done
