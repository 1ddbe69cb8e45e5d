#!/bin/sh
# Installs what the desktop-platform build needs on Debian 12 (run as root):
# the mingw-w64 cross compiler with the posix thread model, and Wine to run
# the test programs. Quiet when all is there.
set -eu
exec "$(dirname "$0")/apt-install.sh" g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
    binutils-mingw-w64-x86-64 wine64 cmake ninja-build rapidjson-dev googletest
