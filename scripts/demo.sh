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

echo "== jobs in a data directory"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
id=$("$tool" --dir "$dir" add "nightly backup" "30 2 * * *" "tar czf backup.tgz data")
"$tool" --dir "$dir" add "heartbeat" "@every 90s" "date" --disabled >/dev/null
"$tool" --dir "$dir" set-paths "$id" --workdir "$dir" --env "LEVEL=9"
"$tool" --dir "$dir" set-retry "$id" 2 30
"$tool" --dir "$dir" list
"$tool" --dir "$dir" list --json
