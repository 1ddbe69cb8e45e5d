#!/usr/bin/env python3
"""The quilmarn-cron daemon with 128 jobs: how fast a command beside it is
answered, and what the daemon costs while nothing is due.

    bench/daemon_bench.py PATH_TO_QUILMARN_CRON [--idle SECONDS]

Prints the median and 90th percentile of `list` (the whole command, a new
process each time, and the request alone over the socket), then the daemon's
CPU share and the store writes over the idle span. Targets: list under 20 ms
median; idle under 0.1 % of a core with no store write.
"""

import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

JOBS = 128
RUNS = 50


def request(sock_path, argv):
    """One request in the daemon's framing; returns the exit status."""
    body = b"QCRQ" + struct.pack("<I", len(argv))
    for a in argv:
        a = a.encode()
        body += struct.pack("<I", len(a)) + a
    body += struct.pack("<I", 0)
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(sock_path)
        s.sendall(body)
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    assert data[:4] == b"QCRS", data[:16]
    return struct.unpack("<I", data[4:8])[0]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def percentiles(samples):
    samples = sorted(samples)
    return statistics.median(samples) * 1000, samples[int(len(samples) * 0.9)] * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tool")
    parser.add_argument("--idle", type=float, default=30.0, help="seconds of the idle span")
    args = parser.parse_args()
    tool = os.path.abspath(args.tool)
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "data")
        hour = (time.localtime().tm_hour + 2) % 24  # never due during the run
        crontab = os.path.join(tmp, "jobs.crontab")
        with open(crontab, "w") as f:
            for i in range(JOBS):
                f.write("0 %d * * * echo job %d\n" % (hour, i))
        subprocess.run([tool, "--dir", data, "import", "--create", crontab], check=True, capture_output=True)
        log = open(os.path.join(tmp, "daemon.log"), "w")
        d = subprocess.Popen([tool, "--dir", data, "daemon"], stdout=log, stderr=log)
        try:
            sock = os.path.join(data, "quilmarn-cron.sock")
            while not os.path.exists(sock):
                time.sleep(0.01)
            command, alone = [], []
            for _ in range(RUNS):
                t0 = time.perf_counter()
                subprocess.run([tool, "--dir", data, "list"], check=True, capture_output=True)
                command.append(time.perf_counter() - t0)
                t0 = time.perf_counter()
                assert request(sock, ["list"]) == 0
                alone.append(time.perf_counter() - t0)
            print("list of %d jobs beside the daemon, %d runs:" % (JOBS, RUNS))
            print("  whole command      median %6.2f ms   p90 %6.2f ms" % percentiles(command))
            print("  request alone      median %6.2f ms   p90 %6.2f ms" % percentiles(alone))

            time.sleep(1)  # let the commands' wake-ups pass
            store = os.stat(os.path.join(data, "crontab.json"))
            cpu0, t0 = cpu_seconds(d.pid), time.monotonic()
            time.sleep(args.idle)
            cpu, span = cpu_seconds(d.pid) - cpu0, time.monotonic() - t0
            after = os.stat(os.path.join(data, "crontab.json"))
            writes = 0 if (after.st_ino, after.st_mtime_ns) == (store.st_ino, store.st_mtime_ns) else 1
            print("idle for %.0f s with %d jobs and the socket open:" % (span, JOBS))
            print("  CPU %.3f s = %.4f %% of a core; store rewritten: %s" %
                  (cpu, 100 * cpu / span, "yes" if writes else "no"))
        finally:
            d.terminate()
            d.wait()
            log.close()


if __name__ == "__main__":
    sys.exit(main())
