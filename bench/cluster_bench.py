#!/usr/bin/env python3
"""Runs cluster_bench against a private PostgreSQL server (see
tests/pg_server.py), over its Unix socket and over TCP on loopback. Prints a
skip line and exits 0 when no server can be started here.

    bench/cluster_bench.py PATH_TO_CLUSTER_BENCH [SECONDS]
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import pg_server  # noqa: E402


def main():
    bench, seconds = sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "20"
    s = pg_server.PgServer()
    if s.start() is None:
        print("cluster_bench skipped: no PostgreSQL server can be started here: " + s.why)
        s.close()
        return 0
    try:
        return subprocess.run([bench, seconds, s.conninfo(), s.conninfo(tcp=True)]).returncode
    finally:
        s.close()


if __name__ == "__main__":
    sys.exit(main())
