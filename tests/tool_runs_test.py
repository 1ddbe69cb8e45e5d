"""quilmarn-cron run, logs and cancel without a daemon (tool_daemon_test.py has the daemon).

Usage: tool_runs_test.py PATH_TO_QUILMARN_CRON [unittest options]
"""

import json
import os
import subprocess
import threading
import time

import tool_util
from tool_util import WAIT


class RunsTest(tool_util.ToolTest):
    def add(self, name, expr, cmd):
        r = self.tool("add", name, expr, cmd)
        self.assertEqual(r.returncode, 0, r.stderr)
        return int(r.stdout)

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
        # A job that never existed is an error, not an empty history; so is
        # a name in a directory that has no jobs yet.
        r = self.tool("logs", "77")
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertIn("no job 77 in", r.stderr)
        empty = os.path.join(self.tmp, "empty")
        os.mkdir(empty, 0o700)
        r = self.run_tool("--dir", empty, "logs", "nosuch")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no job named 'nosuch' in", r.stderr)

        r = self.tool("run", "77")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no job with id 77", r.stderr)

    def test_logs_without_a_job_merges_every_job_newest_first(self):
        a, b = self.add("a", "@daily", "echo A"), self.add("b", "@daily", "echo B")
        for job in ("a", "b", "a"):  # within one second: the milliseconds order them
            self.assertEqual(self.tool("run", job).returncode, 0)
        # A deleted job's file (left while nothing owned the directory) is shown too.
        with open(os.path.join(self.data, "quilmarn-cron.runs.99.jsonl"), "w") as f:
            f.write(json.dumps({"job_id": 99, "started_at": 1, "finished_at": 1, "duration_ms": 0,
                                "exit_code": 0, "stdout": "", "stderr": "", "truncated": False,
                                "cancelled": False, "attempt": 1}) + "\n")
        records = json.loads(self.tool("logs", "--json").stdout)
        self.assertEqual([(r["job_id"], r["job_name"]) for r in records],
                         [(a, "a"), (b, "b"), (a, "a"), (99, "job 99")])
        newest = json.loads(self.tool("logs", "--json", "-n", "2").stdout)
        self.assertEqual([r["job_id"] for r in newest], [a, b])
        text = self.tool("logs", "-n", "3").stdout  # oldest first, as a log reads
        self.assertEqual([line.split("  ")[1] for line in text.splitlines() if "exit" in line],
                         ["a", "b", "a"])

    def test_runs_files_of_earlier_versions_and_torn_lines(self):
        job = self.add("greet", "@daily", "echo new")
        old = {"started_at": 1700000000, "finished_at": 1700000001, "duration_ms": 1000, "exit_code": 0,
               "stdout": "old\n", "stderr": "", "truncated": False, "cancelled": False, "attempt": 1}
        with open(os.path.join(self.data, "quilmarn-cron.runs.json"), "w") as f:
            json.dump({str(job): [old]}, f)
        logs = lambda: [r["stdout"] for r in json.loads(self.tool("logs", "greet", "--json").stdout)]
        self.assertEqual(logs(), ["old\n"])
        self.assertEqual(self.tool("run", "greet").returncode, 0)
        self.assertEqual(logs(), ["new\n", "old\n"])  # moved to the job's own file
        self.assertFalse(os.path.exists(os.path.join(self.data, "quilmarn-cron.runs.json")))
        # A crash in the middle of an append leaves a line without its end.
        with open(os.path.join(self.data, "quilmarn-cron.runs.%d.jsonl" % job), "a") as f:
            f.write('{"job_id":%d,"started_at":17' % job)
        self.assertEqual(logs(), ["new\n", "old\n"])
        self.assertEqual(self.tool("run", "greet").returncode, 0)
        self.assertEqual(logs(), ["new\n", "new\n", "old\n"])

    def test_cancel_when_nothing_runs(self):
        job = self.add("idle", "@daily", "true")
        r = self.tool("cancel", str(job))
        self.assertEqual(r.returncode, 1)
        self.assertIn("no command running", r.stderr)
        r = self.tool("cancel", "99")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no job 99", r.stderr)


    def test_commands_beside_a_run_are_carried_out_by_it(self):
        self.add("slow", "@daily", "sleep 30")
        run = subprocess.Popen([self.TOOL, "--dir", self.data, "run", "slow"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: run.poll() is None and (run.kill(), run.communicate()))
        made = set()  # names of the old file-drop cancel protocol, seen at any time

        def watch():
            while run.poll() is None:
                made.update(n for n in os.listdir(self.data) if n.startswith("quilmarn-cron.cancel."))
                time.sleep(0.005)

        watcher = threading.Thread(target=watch)
        watcher.start()
        # Sent as the run starts: it waits for the run's socket, or comes first.
        r = self.tool("add", "other", "@daily", "true")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(tool_util.wait_for(lambda: "running" in self.tool("status", "slow").stdout))
        r = self.tool("add", "third", "@daily", "true")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("third", self.tool("list").stdout)
        r = self.tool("cancel", "slow")
        self.assertEqual(r.returncode, 0, r.stderr)
        out, err = run.communicate(timeout=WAIT)
        watcher.join()
        self.assertEqual(run.returncode, 130, err)
        self.assertIn("slow  exit -3 (cancelled)", out)
        self.assertEqual(made, set())
        self.assertFalse(os.path.exists(os.path.join(self.data, "quilmarn-cron.sock")))


if __name__ == "__main__":
    tool_util.main()
