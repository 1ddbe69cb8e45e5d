#!/bin/sh
# Installs what the desktop-platform build needs on Debian 12 (run as root):
# the mingw-w64 cross compiler with the posix thread model, and Wine to run
# the test programs. Quiet when all is there.
set -eu
pkgs="g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64
      cmake ninja-build rapidjson-dev googletest"
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq $missing
fi
