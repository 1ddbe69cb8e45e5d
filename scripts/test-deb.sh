#!/bin/sh
# Builds the Debian packages, installs them on this machine (run as root)
# and uses them as a user would, with the system's search paths only: the
# tool, its service unit and man page, a C host built against the installed
# header and library, the Python module. Then removes them and checks that
# nothing of them is left.
set -eu
cd "$(dirname "$0")/.."
# What a fresh Debian system has: no other Python, no library path.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
unset LD_LIBRARY_PATH PYTHONPATH QUILMARN_CRONTAB_LIB PKG_CONFIG_PATH CMAKE_PREFIX_PATH || true
export DEBIAN_FRONTEND=noninteractive
packages="libquilmarn-crontab1 libquilmarn-crontab-dev quilmarn-cron python3-quilmarn-crontab"
work=$(mktemp -d)
remove() {
    # shellcheck disable=SC2086 # one word per package
    apt-get purge -y -qq $packages >/dev/null 2>&1 || true
}
trap 'remove; rm -rf "$work"' EXIT

echo "== build the packages"
scripts/package-deb.sh

echo "== install them"
remove
apt-get install -y ./build/deb/packages/*.deb >/dev/null
quilmarn-cron --version
# Only the tool pays for its HTTP listener.
dpkg-query -W -f='${Depends}' quilmarn-cron | grep -q libmicrohttpd ||
    { echo "quilmarn-cron does not depend on libmicrohttpd"; exit 1; }
if dpkg-query -W -f='${Depends}' libquilmarn-crontab1 | grep -q microhttpd; then
    echo "the library depends on libmicrohttpd"; exit 1
fi
warnings=$(groff -man -Tutf8 -ww -z "$(man -w quilmarn-cron)" 2>&1)
test -z "$warnings" || { echo "the man page renders with warnings:"; echo "$warnings"; exit 1; }
unit=$(find /lib/systemd/system /usr/lib/systemd/system -name 'quilmarn-cron@.service' | head -n 1)
test -n "$unit" || { echo "the service unit is not installed"; exit 1; }
if command -v systemd-analyze >/dev/null 2>&1; then
    systemd-analyze verify "$unit"
fi

echo "== the service"
if [ -d /run/systemd/system ]; then
    # The README's steps, where systemd runs this machine.
    systemctl enable --now quilmarn-cron@hello
    quilmarn-cron --dir /var/lib/quilmarn-cron/hello add hello "@every 1m" "echo hello"
    quilmarn-cron --dir /var/lib/quilmarn-cron/hello status
    systemctl status quilmarn-cron@hello --no-pager
    journalctl -u quilmarn-cron@hello --no-pager
    systemctl disable --now quilmarn-cron@hello
    rm -rf /var/lib/quilmarn-cron/hello
else
    # systemd does not run this machine: the daemon started as the unit starts it.
    python3 scripts/check-service.py "$unit" deb-check
fi

echo "== a C host against the installed library"
cflags="-std=c99 -Wall -Wextra -Werror -pedantic"
# shellcheck disable=SC2046,SC2086 # word splitting is wanted here
cc $cflags -o "$work/minimal" examples/minimal.c $(pkg-config --cflags --libs quilmarn-crontab)
"$work/minimal" "$work/data-pc"
cmake -S examples -B "$work/examples" -G Ninja -DCMAKE_C_FLAGS="$cflags" >/dev/null
cmake --build "$work/examples" >/dev/null
"$work/examples/minimal_static" "$work/data-static"

echo "== the Python module"
python3 -c 'import quilmarn_crontab'
python3 -c 'import quilmarn_crontab as qc; print(qc.describe("@daily"))'

echo "== remove them"
remove
for p in $packages; do
    if dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q installed; then
        echo "$p is still installed"; exit 1
    fi
done
for f in /usr/bin/quilmarn-cron /usr/include/quilmarn_crontab.h "$unit" \
         /usr/lib/python3/dist-packages/quilmarn_crontab; do
    if [ -e "$f" ]; then echo "$f is left after removal"; exit 1; fi
done
if ldconfig -p | grep -q libquilmarn_crontab; then
    echo "the loader still knows libquilmarn_crontab"; exit 1
fi
echo "== Debian package checks passed"
