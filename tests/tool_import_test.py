"""quilmarn-cron import: drives the built tool and reads the job store it leaves.

Usage: tool_import_test.py PATH_TO_QUILMARN_CRON [unittest options]
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

TOOL = None


class ImportTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name
        self.data = os.path.join(self.dir, "data")

    def write(self, text, name="crontab"):
        path = os.path.join(self.dir, name)
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        return path

    def tool(self, *args, stdin=None):
        return subprocess.run([TOOL, "--dir", self.data, *args], input=stdin, capture_output=True,
                              text=True, timeout=60)

    def stored_jobs(self):
        try:
            with open(os.path.join(self.data, "crontab.json"), encoding="utf-8") as f:
                return json.load(f)["jobs"]
        except FileNotFoundError:
            return []

    def test_jobs_macros_environment_and_escapes(self):
        path = self.write(
            "# nightly work\r\n"
            "\n"
            "15 3 * * *   /usr/local/bin/backup.sh --full\r\n"
            "GREETING = \"hello  world\"\n"
            "  PATH=/usr/bin:/bin\n"
            "@daily echo \"$GREETING\"\n"
            "@every 5m date +\\%s\n"
            "GREETING=bye\n"
            "*/10 9-17 * * MON-FRI echo tick\n")
        r = self.tool("import", path)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("imported 4 jobs", r.stdout)
        jobs = self.stored_jobs()
        self.assertEqual([(j["expr"], j["cmd"]) for j in jobs], [
            ("15 3 * * *", "/usr/local/bin/backup.sh --full"),
            ("@daily", 'echo "$GREETING"'),
            ("@every 5m", "date +%s"),
            ("*/10 9-17 * * MON-FRI", "echo tick"),
        ])
        self.assertEqual([j["env"] for j in jobs], [
            "", "GREETING=hello  world\nPATH=/usr/bin:/bin", "GREETING=hello  world\nPATH=/usr/bin:/bin",
            "GREETING=bye\nPATH=/usr/bin:/bin"])
        self.assertEqual(jobs[0]["name"], "/usr/local/bin/backup.sh --full")
        self.assertTrue(all(j["enabled"] for j in jobs))

    BAD = ("0 4 * * * echo good one\n"
           "60 * * * * echo x\n"
           "@reboot echo y\n"
           "* * * * *\n"
           "0 0 * * * echo 50% done\n"
           "* * * echo\n"
           "@hourly echo good two\n")

    def test_bad_lines_are_reported_and_nothing_is_added(self):
        path = self.write(self.BAD)
        r = self.tool("import", path)
        self.assertEqual(r.returncode, 1)
        for line, message in [
                (2, "Invalid minute field '60': value must be between 0 and 59"),
                (3, "Unknown macro '@reboot'"),
                (4, "no command after the schedule"),
                (5, "'%' would start the command's standard input"),
                (6, "Expression has 4 fields (expected 5)")]:
            self.assertIn("%s:%d: %s" % (path, line, message), r.stderr)
        self.assertIn("nothing imported: 5 lines", r.stderr)
        self.assertEqual(self.stored_jobs(), [])

    def test_skip_bad_imports_the_good_lines(self):
        r = self.tool("import", self.write(self.BAD), "--skip-bad")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("imported 2 jobs, skipped 5 lines", r.stdout)
        self.assertEqual([j["cmd"] for j in self.stored_jobs()], ["echo good one", "echo good two"])

    def test_a_full_table_takes_back_the_whole_import(self):
        r = self.tool("import", "-", stdin="".join("@daily echo %d\n" % i for i in range(127)))
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.tool("import", self.write("@daily echo a\n@daily echo b\n"))
        self.assertEqual(r.returncode, 1)
        self.assertIn(":2: the job table is full: 128 jobs", r.stderr)
        self.assertEqual(len(self.stored_jobs()), 127)

    def test_environment_longer_than_the_library_takes(self):
        r = self.tool("import", self.write("A=%s\nB=%s\n@daily true\n" % ("x" * 600, "y" * 600)))
        self.assertEqual(r.returncode, 1)
        self.assertIn(":2: the environment of the jobs would be longer than 1023 bytes", r.stderr)

    def test_unreadable_file(self):
        r = self.tool("import", os.path.join(self.dir, "missing"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot read", r.stderr)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
