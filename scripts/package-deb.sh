#!/bin/sh
# Builds the Debian packages into build/deb/packages: libquilmarn-crontab1,
# libquilmarn-crontab-dev, quilmarn-cron and python3-quilmarn-crontab.
#   scripts/package-deb.sh
# Install them with: apt-get install ./build/deb/packages/*.deb
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)
out=build/deb/packages
cmake -S . -B build/deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DQC_BUILD_TESTS=OFF -DQC_BUILD_BENCH=OFF -DQC_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/deb -j "$jobs"
rm -rf "$out"
(cd build/deb && cpack -G DEB -B "$PWD/packages" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/*.deb
