"""quilmarn-cron import: drives the built tool and reads the job store it leaves.

Usage: tool_import_test.py PATH_TO_QUILMARN_CRON [unittest options]
"""

import json
import os
import re
import shutil
import subprocess
import unittest

import tool_util


class ImportTest(tool_util.ToolTest):
    def write(self, text, name="crontab"):
        path = os.path.join(self.tmp, name)
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        return path

    def editor(self, script):
        """An environment whose editor is the shell `script`."""
        path = self.write("#!/bin/sh\n" + script, "editor.sh")
        os.chmod(path, 0o755)
        env = dict(os.environ, EDITOR=path, TOOL=self.TOOL, DATA=self.data)
        env.pop("VISUAL", None)
        return env

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
        self.assertEqual(jobs[0]["name"], "crontab:3")  # the file's name and the line
        self.assertTrue(all(j["enabled"] for j in jobs))

    BAD = ("0 4 * * * echo good one\n"
           "60 * * * * echo x\n"
           "@rebooted echo y\n"
           "* * * * *\n"
           "0 0 * * * %only input\n"
           "* * * echo\n"
           "@hourly echo good two\n")

    def test_bad_lines_are_reported_and_nothing_is_added(self):
        path = self.write(self.BAD)
        r = self.tool("import", path)
        self.assertEqual(r.returncode, 1)
        for line, message in [
                (2, "Invalid minute field '60': value must be between 0 and 59"),
                (3, "Unknown macro '@rebooted'"),
                (4, "no command after the schedule"),
                (5, "no command before the '%' that starts its standard input"),
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
        self.assertIn("would make 129 jobs; the table holds 128", r.stderr)
        self.assertEqual(len(self.stored_jobs()), 127)

    def test_environment_longer_than_the_library_takes(self):
        r = self.tool("import", self.write("A=%s\nB=%s\n@daily true\n" % ("x" * 600, "y" * 600)))
        self.assertEqual(r.returncode, 1)
        self.assertIn(":3: environment text is 1205 bytes long; at most 1023 fit", r.stderr)

    def test_unreadable_file(self):
        r = self.tool("import", os.path.join(self.tmp, "missing"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot read", r.stderr)

    def test_refuses_what_it_cannot_read(self):
        system = self.write("0 1 * * * root /usr/bin/backup.sh\n")
        for args, message in [
                (["/dev/zero"], "refusing /dev/zero: it is not a regular file"),
                ([self.tmp], "refusing %s: it is a directory" % self.tmp),
                ([self.write("@daily echo a\0b\n@daily true\n", "nul")], ":1: a NUL byte"),
                ([self.write("@daily echo %s\n" % ("x" * 9000), "long")], ":1: the line is longer than 8192 bytes"),
                ([self.write("@daily true\n" * 100000, "big")], "it is longer than 1 MiB")]:
            r = self.tool("import", *args)
            self.assertEqual(r.returncode, 1, args)
            self.assertIn(message, r.stderr, args)
        self.assertEqual(self.stored_jobs(), [])
        r = self.tool("import", system)
        self.assertIn(":1: warning: 'root' is a user", r.stderr)
        r = self.tool("import", "--system", "--label", "sys", system)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual([j["cmd"] for j in self.stored_jobs()], ["root /usr/bin/backup.sh", "/usr/bin/backup.sh"])

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root to run jobs as users")
    def test_system_lines_run_as_their_users(self):
        path = self.write("0 1 * * * www-data echo w\n0 2 * * * nobody echo n\n0 3 * * * qc-no-such-user echo u\n")
        r = self.tool("import", "--system", path)
        self.assertEqual(r.returncode, 1)
        self.assertIn(":3: user 'qc-no-such-user' does not exist", r.stderr)
        self.assertEqual(self.stored_jobs(), [])
        r = self.tool("import", "--system", "--skip-bad", path)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("imported 2 jobs, skipped 1 line", r.stdout)
        self.assertEqual([j["user"] for j in self.stored_jobs()], ["www-data", "nobody"])
        text = self.tool("export").stdout
        self.assertIn(" user=www-data\n", text)
        self.assertIn("2 unchanged", self.tool("import", self.write(text, "x")).stdout)

        # A command that is not root may name only its own account.
        mine = os.path.join(self.tmp, "mine")
        os.makedirs(mine)
        os.chmod(self.tmp, 0o755)
        os.chown(mine, 65534, 65534)
        os.chmod(path, 0o644)
        r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", self.TOOL, "--dir",
                            mine, "import", "--system", "--skip-bad", path], capture_output=True, text=True,
                           timeout=tool_util.WAIT)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(":1: jobs cannot run as user 'www-data': the host runs as 'nobody', not as root",
                      r.stderr)
        self.assertIn("imported 1 job, skipped 2 lines", r.stdout)

    def test_debian_style_files_import_without_spurious_warnings(self):
        files = os.path.join(os.path.dirname(os.path.abspath(__file__)), "crontabs")
        # A byte-order mark, a Latin-1 comment, SHELL=/bin/sh and a command
        # named as a user ("mail"): none stops or warns.
        r = self.tool("import", os.path.join(files, "user-crontab"))
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertEqual([j["expr"] for j in self.stored_jobs()], ["30 7 * * 1-5", "0 */4 * * *"])
        system = os.path.join(files, "system-crontab")
        r = self.tool("import", system)
        self.assertIn(":12: warning: 'root' is a user, as is the first word of every line", r.stderr)
        self.assertEqual(r.stderr.count("warning"), 1, r.stderr)
        r = self.run_tool("--dir", os.path.join(self.tmp, "sys"), "import", "--create", "--system", system)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertIn("imported 4 jobs", r.stdout)
        # The styles of /etc/cron.d: each file a table of its own, all run as root.
        sys_dir = os.path.join(self.tmp, "sys")
        tables = sorted(os.listdir(os.path.join(files, "cron.d")))
        for name in tables:
            r = self.run_tool("--dir", sys_dir, "import", "--system", os.path.join(files, "cron.d", name))
            self.assertEqual((r.returncode, r.stderr), (0, ""), name)
        jobs = json.loads(self.run_tool("--dir", sys_dir, "list", "--json").stdout)
        self.assertEqual({j["user"] for j in jobs}, {"root"})
        self.assertEqual(sorted({j["label"] for j in jobs}), sorted(tables + ["system-crontab"]))
        self.assertIn("07,37 * * * *", [j["expr"] for j in jobs])
        self.assertTrue(any("$(date +%F)" in j["cmd"] for j in jobs))
        r = self.run_tool("--dir", sys_dir, "import", "--system", "--replace",
                          os.path.join(files, "cron.d", "statcollect"))
        self.assertEqual(r.stdout, "imported 0 jobs, 2 unchanged\n")

    def test_percent_is_standard_input_and_export_writes_it_back(self):
        lines = ["@daily tr a-z A-Z%hello%world", "@daily cat%50\\% done", "@daily cat%QUILMARN_STDIN",
                 "@daily wc -c | tr -d ' '%", "@daily cat%%a%%", "@daily echo 50\\%; cat%x"]
        r = self.tool("import", "-", stdin="\n".join(lines) + "\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        outputs = ["HELLO\nWORLD\n", "50% done\n", "QUILMARN_STDIN\n", "0\n", "\na\n\n", "50%\nx\n"]
        for job, out in zip(self.stored_jobs(), outputs):
            self.assertEqual(self.tool("run", str(job["id"])).returncode, 0, job["cmd"])
            record = json.loads(self.tool("logs", str(job["id"]), "--json").stdout)[0]
            self.assertEqual(record["stdout"], out, job["cmd"])
        text = self.tool("export").stdout
        for line in lines:
            self.assertIn("\n" + line + "\n", text)
        # The tables show each job on its one line, in the form it was written.
        listed = self.tool("list").stdout
        self.assertEqual(len(listed.splitlines()), 1 + len(lines), listed)
        for line in lines:
            self.assertIn(line[len("@daily "):] + "\n", listed)
        other = os.path.join(self.tmp, "other")
        r = self.run_tool("--dir", other, "import", "--create", "-", stdin=text)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(other, "crontab.json"), encoding="utf-8") as f:
            again = json.load(f)["jobs"]
        self.assertEqual([j["cmd"] for j in again], [j["cmd"] for j in self.stored_jobs()])

    def test_export_carries_every_setting_and_import_reads_it_back(self):
        self.assertEqual(self.tool("add", "backup", "30 2 * * *", "echo 50% done").returncode, 0)
        self.assertEqual(self.tool("add", "two words", "@every 5m", "true", "--disabled").returncode, 0)
        for args in (["set-timeout", "backup", "5m"], ["set-retry", "backup", "2", "30"],
                     ["set-overlap", "backup", "replace"], ["set-catch-up", "backup", "6h"],
                     ["set-jitter", "two words", "5m", "--fixed"],
                     ["set-paths", "backup", "--workdir", self.tmp, "--env", "A=b c", "--env", 'Q="x\\y']):
            self.assertEqual(self.tool(*args).returncode, 0, args)
        text = self.tool("export").stdout
        self.assertIn("overlap=replace catch-up=6h", text)
        self.assertIn("jitter=5m fixed-jitter=yes", text)
        other = os.path.join(self.tmp, "other")
        r = self.run_tool("--dir", other, "import", "--create", "-", stdin=text)
        self.assertEqual(r.returncode, 0, r.stderr)
        definition = lambda j: {k: v for k, v in j.items() if k not in ("next_run", "last_run")}
        with open(os.path.join(other, "crontab.json"), encoding="utf-8") as f:
            self.assertEqual([definition(j) for j in json.load(f)["jobs"]],
                             [definition(j) for j in self.stored_jobs()])
        # Twice changes nothing.
        r = self.run_tool("--dir", other, "import", "-", stdin=text)
        self.assertEqual((r.returncode, r.stdout), (0, "imported 0 jobs, 2 unchanged\n"), r.stderr)

    def test_zone_lines_become_the_prefix_of_the_jobs_after_them(self):
        path = self.write("CRON_TZ=Asia/Tokyo\n0 9 * * * echo a\nCRON_TZ=\n@daily echo b\n"
                          "TZ=Europe/Berlin\n0 1 * * * echo c\n")
        r = self.tool("import", "--create", path)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual([(j["expr"], j["env"]) for j in self.stored_jobs()], [
            ("CRON_TZ=Asia/Tokyo 0 9 * * *", ""), ("@daily", ""),
            ("CRON_TZ=Europe/Berlin 0 1 * * *", "TZ=Europe/Berlin")])
        text = self.tool("export").stdout
        self.assertIn("CRON_TZ=Asia/Tokyo\n\n#: name=crontab:2 label=crontab\n0 9 * * * echo a\n", text)
        r = self.tool("import", "--replace", "-", stdin=text)
        self.assertEqual((r.returncode, r.stdout), (0, "imported 0 jobs, 3 unchanged\n"), r.stderr)
        r = self.tool("import", self.write("CRON_TZ=Nowhere/Land\n@daily true\n", "bad-zone"))
        self.assertIn(":1: unknown time zone 'Nowhere/Land'", r.stderr)

    def test_replace_applies_one_file_as_its_own_table(self):
        self.assertEqual(self.tool("import", self.write("@daily echo a\n@daily echo b\n")).returncode, 0)
        self.assertEqual(self.tool("import", self.write("@daily echo other\n", "other")).returncode, 0)
        changed = self.write("#: timeout=1m\n@hourly echo a\n")
        r = self.tool("import", changed)
        self.assertEqual(r.returncode, 1)
        self.assertIn(":2: job 2 is already named 'crontab:2', with other settings", r.stderr)
        self.assertEqual(len(self.stored_jobs()), 3)
        # The jobs of the file "other" are another table: they stay.
        r = self.tool("import", "--replace", changed)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("imported 0 jobs, changed 1, removed 1", r.stdout)
        self.assertEqual([(j["id"], j["name"], j["max_runtime_sec"]) for j in self.stored_jobs()],
                         [(2, "crontab:2", 60), (3, "other:1", 0)])
        # --all (what edit applies): every job of the directory, names after the commands.
        r = self.tool("import", "--replace", "--all", changed)
        self.assertEqual([j["name"] for j in self.stored_jobs()], ["echo a"])

    def test_replace_keeps_the_jobs_of_lines_that_only_moved(self):
        path = self.write("@daily echo a\n@hourly echo b\n@weekly echo c\n")
        self.assertEqual(self.tool("import", path).returncode, 0)
        # A comment above, a line moved down, one gone: the job moved keeps its id.
        self.write("# header\n@hourly echo b\n@daily echo a\n")
        r = self.tool("import", "--replace", path)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("imported 0 jobs, changed 1, removed 1, 1 unchanged", r.stdout)
        self.assertEqual(sorted((j["id"], j["name"], j["cmd"]) for j in self.stored_jobs()),
                         [(1, "crontab:3", "echo a"), (2, "crontab:2", "echo b")])

    def test_labels_are_listed_and_survive_export_and_import(self):
        self.assertEqual(self.tool("import", "--create", self.write("@daily echo a\n", "php")).returncode, 0)
        self.assertEqual(self.tool("import", self.write("@hourly echo b\n", "cert bot")).returncode, 0)
        self.assertEqual(self.tool("add", "own", "@daily", "true").returncode, 0)
        self.assertRegex(self.tool("list").stdout, r"\n1 .* php +php:1 +echo a\n")
        text = self.tool("export").stdout
        other = os.path.join(self.tmp, "other")
        r = self.run_tool("--dir", other, "import", "--create", "-", stdin=text)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.run_tool("--dir", other, "export").stdout, text)
        labels = lambda: {j["name"]: j["label"] for j in json.loads(
            self.run_tool("--dir", other, "list", "--json").stdout)}
        self.assertEqual(labels(), {"php:1": "php", "cert bot:1": "cert bot", "own": ""})
        # The same tables: a new php file replaces only php's job.
        r = self.run_tool("--dir", other, "import", "--replace", self.write("\n@daily echo c\n", "php"))
        self.assertIn("imported 1 job, removed 1", r.stdout)
        self.assertEqual(labels(), {"php:2": "php", "cert bot:1": "cert bot", "own": ""})

    def test_names_that_read_as_numbers(self):
        for name in ("+1", "0123", "1", "-3"):
            r = self.tool("add", "--", name, "@daily", "true")
            self.assertEqual(r.returncode, 2, name)
            self.assertIn("must not read as a number", r.stderr)
        r = self.tool("import", "-", stdin="#: name=+1\n@daily true\n")
        self.assertIn("<stdin>:1: a job name must not read as a number", r.stderr)
        # A name derived from a command is never one.
        self.assertEqual(self.tool("import", "-", stdin="@daily 1\n").returncode, 0)
        self.assertEqual([j["name"] for j in self.stored_jobs()], ["stdin:1"])
        # A store may hold such names from before the rule: ids have one
        # spelling, so "0123" names the job, and export keeps the names.
        job = dict(self.stored_jobs()[0], name="0123")
        store = {"next_id": 200, "jobs": [job, dict(job, id=123, name="1"), dict(job, id=124, name="x")]}
        with open(os.open(os.path.join(self.data, "crontab.json"), os.O_WRONLY | os.O_TRUNC, 0o600), "w") as f:
            json.dump(store, f)
        self.assertEqual(self.tool("rm", "0123").returncode, 0)
        self.assertEqual([j["id"] for j in self.stored_jobs()], [123, 124])
        self.assertIn("no job named '+1'", self.tool("rm", "+1").stderr)
        text = self.tool("export").stdout
        for target in (self.data, os.path.join(self.tmp, "fresh")):
            r = self.run_tool("--dir", target, "import", "--create", "--replace", "-", stdin=text)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(self.run_tool("--dir", target, "export").stdout, text)

    def test_edit_checks_the_whole_text_and_offers_again(self):
        self.assertEqual(self.tool("add", "backup", "30 2 * * *", "true").returncode, 0)
        self.assertEqual(self.tool("add", "gone", "@daily", "true").returncode, 0)
        count = os.path.join(self.tmp, "count")
        editor = self.write(
            "#!/bin/sh\n"
            "if [ ! -e %s ]; then touch %s; sed -i 's/^30 2 /61 2 /' \"$1\"\n"
            "else sed -i 's/^61 2 /30 3 /; /name=gone/,+1d' \"$1\"; fi\n" % (count, count), "editor.sh")
        os.chmod(editor, 0o755)
        env = dict(os.environ, EDITOR=editor)
        env.pop("VISUAL", None)
        run = lambda answer: self.tool("edit", stdin=answer, env=env)
        r = run("n\n")
        self.assertEqual(r.returncode, 1)
        self.assertRegex(r.stderr, r"quilmarn-cron-\w+\.crontab:6: Invalid minute field '61'")
        self.assertEqual([j["expr"] for j in self.stored_jobs()], ["30 2 * * *", "@daily"])
        os.remove(count)
        r = run("y\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual([(j["name"], j["expr"]) for j in self.stored_jobs()], [("backup", "30 3 * * *")])

    def test_edit_applies_its_text_only_to_the_jobs_it_showed(self):
        self.assertEqual(self.tool("add", "kept", "@daily", "true").returncode, 0)
        # A second client adds a job while the editor is open.
        env = self.editor('"$TOOL" --dir "$DATA" add other @hourly true >/dev/null\n'
                          'sed -i "s/^@daily true/@weekly true/" "$1"\n')
        for daemon in (False, True):
            if daemon:
                self.assertEqual(self.tool("rm", "other").returncode, 0)
                d = subprocess.Popen([self.TOOL, "--dir", self.data, "daemon"], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
                self.addCleanup(lambda: d.poll() is None and (d.kill(), d.wait()))
                self.assertTrue(tool_util.wait_for(
                    lambda: os.path.exists(os.path.join(self.data, "quilmarn-cron.sock"))))
            r = self.tool("edit", stdin="", env=env)
            self.assertEqual(r.returncode, 3, r.stderr)
            self.assertIn("changed while you edited (added 'other')", r.stderr)
            self.assertEqual([(j["name"], j["expr"]) for j in self.stored_jobs()],
                             [("kept", "@daily"), ("other", "@hourly")])
        d.terminate()
        d.wait()

    def test_import_expect_refuses_a_table_changed_since_export(self):
        self.assertEqual(self.tool("add", "a", "@daily", "true").returncode, 0)
        text = self.tool("export").stdout
        digest = re.search(r"^# digest: (\w+)", text, re.M).group(1)
        # A run changes no definition.
        self.assertEqual(self.tool("run", "a").returncode, 0)
        self.assertEqual(self.tool("add", "b", "@daily", "true").returncode, 0)
        r = self.tool("import", "--replace", "--expect", digest, "-", stdin=text)
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertEqual([j["name"] for j in self.stored_jobs()], ["a", "b"])
        self.assertEqual(self.tool("rm", "b").returncode, 0)
        r = self.tool("import", "--replace", "--expect", digest, "-", stdin=text.replace("@daily", "@hourly"))
        self.assertEqual(r.returncode, 0, r.stderr)
        # A job moved to another table alone is a change too.
        text = self.tool("export").stdout
        digest = re.search(r"^# digest: (\w+)", text, re.M).group(1)
        r = self.tool("import", "-", stdin=text.replace("#: name=a", "#: name=a label=other"))
        self.assertIn("1 moved to another table", r.stdout, r.stderr)
        self.assertEqual(self.tool("import", "--expect", digest, "-", stdin=text).returncode, 3)

    def test_an_editor_that_leaves_a_fifo_or_a_link_is_not_waited_for(self):
        self.assertEqual(self.tool("add", "a", "@daily", "true").returncode, 0)
        for leave in ("mkfifo", "ln -s /dev/zero"):
            r = self.tool("edit", stdin="", env=self.editor('rm "$1"; %s "$1"\n' % leave))
            self.assertEqual(r.returncode, 1, leave)
            self.assertIn("the editor left no regular file there", r.stderr)


if __name__ == "__main__":
    tool_util.main()
