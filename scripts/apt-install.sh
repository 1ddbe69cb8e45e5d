#!/bin/sh
# Installs the Debian packages named as arguments that are not installed yet
# (run as root); does nothing, quietly, when all are there.
#   apt-install.sh PACKAGE...
set -eu
missing=""
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq $missing
fi
