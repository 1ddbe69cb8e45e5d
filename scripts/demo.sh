#!/bin/sh
# Builds the library and the command-line host and shows them at work: a few
# schedules checked, described and previewed; then jobs in a fresh data
# directory, one of them run by hand and then by the scheduler for a while.
set -eu
cd "$(dirname "$0")/.."
cmake --preset demo >/dev/null
cmake --build --preset demo -j "$(nproc)"
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
id=$("$tool" --dir "$dir" add "greeting" "@every 2s" 'echo "hello at $(date +%T)"')
backup=$("$tool" --dir "$dir" add "nightly backup" "30 2 * * *" "tar czf backup.tgz data" --disabled)
"$tool" --dir "$dir" set-paths "$backup" --workdir "$dir" --env "LEVEL=9"
"$tool" --dir "$dir" set-retry "$backup" 2 30
"$tool" --dir "$dir" list

echo "== job $id run by hand"
"$tool" --dir "$dir" run "$id"
echo "== the scheduler for 5 seconds"
timeout -s INT --preserve-status 5 "$tool" --dir "$dir" daemon
echo "== its newest runs, as the tool kept them"
"$tool" --dir "$dir" logs "$id" -n 3
