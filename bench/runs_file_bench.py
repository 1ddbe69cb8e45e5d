#!/usr/bin/env python3
"""What keeping one run record costs the quilmarn-cron daemon, beside 128 jobs
that each have a full history (20 records of about 1 KB of output).

    bench/runs_file_bench.py PATH_TO_QUILMARN_CRON [--runs N] [--output BYTES]

Runs one job N times through the daemon and prints the bytes the daemon
wrote to its runs files per record (traced with strace, so only those
files count), their ratio to the record's own size, and the daemon's CPU
time per record (a second pass, without the trace). Target: within about
twice the record's size amortised. Any version of the tool can be measured,
so the figures of two builds compare directly.
"""

import argparse
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

JOBS = 128
KEEP = 20


def tool(binary, data, *args):
    r = subprocess.run([binary, "--dir", data, *args], capture_output=True, text=True, timeout=120)
    if r.returncode != 0:
        sys.exit("%s failed: %s" % (" ".join(args), r.stderr))
    return r.stdout


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def prepare(binary, data, output):
    """128 jobs, each with a full history in the runs file of earlier versions
    (which both the old and the new tool read)."""
    text = "".join("@daily yes x | head -c %d  # job%d\n" % (output, i) for i in range(JOBS))
    path = os.path.join(data, "..", "jobs.crontab")
    with open(path, "w") as f:
        f.write(text)
    tool(binary, data, "import", path)
    jobs = json.loads(tool(binary, data, "list", "--json"))
    record = {"started_at": 1700000000, "finished_at": 1700000001, "duration_ms": 3, "exit_code": 0,
              "stdout": "x" * output, "stderr": "", "truncated": False, "cancelled": False, "attempt": 1}
    with open(os.path.join(data, "quilmarn-cron.runs.json"), "w") as f:
        json.dump({str(j["id"]): [record] * KEEP for j in jobs}, f)
    os.chmod(os.path.join(data, "quilmarn-cron.runs.json"), 0o600)
    return jobs[0]["id"]


def start_daemon(binary, data):
    d = subprocess.Popen([binary, "--dir", data, "daemon"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    end = time.monotonic() + 60
    while not os.path.exists(os.path.join(data, "quilmarn-cron.sock")):
        if time.monotonic() > end or d.poll() is not None:
            sys.exit("the daemon did not start")
        time.sleep(0.05)
    return d


def stop(d):
    d.send_signal(signal.SIGTERM)
    d.wait(timeout=60)


def runs_file_bytes(trace):
    """Bytes of write calls on the runs files and their temporaries."""
    total = 0
    pattern = re.compile(r'write\(\d+<[^>]*quilmarn-cron\.runs[^>]*>,.*\)\s*=\s*(\d+)')
    with open(trace) as f:
        for line in f:
            m = pattern.search(line)
            if m:
                total += int(m.group(1))
    return total


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("--runs", type=int, default=40)
    ap.add_argument("--output", type=int, default=1000, help="bytes of output of each record")
    a = ap.parse_args()
    binary = os.path.abspath(a.tool)
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "data")
        os.makedirs(data)
        job = prepare(binary, data, a.output)
        d = start_daemon(binary, data)
        tool(binary, data, "run", str(job))  # the first write moves the old file: not counted
        record = len(json.dumps(json.loads(tool(binary, data, "logs", str(job), "--json", "-n", "1"))[0],
                                separators=(",", ":")))
        trace = os.path.join(tmp, "trace")
        st = subprocess.Popen(["strace", "-f", "-qq", "-y", "-e", "trace=write,pwrite64", "-o", trace,
                               "-p", str(d.pid)], stderr=subprocess.DEVNULL)
        time.sleep(1)  # attached
        for _ in range(a.runs):
            tool(binary, data, "run", str(job))
        time.sleep(0.5)
        st.send_signal(signal.SIGINT)
        st.wait(timeout=60)
        written = runs_file_bytes(trace) / a.runs
        cpu0 = cpu_seconds(d.pid)
        walls = []
        for _ in range(a.runs):
            t0 = time.monotonic()
            tool(binary, data, "run", str(job))
            walls.append(time.monotonic() - t0)
        cpu = (cpu_seconds(d.pid) - cpu0) / a.runs
        stop(d)
    print("record: %d bytes of JSON, %d jobs with %d records each" % (record, JOBS, KEEP))
    print("written to the runs files per record: %.0f bytes (%.2f x the record)" % (written, written / record))
    print("daemon CPU per record: %.2f ms; 'run' wall time median %.1f ms" %
          (cpu * 1000, statistics.median(walls) * 1000))


if __name__ == "__main__":
    main()
