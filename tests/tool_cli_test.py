"""quilmarn-cron's command line: help, mistakes that name the wrong word, exit statuses.

Usage: tool_cli_test.py PATH_TO_QUILMARN_CRON [unittest options]
"""

import json
import os

import tool_util


class CliTest(tool_util.ToolTest):
    def test_help_goes_to_stdout_with_status_0(self):
        for args in (["--help"], ["help", "list"], ["validate", "--help"], ["set-timeout", "-h"]):
            r = self.run_tool(*args)
            self.assertEqual((r.returncode, r.stderr), (0, ""), args)
            self.assertIn("usage: quilmarn-cron", r.stdout)
        r = self.run_tool("--help")
        self.assertIn("2 usage error", r.stdout)
        r = self.run_tool("--version")
        self.assertRegex(r.stdout, r"^quilmarn-cron \S+\nlibrary \S+\n$")

    def test_mistakes_name_the_word(self):
        self.assertEqual(self.tool("add", "j", "@daily", "true").returncode, 0)
        for args, message in [
                (["lst"], "unknown command 'lst'; did you mean 'list'?"),
                (["list", "--jsno"], "unknown option '--jsno' for 'list'; did you mean '--json'?"),
                (["rm"], "'rm' needs an argument"),
                (["rm", "1", "2"], "'2' is one too many"),
                (["set-timeout", "1", "99999999999"], "must be 0 to 2147483647 seconds, not 99999999999"),
                (["set-timeout", "1", "-1"], "must be 0 to 2147483647 seconds, not -1"),
                (["set-timeout", "1", "5x"], "such as 90s, 5m or 2h, not '5x'"),
                (["set-retry", "1", "11", "0"], "COUNT must be 0 to 10, not 11"),
                (["set-overlap", "1", "sometimes"], "must be skip, queue, allow or replace, not 'sometimes'"),
                (["next", "@daily", "-n"], "option '-n' needs a value")]:
            r = self.tool(*args)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn(message, r.stderr, args)
        # Without --dir: QUILMARN_CRON_DIR names the directory.
        env = dict(os.environ, QUILMARN_CRON_DIR=os.path.join(self.tmp, "env"))
        r = self.run_tool("list", env=env)
        self.assertEqual(r.returncode, 1)
        self.assertIn("no data directory %s; create it" % env["QUILMARN_CRON_DIR"], r.stderr)
        self.assertEqual(self.run_tool("init", env=env).returncode, 0)
        self.assertEqual(self.run_tool("add", "j", "@daily", "true", env=env).returncode, 0)

    def test_durations_names_and_unique_names(self):
        self.assertEqual(self.tool("add", "backup", "@daily", "true").stdout, "1\n")
        for value, seconds in [("5m", 300), ("90s", 90), ("2h", 7200), ("45", 45), ("none", 0)]:
            self.assertEqual(self.tool("set-timeout", "backup", value).returncode, 0, value)
            self.assertIn('"max_runtime_sec":%d' % seconds, self.tool("list", "--json").stdout)
        r = self.tool("add", "backup", "@hourly", "false")
        self.assertEqual(r.returncode, 1)
        self.assertIn("job 1 is already named 'backup'", r.stderr)
        r = self.tool("add", "backup", "@hourly", "false", "--replace")
        self.assertEqual((r.returncode, r.stdout), (0, "1\n"), r.stderr)
        self.assertIn('"expr":"@hourly"', self.tool("list", "--json").stdout)
        r = self.tool("rm", "nosuch")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no job named 'nosuch'", r.stderr)

    def test_update_and_replace_keep_a_disabled_job_off(self):
        self.tool("add", "backup", "@daily", "true", "--disabled")
        for args in [("update", "backup", "backup", "@hourly", "true"),
                     ("add", "backup", "@weekly", "true", "--replace")]:
            self.assertEqual(self.tool(*args).returncode, 0, args)
            self.assertIn('"enabled":false', self.tool("list", "--json").stdout, args)
        self.tool("update", "backup", "backup", "@daily", "true", "--enabled")
        self.assertIn('"enabled":true', self.tool("list", "--json").stdout)

    def test_status_of_one_job(self):
        self.tool("add", "backup", "@daily", "echo hi")
        r = self.tool("status", "backup")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("job 1: backup\n  state:    idle\n  schedule: @daily\n  command:  echo hi\n", r.stdout)
        self.assertEqual(json.loads(self.tool("status", "1", "--json").stdout)["jobs"][0]["name"], "backup")
        r = self.tool("status", "nosuch")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no job named 'nosuch'", r.stderr)

    def test_expression_commands(self):
        r = self.run_tool("next", "0 12 * * *", "-n", "2", env=dict(os.environ, TZ="Asia/Kolkata"))
        self.assertRegex(r.stdout, r"^(\d{4}-\d\d-\d\d 12:00:00 \+05:30\n){2}$")
        r = self.run_tool("describe", "--short", "@weekly")
        self.assertEqual(r.stdout, "At midnight, Sunday\n")
        r = self.run_tool("describe", "0 0 13 * FRI")
        self.assertIn("or on Friday", r.stdout)

        # An expression that never fires.
        r = self.run_tool("validate", "0 0 30 2 *")
        self.assertEqual(r.returncode, 0)
        self.assertIn("never fires", r.stderr)
        r = self.run_tool("next", "0 0 30 2 *")
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertIn("never fires", r.stderr)
        self.assertIn("never fires", self.tool("add", "feb30", "0 0 30 2 *", "true").stderr)

    def test_run_exits_with_the_jobs_status(self):
        for cmd, timeout, status in [("exit 7", "0", 7), ("kill -9 $$", "0", 137), ("sleep 30", "1", 124)]:
            name = "j%d" % status
            self.assertEqual(self.tool("add", name, "@daily", cmd).returncode, 0)
            self.assertEqual(self.tool("set-timeout", name, timeout).returncode, 0)
            self.assertEqual(self.tool("run", name).returncode, status, cmd)


if __name__ == "__main__":
    tool_util.main()
