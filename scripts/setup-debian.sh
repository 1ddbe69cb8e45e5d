#!/bin/sh
# Installs what a build needs on Debian 12 (run as root); quiet when all is there.
# clang-format checks the layout of the sources. libmicrohttpd serves the
# daemon's --http listener; Prometheus's text parser and a headless Chromium
# check what it serves. libpq-dev gives the cluster module its header (libpq
# itself is loaded at run time); postgresql-15 is the server the cluster tests
# start. The last line: the Debian packages (dpkg-dev, file), pip install . and
# the man page check.
set -eu
exec "$(dirname "$0")/apt-install.sh" build-essential cmake ninja-build rapidjson-dev googletest \
    libgtest-dev libbenchmark-dev libcctz-dev clang clang-format libclang-rt-14-dev binutils pkg-config python3 tzdata \
    libmicrohttpd-dev python3-prometheus-client chromium chromium-driver libpq-dev postgresql-15 \
    dpkg-dev file python3-pip python3-setuptools python3-wheel python3-venv groff-base man-db
