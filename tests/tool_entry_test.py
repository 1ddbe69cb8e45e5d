"""quilmarn-cron crontab FILE: a crontab file run in the foreground, as a
container's entrypoint, and applied again when it changes.

Usage: tool_entry_test.py PATH_TO_QUILMARN_CRON [unittest options]
"""

import json
import os
import queue
import shutil
import signal
import stat
import subprocess
import threading

import tool_util
from tool_util import WAIT


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


class EntryTest(tool_util.ToolTest):
    def setUp(self):
        super().setUp()
        self.tmpdir = os.path.join(self.tmp, "tmpdir")  # the private directory's parent
        os.mkdir(self.tmpdir)
        self.env = dict(os.environ, TMPDIR=self.tmpdir)

    def start(self, *args):
        """The command with JSON event lines, each of which must parse."""
        d = subprocess.Popen([self.TOOL, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=self.env)
        self.addCleanup(d.stderr.close)
        self.addCleanup(d.stdout.close)
        self.addCleanup(lambda: d.poll() is None and (d.kill(), d.wait()))
        d.events = queue.Queue()

        def read():
            for line in d.stdout:
                d.events.put(json.loads(line))

        threading.Thread(target=read, daemon=True).start()
        return d

    def stop(self, d):
        d.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout=WAIT), 0, d.stderr.read())

    def test_test_only_checks_and_makes_nothing(self):
        cases = [  # options, text, exit status, what the output holds
            ([], "# jobs\nMAILTO=\"\"\n@every 1s echo tick\n0 3 * * * echo night\n", 0, ["2 jobs, no errors"]),
            ([], "@daily true\n61 * * * * true\n@daily\n", 1, [":2: Invalid minute field", ":3: no command"]),
            (["--system"], "@daily root true\n@daily no-such-user-here true\n", 1, [":2: "]),
        ]
        for options, text, status, says in cases:
            path = os.path.join(self.tmp, "jobs")
            write(path, text)
            r = self.run_tool("crontab", "--test", *options, path, env=self.env)
            self.assertEqual(r.returncode, status, (text, r.stderr))
            for s in says:
                self.assertIn(s, r.stdout + r.stderr, text)
        self.assertEqual(os.listdir(self.tmpdir), [])

    def test_runs_the_file_and_follows_its_changes(self):
        # Laid out as a mounted configuration: the file a link into a
        # directory that a link swap replaces.
        conf = os.path.join(self.tmp, "conf")
        os.makedirs(os.path.join(conf, "..v1"))
        write(os.path.join(conf, "..v1", "jobs"), "@every 1s echo one\n")
        os.symlink("..v1", os.path.join(conf, "..data"))
        path = os.path.join(conf, "jobs")
        os.symlink("..data/jobs", path)
        d = self.start("crontab", path)
        first = d.events.get(timeout=WAIT)
        self.assertEqual((first["event"], first["source"], first["private"]), ("crontab", path, True))
        data = first["dir"]
        self.assertEqual(os.path.dirname(data), self.tmpdir)
        self.assertEqual(stat.S_IMODE(os.stat(data).st_mode), 0o700)
        one = self.wait_event(d, "finished", stdout="one\n")["job_id"]

        # The swap: a line added above moves the first job, which keeps its id.
        os.makedirs(os.path.join(conf, "..v2"))
        write(os.path.join(conf, "..v2", "jobs"), "# two now\n@every 1s echo one\n@every 1s echo two\n")
        os.symlink("..v2", os.path.join(conf, "..tmp"))
        os.rename(os.path.join(conf, "..tmp"), os.path.join(conf, "..data"))
        e = self.wait_event(d, "reloaded")
        self.assertEqual((e["source"], e["added"], e["changed"], e["removed"], e["kept"]), (path, 1, 1, 0, 0))
        self.wait_event(d, "started", job_name="jobs:3")
        self.wait_event(d, "finished", job_id=one, job_name="jobs:2")

        # An edit in place behind the link that breaks the file: told with its line; the jobs stay.
        with open(path, "a") as f:
            f.write("this is no job\n")
        self.assertIn(path + ":4: ", self.wait_event(d, "reload-failed", level="error")["problems"])
        self.wait_event(d, "finished", stdout="two\n")
        # Gone, then back: the jobs stay meanwhile, and the file is applied again.
        os.rename(path, path + ".away")
        self.wait_event(d, "reload-failed", level="warning")
        self.wait_event(d, "finished", stdout="two\n")
        write(os.path.join(conf, "jobs.new"), "@every 1s echo back\n")
        os.rename(os.path.join(conf, "jobs.new"), path)
        e = self.wait_event(d, "reloaded")
        self.assertEqual((e["added"], e["changed"], e["removed"]), (1, 0, 2))
        self.wait_event(d, "finished", stdout="back\n")
        # SIGHUP reads the file, not crontab.json, again.
        d.send_signal(signal.SIGHUP)
        e = self.wait_event(d, "reloaded")
        self.assertEqual((e["source"], e["added"], e["removed"], e["kept"]), (path, 0, 0, 1))
        # Its directory removed and made again: the file is read once it is back.
        shutil.rmtree(conf)
        self.wait_event(d, "reload-failed", level="warning")
        os.makedirs(conf)
        write(path, "@every 1s echo again\n")
        self.assertEqual(self.wait_event(d, "reloaded")["changed"], 1)
        self.wait_event(d, "finished", stdout="again\n")

        # Other commands reach the jobs through the directory.
        r = self.run_tool("--dir", data, "status")
        self.assertIn("jobs:1", r.stdout, r.stderr)
        self.stop(d)
        self.assertFalse(os.path.exists(data))

    def test_a_given_directory_keeps_the_jobs_of_other_files(self):
        other = os.path.join(self.tmp, "other")
        write(other, "@daily echo other\n")
        self.assertEqual(self.tool("import", other).returncode, 0)
        path = os.path.join(self.tmp, "jobs")
        write(path, "@daily echo mine\n")
        d = self.start("--dir", self.data, "crontab", path)
        first = d.events.get(timeout=WAIT)
        self.assertEqual((first["dir"], first["private"]), (self.data, False))
        self.wait_event(d, "daemon")
        self.stop(d)
        self.assertEqual(sorted(j["name"] for j in json.loads(self.tool("list", "--json").stdout)),
                         ["jobs:1", "other:1"])
        self.assertEqual(os.listdir(self.tmpdir), [])


if __name__ == "__main__":
    tool_util.main()
