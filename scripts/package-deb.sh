#!/bin/sh
# Builds the Debian packages into build/deb/packages: libquilmarn-crontab1,
# libquilmarn-crontab-dev, quilmarn-cron and python3-quilmarn-crontab.
#   scripts/package-deb.sh
# Install them with: apt-get install ./build/deb/packages/*.deb
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)
out=build/deb/packages
cmake --preset deb >/dev/null
cmake --build --preset deb -j "$jobs"
rm -rf "$out"
(cd build/deb && cpack -G DEB -B "$PWD/packages" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/*.deb
