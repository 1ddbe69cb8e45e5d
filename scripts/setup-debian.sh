#!/bin/sh
# Installs what a build needs on Debian 12 (run as root); quiet when all is there.
set -eu
pkgs="build-essential cmake ninja-build rapidjson-dev googletest libgtest-dev libbenchmark-dev
      clang libclang-rt-14-dev binutils pkg-config python3 tzdata"
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq $missing
fi
