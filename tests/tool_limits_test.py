"""quilmarn-cron daemon under load: clients, runs and hooks never lock it up.

Usage: tool_limits_test.py PATH_TO_QUILMARN_CRON [unittest options]
"""

import json
import os
import queue
import shutil
import signal
import socket
import subprocess
import threading
import time
import unittest

import tool_util
from tool_util import WAIT


class LimitsTest(tool_util.ToolTest):
    def ok(self, *args, **kw):
        r = self.tool(*args, **kw)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def start_daemon(self, *options, prefix=()):
        d = subprocess.Popen([*prefix, self.TOOL, "--dir", self.data, "daemon", "--log-format", "json", *options],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(d.stdout.close)
        self.addCleanup(lambda: d.poll() is None and (d.kill(), d.wait()))
        d.events = queue.Queue()
        threading.Thread(target=lambda: [d.events.put(json.loads(line)) for line in d.stdout], daemon=True).start()
        self.wait_event(d, "daemon")
        return d

    def wait_for(self, condition, what):
        end = time.monotonic() + WAIT
        while not condition():
            self.assertLess(time.monotonic(), end, what)
            time.sleep(0.05)

    def lines(self, path):
        try:
            with open(path) as f:
                return f.read().split()
        except FileNotFoundError:
            return []

    def stop_twice(self, d):
        """SIGTERM, then a second one that cancels runs and kills hooks: the daemon ends promptly."""
        d.send_signal(signal.SIGTERM)
        self.wait_event(d, "stopping")
        d.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout=WAIT), 0)

    def slow_job(self, marker):
        """A job that runs until release() (a second stop may not reach every run of it)."""
        self.release_file = os.path.join(self.tmp, "release")
        self.ok("add", "slow", "@daily", "echo x >> %s; until [ -e %s ]; do sleep 0.1; done" % (marker, self.release_file))
        self.ok("set-overlap", "slow", "allow")
        self.addCleanup(self.release)

    def release(self):
        open(self.release_file, "w").close()

    def test_runs_without_waiting_do_not_shut_out_status(self):
        self.slow_job(os.path.join(self.tmp, "started"))
        d = self.start_daemon()
        for _ in range(33):
            self.ok("run", "--no-wait", "slow")
        self.assertIn("running", self.ok("status"))
        self.release()
        self.stop_twice(d)

    def test_idle_connections_do_not_shut_out_list(self):
        self.ok("add", "x", "@daily", "true")
        d = self.start_daemon()
        idle = []
        for _ in range(40):
            s = socket.socket(socket.AF_UNIX)
            s.connect(os.path.join(self.data, "quilmarn-cron.sock"))
            s.settimeout(WAIT)
            self.addCleanup(s.close)
            idle.append(s)
        t0 = time.monotonic()
        self.assertIn(" x ", self.ok("list"))
        self.assertLess(time.monotonic() - t0, 5)  # not behind the idle ones' deadline
        self.assertEqual(idle[0].recv(16), b"")  # dropped by then
        d.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout=WAIT), 0)

    def test_a_busy_daemon_says_so_and_exits_75(self):
        marker = os.path.join(self.tmp, "started")
        self.slow_job(marker)
        d = self.start_daemon()
        waiting = [subprocess.Popen([self.TOOL, "--dir", self.data, "run", "slow"], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL) for _ in range(16)]
        for w in waiting:
            self.addCleanup(lambda w=w: w.poll() is None and (w.kill(), w.wait()))
        self.wait_for(lambda: len(self.lines(marker)) == 16, "16 waiting runs")
        r = self.tool("run", "slow")
        self.assertEqual(r.returncode, 75, r.stderr)
        self.assertIn("is busy (16 waiting runs in progress): nothing was done; try again", r.stderr)
        self.assertEqual(len(self.lines(marker)), 16)
        self.ok("status")  # reads have places of their own
        self.release()
        for w in waiting:
            self.assertEqual(w.wait(timeout=WAIT), 0)
        self.stop_twice(d)

    def test_hooks_are_bounded_and_a_second_stop_kills_them(self):
        pids = os.path.join(self.tmp, "hooks")
        self.ok("add", "fail", "@daily", "exit 3")
        self.ok("set-overlap", "fail", "allow")
        d = self.start_daemon("--on-failure", "echo $$ >> %s; exec sleep 300" % pids, "--on-failure-timeout", "1h")
        dropped = None
        end = time.monotonic() + WAIT
        while time.monotonic() < end:  # failures until one finds 4 hooks running and 32 waiting
            self.ok("run", "--no-wait", "fail")
            try:
                while dropped is None:
                    e = d.events.get_nowait()
                    dropped = e if e["event"] == "on-failure-dropped" else None
            except queue.Empty:
                pass
            if dropped is not None:
                break
        self.assertIsNotNone(dropped, "no failure was dropped")
        self.assertEqual(dropped["job_name"], "fail")
        self.wait_for(lambda: len(self.lines(pids)) == 4, "4 hooks running")
        self.assertEqual(len(self.lines(pids)), 4)
        self.stop_twice(d)
        for pid in self.lines(pids):
            self.wait_for(lambda: not os.path.exists("/proc/%s" % pid), "hook %s killed" % pid)

    @unittest.skipUnless(shutil.which("prlimit"), "needs prlimit")
    def test_out_of_descriptors_the_daemon_backs_off(self):
        self.ok("add", "x", "@daily", "true")
        d = self.start_daemon(prefix=("prlimit", "--nofile=48"))
        conns = []
        for _ in range(60):
            s = socket.socket(socket.AF_UNIX)
            s.connect(os.path.join(self.data, "quilmarn-cron.sock"))
            self.addCleanup(s.close)
            conns.append(s)
        self.wait_event(d, "error")

        def cpu():
            with open("/proc/%d/stat" % d.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

        c0, t0 = cpu(), time.monotonic()
        time.sleep(2)  # a window to measure spinning in, not a wait for a condition
        self.assertLess(cpu() - c0, (time.monotonic() - t0) / 2)
        self.assertIn(" x ", self.ok("list"))
        d.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout=WAIT), 0)


if __name__ == "__main__":
    tool_util.main()
