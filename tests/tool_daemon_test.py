"""quilmarn-cron daemon: every command beside it, its signals, its event lines
and --on-failure.

Usage: tool_daemon_test.py PATH_TO_QUILMARN_CRON [unittest options]
"""

import json
import os
import pathlib
import pwd
import queue
import shutil
import signal
import socket
import stat
import struct
import subprocess
import threading
import time
import unittest
import unittest.mock

import tool_util
from tool_util import WAIT


def read(path):
    try:
        with tool_util.open_in_dir(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


class DaemonTest(tool_util.ToolTest):
    def ok(self, *args, **kw):
        r = self.tool(*args, **kw)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def start_daemon(self, *options):
        """The daemon with JSON event lines; every line must parse."""
        d = subprocess.Popen([self.TOOL, "--dir", self.data, "daemon", "--log-format", "json", *options],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(d.stderr.close)
        self.addCleanup(d.stdout.close)
        self.addCleanup(lambda: d.poll() is None and (d.kill(), d.wait()))
        d.events = queue.Queue()
        d.seen = []  # every line, never taken

        def read():
            for line in d.stdout:
                e = json.loads(line)
                d.seen.append(e)
                d.events.put(e)

        threading.Thread(target=read, daemon=True).start()
        self.wait_event(d, "daemon")
        return d

    def check_event(self, e):
        if "job_id" in e or e["event"] in ("started", "finished", "retrying", "skipped"):
            self.assertIsInstance(e["job_name"], str)

    def stop(self, d):
        d.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout=WAIT), 0)

    def test_every_command_is_carried_out_by_the_daemon(self):
        tick = int(self.ok("add", "tick", "@every 1s", "echo one"))
        d = self.start_daemon()
        self.wait_event(d, "loaded", job_id=tick)
        self.wait_event(d, "finished", job_id=tick, stdout="one\n")

        # A change reaches the running scheduler at once, without a restart.
        self.ok("update", "tick", "tick", "@every 1s", "echo two")
        self.wait_event(d, "finished", job_id=tick, stdout="two\n")
        slow = int(self.ok("add", "slow", "@daily", "sleep 30"))
        seven = int(self.ok("add", "seven", "@daily", "echo out; exit 7"))

        # run waits for the job in the daemon and returns its exit status.
        r = self.tool("run", "seven")
        self.assertEqual(r.returncode, 7, r.stderr)
        self.assertIn("seven  exit 7", r.stdout)
        self.assertIn("| out", r.stdout)
        self.wait_event(d, "finished", job_id=seven, exit_code=7)

        # --no-wait returns while the run goes on; status shows it live;
        # cancel ends it and run's status would be 130.
        self.assertIn("started job %d" % slow, self.ok("run", "slow", "--no-wait"))
        self.wait_event(d, "started", job_id=slow)
        status = self.ok("status")
        self.assertIn("daemon %d" % d.pid, status)
        rows = {line.split()[-1]: line for line in status.splitlines()[2:]}
        self.assertIn("running", rows["slow"])
        self.assertIn(" 7 ", rows["seven"])
        self.assertNotIn("never", rows["tick"])
        live = json.loads(self.ok("status", "--json"))
        self.assertEqual(live["daemon_pid"], d.pid)
        self.assertEqual({j["name"]: j["last_exit_code"] for j in live["jobs"]}["seven"], 7)
        self.assertIn("cancelled", self.ok("cancel", "slow"))
        self.wait_event(d, "cancelled", job_id=slow, exit_code=-3)
        self.assertIn("exit -3", self.ok("logs", "slow"))

        # list shows the running scheduler's next fire times.
        jobs = {j["name"]: j for j in json.loads(self.ok("list", "--json"))}
        self.assertGreater(jobs["tick"]["last_run"], 0)

        # import reads a relative path from the client's directory; twice
        # changes nothing.
        path = os.path.join(self.tmp, "my.crontab")
        with open(path, "w") as f:
            f.write("@hourly echo imported\n")
        self.ok("import", os.path.relpath(path))
        jobs_now = lambda: [(j["id"], j["name"], j["cmd"]) for j in json.loads(self.ok("list", "--json"))]
        before = jobs_now()
        self.assertIn("1 unchanged", self.ok("import", path))
        self.assertEqual(jobs_now(), before)

        # edit beside the daemon: the daemon exports and applies the text.
        r = self.tool("edit", env=dict(os.environ, EDITOR='sed -i "s/echo imported/echo edited/"'))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("echo edited", [j["cmd"] for j in json.loads(self.ok("list", "--json"))])

        self.ok("rm", "tick")
        names = [j["name"] for j in json.loads(self.ok("list", "--json"))]
        self.assertNotIn("tick", names)
        self.stop(d)
        # The daemon saved every change: the directory reads the same without it.
        self.assertEqual([j["name"] for j in json.loads(self.ok("list", "--json"))], names)
        self.assertFalse(os.path.exists(os.path.join(self.data, "quilmarn-cron.sock")))

    def test_hangup_and_a_closed_log_pipe_keep_the_runs(self):
        pids = os.path.join(self.tmp, "pids")
        job = int(self.ok("add", "slow", "@daily", "echo $$ > %s; sleep 30" % pids))
        # The log goes to a pipe whose reader leaves after the first line.
        d = subprocess.Popen("'%s' --dir '%s' daemon | head -n 1" % (self.TOOL, self.data), shell=True,
                             stdout=subprocess.DEVNULL, start_new_session=True)
        self.addCleanup(lambda: d.poll() is None and (os.killpg(d.pid, signal.SIGKILL), d.wait()))
        end = time.monotonic() + WAIT
        while not os.path.exists(os.path.join(self.data, "quilmarn-cron.sock")):
            self.assertLess(time.monotonic(), end)
            time.sleep(0.05)
        self.ok("run", str(job), "--no-wait")
        while not read(pids).strip():
            self.assertLess(time.monotonic(), end)
            time.sleep(0.05)
        child = int(read(pids))
        daemon = json.loads(self.ok("status", "--json"))["daemon_pid"]
        os.kill(daemon, signal.SIGHUP)
        self.ok("list")  # still serving after SIGHUP and SIGPIPE
        # The child still has the daemon as its parent.
        self.assertEqual(int(read("/proc/%d/stat" % child).rsplit(")", 1)[1].split()[1]), daemon)
        # A stop waits for the run; a second one cancels it, and its record is kept.
        os.kill(daemon, signal.SIGTERM)
        self.assertIn("running", self.ok("status"))
        os.kill(daemon, signal.SIGTERM)
        self.assertEqual(d.wait(timeout=WAIT), 0)
        self.assertIn("exit -3 (cancelled)", self.ok("logs", str(job)))

    def test_a_hand_edit_is_reloaded_by_sighup_and_by_reload(self):
        kept = int(self.ok("add", "kept", "@daily", "echo kept"))
        r = self.tool("import", "-", stdin="@daily echo imported\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        gone = [j["id"] for j in json.loads(self.ok("list", "--json")) if j["name"] == "stdin:1"][0]
        labels = os.path.join(self.data, "quilmarn-cron.labels")
        self.assertIn("%d\t" % gone, read(labels))
        store = os.path.join(self.data, "crontab.json")

        def edit(change):
            with tool_util.open_in_dir(store) as f:
                doc = json.load(f)
            change(doc["jobs"])
            with tool_util.open_in_dir(store, "w") as f:
                json.dump(doc, f)

        d = self.start_daemon()
        edit(lambda jobs: (jobs.pop(1), jobs.append({"id": 9, "name": "new", "expr": "@hourly", "cmd": "true",
                                                     "enabled": True}), jobs[0].update(cmd="echo edited")))
        d.send_signal(signal.SIGHUP)
        line = self.wait_event(d, "reloaded", added=1, changed=1, removed=1, kept=0)
        self.assertEqual(line["source"], "crontab.json")
        # The per-job lines say where the change came from: the daemon saved nothing.
        changes = [e for e in d.seen if e["event"] in ("added", "changed", "removed")]
        self.assertEqual([(e["event"], e["job_id"], e["cause"]) for e in changes],
                         [("removed", gone, "reload"), ("changed", kept, "reload"), ("added", 9, "reload")])
        self.assertEqual({j["id"]: j["cmd"] for j in json.loads(self.ok("list", "--json"))},
                         {kept: "echo edited", 9: "true"})
        self.assertNotIn("%d\t" % gone, read(labels))

        # A file that cannot be taken changes nothing, by command or signal.
        with tool_util.open_in_dir(store, "w") as f:
            f.write("{\"jobs\": [")
        r = self.tool("reload")
        self.assertEqual(r.returncode, 1)
        self.assertIn("crontab.json line 1", r.stderr)
        self.assertIn("the jobs in memory stay", r.stderr)
        d.send_signal(signal.SIGHUP)
        self.assertIn("the jobs in memory stay", self.wait_event(d, "error")["reason"])
        self.assertEqual(len(json.loads(self.ok("list", "--json"))), 2)

        self.ok("rm", "new")  # the store is whole again
        edit(lambda jobs: jobs[0].update(enabled=False))
        self.assertEqual(self.ok("reload"), "reloaded crontab.json: 0 added, 1 changed, 0 removed, 0 kept\n")
        self.wait_event(d, "reloaded", changed=1, kept=0)
        self.assertFalse(json.loads(self.ok("list", "--json"))[0]["enabled"])
        self.stop(d)
        # Without a daemon nothing holds the jobs: nothing to reload.
        self.assertIn("no daemon runs the jobs", self.ok("reload"))

    def test_hostile_peers_neither_crash_nor_hold_the_daemon(self):
        self.ok("add", "x", "@daily", "true")
        d = self.start_daemon()
        sock = os.path.join(self.data, "quilmarn-cron.sock")
        idle = socket.socket(socket.AF_UNIX)  # connects and says nothing
        idle.connect(sock)
        self.addCleanup(idle.close)
        for junk in [b"GET / HTTP/1.0\r\n\r\n", b"QCRQ" + struct.pack("<I", 0xFFFFFFFF),
                     b"QCRQ" + struct.pack("<II", 1, 0xFFFFFFF0), b"QCRQ" + struct.pack("<II", 1, 3) + b"a\0b",
                     b"QCRQ\x01"]:
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(sock)
                s.sendall(junk)
                s.shutdown(socket.SHUT_WR)
                try:
                    self.assertEqual(s.recv(16), b"")  # closed without an answer
                except ConnectionResetError:
                    pass
        r = self.tool("list")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(" x ", r.stdout)
        idle.close()
        self.stop(d)

    def test_a_missing_directory_and_a_second_daemon_are_refused(self):
        typo = os.path.join(self.tmp, "jbos")
        r = self.run_tool("--dir", typo, "daemon")
        self.assertEqual(r.returncode, 1)
        self.assertIn("init", r.stderr)
        self.assertFalse(os.path.exists(typo))
        d = self.start_daemon()
        r = self.tool("daemon")
        self.assertEqual(r.returncode, 1)
        self.assertIn("(pid %d) already runs" % d.pid, r.stderr)
        self.stop(d)

    def test_a_command_sent_as_the_daemon_starts_waits_for_it(self):
        for i in range(20):
            d = subprocess.Popen([self.TOOL, "--dir", self.data, "daemon"], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE, text=True)
            self.addCleanup(d.stderr.close)
            self.addCleanup(lambda d=d: d.poll() is None and (d.kill(), d.wait()))
            self.ok("add", "j%d" % i, "@daily", "true")
            # The command may have come first; the daemon then starts after it.
            note = pathlib.Path(self.data, "quilmarn-cron.lock")
            self.assertTrue(tool_util.wait_for(
                lambda: note.exists() and note.read_text() == "%d daemon\n" % d.pid))
            self.stop(d)
        self.assertEqual(self.ok("list").count(" j"), 20)

    def test_mailto_mails_output_through_sendmail(self):
        mails = os.path.join(self.tmp, "mails")
        sendmail = os.path.join(self.tmp, "sendmail")
        with open(sendmail, "w") as f:
            f.write('#!/bin/sh\n[ "$3" = fail@example.org ] && exit 1\n'
                    '{ echo "ARGS $*"; cat; echo "END"; } >> %s\n' % mails)
        os.chmod(sendmail, 0o755)
        r = self.tool("import", "-", stdin="MAILTO=ops@example.org\n@every 1s echo hello\n"
                      "MAILTO=fail@example.org\n@every 1s echo bounce\nMAILTO=\n@every 1s echo quiet\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        # The sender is the account the job ran as, as cron names a crontab's owner.
        sender = "nobody" if os.geteuid() == 0 else pwd.getpwuid(os.geteuid()).pw_name
        if os.geteuid() == 0:
            self.ok("set-user", "stdin:2", "nobody")
        d = self.start_daemon("--sendmail", sendmail)
        self.wait_event(d, "mailed", job_name="stdin:2", to="ops@example.org")
        failed = self.wait_event(d, "mail-failed", job_name="stdin:4")
        self.assertIn("exited with status 1", failed["reason"])
        self.stop(d)
        with open(mails) as f:
            text = f.read()
        self.assertIn("ARGS -i -- ops@example.org\nFrom: %s (Cron Daemon)\n" % sender, text)
        self.assertIn("\nSubject: Cron <%s@" % sender, text)
        self.assertIn("> echo hello\n", text)
        self.assertIn("\nAuto-Submitted: auto-generated\n", text)
        self.assertIn("\n\nhello\nEND\n", text)
        self.assertNotIn("quiet", text)

    def test_a_hung_sendmail_is_killed_after_its_time_limit(self):
        pid_file = os.path.join(self.tmp, "sendmail.pid")
        sendmail = os.path.join(self.tmp, "sendmail")
        with open(sendmail, "w") as f:
            f.write("#!/bin/sh\necho $$ > %s\nexec sleep 600\n" % pid_file)
        os.chmod(sendmail, 0o755)
        r = self.tool("import", "-", stdin="MAILTO=ops@example.org\n@every 1s echo hello\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        d = self.start_daemon("--sendmail", sendmail, "--sendmail-timeout", "1")
        failed = self.wait_event(d, "mail-failed", job_name="stdin:2")
        self.assertIn("did not end within 1 s", failed["reason"])
        with open(pid_file) as f:
            pid = int(f.read())
        self.assertTrue(tool_util.wait_for(lambda: not os.path.exists("/proc/%d" % pid)))
        # The runs went on meanwhile, and none was mailed twice.
        self.wait_event(d, "finished", job_name="stdin:2")
        self.stop(d)
        ended = [e for e in d.seen if e["event"] in ("mailed", "mail-failed")]
        self.assertLessEqual(len(ended), len([e for e in d.seen if e["event"] == "ended"]))

    def test_a_stop_waits_for_the_mail_under_way(self):
        started, mails = os.path.join(self.tmp, "started"), os.path.join(self.tmp, "mails")
        sendmail = os.path.join(self.tmp, "sendmail")
        with open(sendmail, "w") as f:
            f.write("#!/bin/sh\ntouch %s\nsleep 1\ncat >> %s\n" % (started, mails))
        os.chmod(sendmail, 0o755)
        r = self.tool("import", "-", stdin="MAILTO=ops@example.org\n@every 1s echo hello\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        d = self.start_daemon("--sendmail", sendmail)
        self.assertTrue(tool_util.wait_for(lambda: os.path.exists(started)))
        self.stop(d)
        # The message is whole, and told, before the daemon is gone.
        with open(mails) as f:
            self.assertIn("\n\nhello\n", f.read())
        self.wait_event(d, "mailed", job_name="stdin:2")
        self.wait_event(d, "stopped")

    def test_logs_follows_new_records_across_a_rewrite_and_new_jobs(self):
        tick = int(self.ok("add", "tick", "@every 1s", "date +%s%N"))
        # 39 records already: the second new one makes the owner rewrite the file.
        old = {"started_at": 1, "finished_at": 1, "duration_ms": 0, "exit_code": 0, "stderr": "",
               "truncated": False, "cancelled": False, "attempt": 1}
        path = os.path.join(self.data, "quilmarn-cron.runs.%d.jsonl" % tick)
        with open(os.open(path, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            for i in range(39):
                f.write(json.dumps(dict(old, job_id=tick, stdout="old %d\n" % i)) + "\n")
        follow = subprocess.Popen([self.TOOL, "--dir", self.data, "logs", "-f", "-n", "1", "--json"],
                                  stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: follow.poll() is None and (follow.kill(), follow.wait()))
        self.addCleanup(follow.stdout.close)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(json.loads(x)) for x in follow.stdout], daemon=True).start()
        self.assertEqual(lines.get(timeout=WAIT)["stdout"], "old 38\n")  # the newest before

        # Not forwarded to the daemon, which owns the directory from now on.
        d = self.start_daemon()
        seen = []
        def take(until):
            while not until():
                seen.append(lines.get(timeout=WAIT))
        take(lambda: sum(r["job_id"] == tick for r in seen) >= 4)
        late = int(self.ok("add", "late", "@every 1s", "echo late"))
        take(lambda: any(r["job_id"] == late for r in seen))
        self.stop(d)
        kept = [r for r in json.loads(self.ok("logs", "tick", "--json")) if "old" not in r["stdout"]]
        take(lambda: sum(r["job_id"] == tick for r in seen) >= len(kept))
        follow.send_signal(signal.SIGINT)
        self.assertEqual(follow.wait(timeout=WAIT), 0)
        # Each record once, in the order written, none of those before.
        self.assertEqual([r["stdout"] for r in seen if r["job_id"] == tick],
                         [r["stdout"] for r in reversed(kept)])
        self.assertEqual({r["job_name"] for r in seen}, {"tick", "late"})
        with open(path) as f:
            self.assertLess(len(f.readlines()), 39)  # rewritten meanwhile

    def test_a_service_manager_is_told_ready_and_stopping(self):
        notify = os.path.join(self.tmp, "notify")
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as manager:
            manager.bind(notify)
            manager.settimeout(WAIT)
            d = subprocess.Popen([self.TOOL, "--dir", self.data, "daemon"], stdout=subprocess.DEVNULL,
                                 env=dict(os.environ, NOTIFY_SOCKET=notify))
            self.addCleanup(lambda: d.poll() is None and (d.kill(), d.wait()))
            self.assertIn(b"READY=1", manager.recv(4096))
            self.assertIn("daemon %d" % d.pid, self.ok("status"))  # ready means serving
            d.send_signal(signal.SIGTERM)
            self.assertIn(b"STOPPING=1", manager.recv(4096))
            self.assertEqual(d.wait(timeout=WAIT), 0)

    def test_jobs_get_crons_environment_and_not_the_service_managers(self):
        service = {"NOTIFY_SOCKET": "/nonexistent", "INVOCATION_ID": "abc", "JOURNAL_STREAM": "8:9",
                   "LISTEN_PID": "1", "LISTEN_FDS": "1", "LISTEN_FDNAMES": "x"}
        self.ok("add", "env", "@daily", "env; echo cwd=$(pwd)")
        with unittest.mock.patch.dict(os.environ, dict(service, SHELL="/bin/bash", HOME="/wrong")):
            d = self.start_daemon()
        out = self.ok("run", "env")
        home = pwd.getpwuid(os.geteuid()).pw_dir
        for line in ("HOME=" + home, "SHELL=/bin/sh", "PATH=/usr/bin:/bin", "cwd=" + home,
                     "LOGNAME=" + pwd.getpwuid(os.geteuid()).pw_name):
            self.assertIn("| " + line + "\n", out)
        for name in service:
            self.assertNotIn(name + "=", out)
        self.stop(d)

    def test_on_failure_gets_the_job_and_its_output(self):
        seen = os.path.join(self.tmp, "seen")
        job = int(self.ok("add", "flaky", "@daily", "echo out; echo err >&2; exit 4"))
        self.ok("set-retry", str(job), "1", "0")
        hook = ('{ echo "$QUILMARN_JOB_ID $QUILMARN_JOB_NAME $QUILMARN_EXIT_CODE $QUILMARN_ATTEMPTS"; cat; }'
                ' > %s; echo hook ran; exit 9' % seen)
        d = self.start_daemon("--on-failure", hook)
        self.assertEqual(self.tool("run", "flaky").returncode, 4)
        self.wait_event(d, "retrying", job_id=job, attempt=2)
        e = self.wait_event(d, "on-failure-failed", job_id=job)
        self.assertEqual((e["exit_code"], e["output"]), (9, "hook ran"))  # logged, not retried
        self.assertEqual(read(seen), "%d flaky 4 2\nout\nerr\n" % job)
        self.stop(d)
        time.sleep(0.5)  # lines still in the pipe: none may tell of a second hook
        hooks = [e for e in list(d.events.queue) if e["event"].startswith("on-failure")]
        self.assertEqual(hooks, [])

    def events_of(self, d, job):
        """The lines about `job` read so far."""
        return [e for e in list(d.seen) if e.get("job_id") == job and "seq" in e]

    def wait_seen(self, d, name, **members):
        """A line read so far or soon, whichever lines were waited for before."""
        match = lambda: [e for e in list(d.seen)
                         if e["event"] == name and all(e.get(k) == v for k, v in members.items())]
        self.assertTrue(tool_util.wait_for(match), "no event %s %r" % (name, members))

    def test_back_to_back_runs_each_leave_their_lines_and_record(self):
        job = int(self.ok("add", "quick", "@daily", "echo run $$"))
        d = self.start_daemon()
        for n in range(1, 11):
            self.ok("run", "quick")
            # The record is on disk when run answers.
            self.assertEqual(len(json.loads(self.ok("logs", "quick", "--json"))), n)
        self.wait_seen(d, "ended", job_id=job, execution=10)
        self.stop(d)
        lines = self.events_of(d, job)
        for name in ("started", "finished", "ended"):
            self.assertEqual(len([e for e in lines if e["event"] == name]), 10, name)
        self.assertEqual([e["seq"] for e in lines], sorted(e["seq"] for e in lines))
        self.assertEqual([e["time"] for e in lines], sorted(e["time"] for e in lines))
        outputs = [e["stdout"] for e in lines if e["event"] == "finished"]
        records = json.loads(self.ok("logs", "quick", "--json"))
        self.assertEqual([r["stdout"] for r in reversed(records)], outputs)  # ten runs, in order
        self.assertEqual(len(set(outputs)), 10)

    def test_event_lines_of_each_decision_and_one_hook_per_failed_execution(self):
        hooks = os.path.join(self.tmp, "hooks")
        ids = {}
        for name, expr, cmd, setting in [("skip", "@every 1s", "sleep 3", None),
                                         ("queue", "@every 1s", "sleep 2", ("set-overlap", "queue")),
                                         ("limit", "@daily", "sleep 30", ("set-timeout", "1s")),
                                         ("retry", "@daily", "exit 5", ("set-retry", "1", "0")),
                                         ("slow", "@daily", "sleep 30", None)]:
            ids[name] = int(self.ok("add", name, expr, cmd))
            if setting:
                self.ok(setting[0], name, *setting[1:])
        d = self.start_daemon("--on-failure", "echo $QUILMARN_JOB_NAME $QUILMARN_ATTEMPTS >> %s" % hooks)
        self.ok("run", "limit", "--no-wait")
        self.assertEqual(self.tool("run", "retry").returncode, 5)
        self.ok("run", "slow", "--no-wait")
        self.wait_seen(d, "started", job_id=ids["slow"])
        self.assertIn("cancelled", self.ok("cancel", "slow"))
        for name, job, members in [("skipped", "skip", {"reason": "running"}),
                                   ("queued", "queue", {"reason": "still running"}),
                                   ("timeout", "limit", {"exit_code": -2}),
                                   ("retrying", "retry", {"attempt": 2}),
                                   ("cancel", "slow", {"child_signalled": True}),
                                   ("cancelled", "slow", {"exit_code": -3}),
                                   ("ended", "slow", {"outcome": "cancelled", "retries_exhausted": False})]:
            with self.subTest(name):
                self.wait_seen(d, name, job_id=ids[job], **members)
        self.assertTrue(tool_util.wait_for(lambda: len(read(hooks).splitlines()) == 2))
        self.ok("rm", "skip")
        self.ok("rm", "queue")
        self.stop(d)
        self.assertEqual(sorted(read(hooks).splitlines()), ["limit 1", "retry 2"])  # not slow, not twice

    def test_events_lost_while_the_log_stalls_are_counted_and_their_records_kept(self):
        with open(os.path.join(self.tmp, "jobs"), "w") as f:
            f.writelines("@every 1s echo %d\n" % i for i in range(100))
        self.ok("import", os.path.join(self.tmp, "jobs"))
        d = subprocess.Popen([self.TOOL, "--dir", self.data, "daemon", "--log-format", "json"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(d.stdout.close)
        self.addCleanup(lambda: d.poll() is None and (d.kill(), d.wait()))
        time.sleep(15)  # nobody reads the log: the daemon waits on its pipe while the runs go on
        lines = []
        threading.Thread(target=lambda: lines.extend(json.loads(x) for x in d.stdout), daemon=True).start()
        # Twenty runs told after the stall: the job's newest twenty all ran by then.
        self.assertTrue(tool_util.wait_for(lambda: len([e for e in list(lines) if e.get("job_id") == 1
                                                        and e["event"] == "ended"]) >= 20, timeout=120))
        self.stop(d)
        lost = [e for e in lines if e["event"] == "lost"]
        if not lost:
            self.skipTest("the ring was not overrun on this machine")
        self.assertGreater(lost[0]["count"], 0)
        self.assertEqual(lost[0]["level"], "warning")
        # Every run of the job left its record, once: the dropped ones from the job's ring.
        records = json.loads(self.ok("logs", "1", "--json"))
        self.assertEqual(len(records), 20)
        keys = [(r["execution"], r["attempt"]) for r in records]
        self.assertEqual(keys, sorted(set(keys), reverse=True))

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root to switch users")
    def test_the_socket_refuses_another_user(self):
        os.chmod(self.tmp, 0o755)
        os.chmod(self.data, 0o755)
        d = self.start_daemon()
        sock = os.path.join(self.data, "quilmarn-cron.sock")
        self.assertEqual(stat.S_IMODE(os.stat(sock).st_mode), 0o600)
        os.chmod(sock, 0o666)  # past the mode, the daemon checks the peer itself
        r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", self.TOOL, "--dir",
                            self.data, "add", "x", "@daily", "true"], capture_output=True, text=True,
                           timeout=WAIT)
        self.assertEqual(r.returncode, 1)
        self.assertIn("refused: user 65534", r.stderr)
        self.wait_event(d, "refused", uid=65534)
        self.assertEqual(json.loads(self.ok("list", "--json")), [])
        self.stop(d)


    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root to switch users")
    def test_root_talks_to_the_daemon_of_the_directory_owner(self):
        os.chmod(self.tmp, 0o755)
        os.chown(self.data, 65534, 65534)  # as systemd's StateDirectory= with User=
        os.chmod(self.data, 0o700)
        d = subprocess.Popen(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", self.TOOL, "--dir",
                              self.data, "daemon"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(d.stdout.close)
        self.addCleanup(lambda: d.poll() is None and (d.kill(), d.wait()))
        self.assertIn(" daemon pid=", d.stdout.readline())
        self.ok("add", "x", "@daily", "true")
        self.assertIn("daemon %d runs" % d.pid, self.ok("status"))
        self.stop(d)


if __name__ == "__main__":
    tool_util.main()
