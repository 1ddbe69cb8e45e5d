"""quilmarn-cron run, logs, cancel and daemon, and the lock on the data directory.

Usage: tool_runs_test.py PATH_TO_QUILMARN_CRON [unittest options]
"""

import json
import os
import queue
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

TOOL = None
WAIT = 60  # seconds: generous bound of every wait on the daemon


class RunsTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.data = os.path.join(tmp.name, "data")

    def tool(self, *args):
        return subprocess.run([TOOL, "--dir", self.data, *args], capture_output=True, text=True,
                              timeout=WAIT)

    def add(self, name, expr, cmd):
        r = self.tool("add", name, expr, cmd)
        self.assertEqual(r.returncode, 0, r.stderr)
        return int(r.stdout)

    def start_daemon(self):
        d = subprocess.Popen([TOOL, "--dir", self.data, "daemon"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: d.poll() is None and d.kill())
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(l) for l in d.stdout], daemon=True).start()
        return d, lines

    def wait_line(self, lines, text):
        end = time.monotonic() + WAIT
        while time.monotonic() < end:
            try:
                line = lines.get(timeout=1)
            except queue.Empty:
                continue
            if text in line:
                return line
        self.fail("no line with %r" % text)

    def test_run_prints_its_attempts_and_logs_keeps_them(self):
        ok = self.add("greet", "@daily", "echo hello; echo warn >&2")
        bad = self.add("fails", "@daily", "echo try; exit 3")
        self.assertEqual(self.tool("set-retry", str(bad), "1", "0").returncode, 0)

        r = self.tool("run", str(ok))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("greet  exit 0", r.stdout)
        self.assertIn("    | hello\n    ! warn\n", r.stdout)

        r = self.tool("run", str(bad))
        self.assertEqual(r.returncode, 3)  # the job's own status
        self.assertEqual(r.stdout.count("exit 3"), 2)
        self.assertIn("attempt 2", r.stdout)

        r = self.tool("logs", str(bad), "--json")
        records = json.loads(r.stdout)
        self.assertEqual([x["attempt"] for x in records], [2, 1])  # newest first
        self.assertEqual(len(json.loads(self.tool("logs", str(bad), "--json", "-n", "1").stdout)), 1)
        self.assertIn("fails  exit 3", self.tool("logs", str(bad)).stdout)
        self.assertIn("no records", self.tool("logs", "77").stdout)

        r = self.tool("run", "77")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no job 77", r.stderr)

    def test_cancel_when_nothing_runs(self):
        job = self.add("idle", "@daily", "true")
        r = self.tool("cancel", str(job))
        self.assertEqual(r.returncode, 1)
        self.assertIn("no command running", r.stderr)
        r = self.tool("cancel", "99")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no job 99", r.stderr)

    def test_daemon_runs_jobs_and_keeps_other_writers_out(self):
        tick = self.add("tick", "@every 1s", "echo tick")
        sleeper = self.add("sleeper", "@every 1s", "sleep 600")
        d, lines = self.start_daemon()
        self.wait_line(lines, "tick  exit 0")

        # Changes would be lost at the daemon's next save: refused, naming it.
        r = self.tool("rm", str(tick))
        self.assertEqual(r.returncode, 1)
        self.assertIn("daemon (pid %d)" % d.pid, r.stderr)
        self.assertEqual(self.tool("run", str(tick)).returncode, 1)
        # Reading is fine beside it.
        r = self.tool("list")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("sleeper", r.stdout)

        # A cancel reaches the daemon's run of the job.
        end = time.monotonic() + WAIT
        while True:
            r = self.tool("cancel", str(sleeper))
            if r.returncode == 0 or time.monotonic() > end:
                break
            time.sleep(0.2)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.wait_line(lines, "sleeper  exit -3 (cancelled)")

        # A stop, then a second signal cancels the runs still going.
        d.send_signal(signal.SIGTERM)
        time.sleep(0.5)
        d.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout=WAIT), 0)
        self.assertIn("tick  exit 0", self.tool("logs", str(tick)).stdout)
        self.assertEqual(self.tool("rm", str(tick)).returncode, 0)

    def test_one_daemon_per_directory(self):
        self.add("tick", "@every 1s", "true")
        d, lines = self.start_daemon()
        self.wait_line(lines, "tick  exit 0")
        r = subprocess.run([TOOL, "--dir", self.data, "daemon"], capture_output=True, text=True,
                           timeout=WAIT)
        self.assertEqual(r.returncode, 1)
        self.assertIn("daemon (pid %d) already runs" % d.pid, r.stderr)
        d.send_signal(signal.SIGINT)
        self.assertEqual(d.wait(timeout=WAIT), 0)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
