#!/bin/sh
# Fails when a C or C++ source of the repository is not laid out as
# .clang-format says; `scripts/check-format.sh --fix` lays them out.
set -eu
cd "$(dirname "$0")/.."
if [ "${1:-}" = --fix ]; then
    git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format -i
    exit 0
fi
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
echo "== sources formatted"
