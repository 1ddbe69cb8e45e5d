"""quilmarn-cron and the files of its data directory: damaged files never crash it, and a
symbolic link where one of its files should be is refused, never followed.

Usage: tool_files_test.py PATH_TO_QUILMARN_CRON [unittest options]
"""

import json
import os
import stat
import subprocess
import time

import tool_util
from tool_util import WAIT


class FilesTest(tool_util.ToolTest):
    def setUp(self):
        super().setUp()
        self.victim = os.path.join(self.tmp, "victim")
        with open(self.victim, "w") as f:
            f.write("precious\n")

    def path(self, name):
        return os.path.join(self.data, name)

    def assert_victim_untouched(self):
        with open(self.victim) as f:
            self.assertEqual(f.read(), "precious\n")

    def test_damaged_old_runs_file_is_set_aside(self):
        self.assertEqual(self.tool("add", "seven", "@daily", "exit 7").returncode, 0)
        runs = self.path("quilmarn-cron.runs.json")
        for damage in ['{"1":[1]}', '{"1":[{"finished_at":"x"}]}', "[" * 2000000, '{"x":[]}']:
            if os.path.exists(self.path("quilmarn-cron.runs.1.jsonl")):
                os.remove(self.path("quilmarn-cron.runs.1.jsonl"))
            with open(runs, "w") as f:
                f.write(damage)
            r = self.tool("logs", "1")
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("damaged", r.stderr)
            r = self.tool("run", "seven")
            self.assertEqual(r.returncode, 7, r.stderr)
            self.assertEqual(r.stderr.count("\n"), 1, r.stderr)  # one warning line
            self.assertIn("kept as quilmarn-cron.runs.json.damaged", r.stderr)
            with open(runs + ".damaged") as f:
                self.assertEqual(f.read(), damage)
            self.assertEqual([x["exit_code"] for x in json.loads(self.tool("logs", "1", "--json").stdout)], [7])

    def test_runs_file_forgets_deleted_jobs(self):
        for name in ("a", "b"):
            self.assertEqual(self.tool("add", name, "@daily", "true").returncode, 0)
            self.assertEqual(self.tool("run", name).returncode, 0)
        self.assertEqual(self.tool("rm", "a").returncode, 0)
        self.assertEqual(self.tool("run", "b").returncode, 0)
        self.assertEqual([n for n in os.listdir(self.data) if n.startswith("quilmarn-cron.runs")],
                         ["quilmarn-cron.runs.2.jsonl"])

    def test_deeply_nested_store_does_not_crash_logs(self):
        with open(self.path("crontab.json"), "w") as f:
            f.write("[" * 2000000)
        for args in (["logs", "1"], ["logs", "name"], ["cancel", "name"]):
            self.assertIn(self.tool(*args).returncode, (0, 1), args)

    def run_with_link(self, name_of_pid, *args):
        """Runs the tool with a link to the victim planted under a name that has its pid."""
        pid = os.fork()
        if pid == 0:
            try:
                os.symlink(self.victim, self.path(name_of_pid(os.getpid())))
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, 1)
                os.dup2(devnull, 2)
                os.execv(self.TOOL, [self.TOOL, "--dir", self.data, *args])
            finally:
                os._exit(127)
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status)

    def test_links_are_refused(self):
        self.assertEqual(self.tool("add", "j", "@daily", "echo ran").returncode, 0)
        # A job's runs file past its bound is rewritten through a temporary:
        # a link there is replaced, its target kept.
        self.assertEqual(self.tool("run", "j").returncode, 0)
        with open(self.path("quilmarn-cron.runs.1.jsonl")) as f:
            line = f.read()
        with open(self.path("quilmarn-cron.runs.1.jsonl"), "w") as f:
            f.write(line * 40)
        self.assertEqual(self.run_with_link(lambda p: "quilmarn-cron.runs.1.jsonl.tmp.%d" % p, "run", "j"), 0)
        self.assert_victim_untouched()
        self.assertEqual(len(json.loads(self.tool("logs", "j", "--json").stdout)), 20)
        # A cancel request under the client's name.
        self.assertEqual(self.run_with_link(lambda p: "quilmarn-cron.cancel.1.%d" % p, "cancel", "1"), 1)
        self.assert_victim_untouched()
        # The runs file itself, and the lock.
        for name, args in [("quilmarn-cron.runs.json", ["run", "j"]), ("quilmarn-cron.runs.1.jsonl", ["run", "j"]),
                           ("quilmarn-cron.lock", ["list"])]:
            if os.path.exists(self.path(name)):
                os.remove(self.path(name))
            os.symlink(self.victim, self.path(name))
            r = self.tool(*args)
            self.assertIn("refusing %s: it is a symbolic link" % self.path(name), r.stderr)
            self.assert_victim_untouched()
            os.remove(self.path(name))

    def test_a_fifo_or_a_file_of_another_user_at_the_runs_file_is_refused(self):
        self.assertEqual(self.tool("add", "j", "@daily", "true").returncode, 0)
        runs = self.path("quilmarn-cron.runs.1.jsonl")
        cases = [("fifo", "it is not a regular file")]
        if os.geteuid() == 0:
            cases.append(("foreign", "it belongs to another user"))
        for kind, says in cases:
            if kind == "fifo":
                os.mkfifo(runs, 0o600)
            else:
                with open(runs, "w") as f:
                    f.write("{}")
                os.chown(runs, 65534, 65534)
            r = self.tool("run", "j")  # finishes: a FIFO is never waited on
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("refusing %s: %s" % (runs, says), r.stderr)
            r = self.tool("logs", "j")
            self.assertIn("refusing %s: %s" % (runs, says), r.stderr)
            st = os.lstat(runs)
            self.assertEqual((stat.S_ISFIFO(st.st_mode), st.st_uid), (kind == "fifo", 0 if kind == "fifo" else 65534))
            os.remove(runs)

    def test_files_are_private_and_stale_temporaries_go(self):
        stale = [self.path("quilmarn-cron.runs.json.tmp.999999"), self.path("quilmarn-cron.lock.tmp.999998"),
                 self.path("quilmarn-cron.cancel.1.999997.done")]  # an earlier version's cancel answer
        for name in stale:
            open(name, "w").close()
        self.assertEqual(self.tool("add", "j", "@daily", "true", preexec_fn=lambda: os.umask(0)).returncode, 0)
        self.assertEqual([os.path.exists(name) for name in stale], [False] * 3)
        self.assertEqual(self.tool("run", "j", preexec_fn=lambda: os.umask(0)).returncode, 0)
        for name in ("quilmarn-cron.runs.1.jsonl", "quilmarn-cron.lock"):
            self.assertEqual(stat.S_IMODE(os.stat(self.path(name)).st_mode), 0o600, name)


if __name__ == "__main__":
    tool_util.main()
