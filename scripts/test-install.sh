#!/bin/sh
# Installs the library into a temporary prefix and builds the example hosts
# against that copy, once through pkg-config and once through CMake's
# find_package, as strict C99; runs them; then runs every example of
# README.md against the same copy.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

echo "== install into $prefix"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
cmake --install build/release --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name quilmarn-crontab.pc)")/..
libdir=$(cd "$libdir" && pwd)
test -L "$libdir/libquilmarn_crontab.so.1" || { echo "missing SONAME link"; exit 1; }
test -f "$libdir/libquilmarn_crontab.a" || { echo "missing static archive"; exit 1; }
test -x "$prefix/bin/quilmarn-cron" || { echo "missing quilmarn-cron"; exit 1; }

cflags="-std=c99 -Wall -Wextra -Werror -pedantic"

echo "== examples through pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
for ex in minimal policies; do
    # shellcheck disable=SC2046,SC2086 # word splitting is wanted here
    cc $cflags -pthread -o "$work/$ex-pc" examples/$ex.c $(pkg-config --cflags --libs quilmarn-crontab)
done
LD_LIBRARY_PATH="$libdir" "$work/minimal-pc" "$work/data-pc"

echo "== examples through find_package"
cmake -S examples -B "$work/examples" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="$cflags" >/dev/null
cmake --build "$work/examples" -j "$jobs"
"$work/examples/minimal" "$work/data-cmake"
"$work/examples/minimal_static" "$work/data-static"
"$prefix/bin/quilmarn-cron" version

echo "== the Python package of the install finds its library alone"
pydir=$(dirname "$(dirname "$(find "$prefix" -name py.typed)")")
env -u LD_LIBRARY_PATH -u QUILMARN_CRONTAB_LIB PYTHONPATH="$pydir" python3 -c \
    'import quilmarn_crontab as qc; print(qc.explain("@hourly"))'

echo "== README examples"
python3 scripts/check-readme.py --prefix "$prefix"

echo "== install checks passed"
