"""The Scheduler class: jobs, settings, runs, reports and lifetime."""

import gc
import json
import math
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from datetime import datetime, timedelta, timezone

import quilmarn_crontab as qc

DEADLINE = 30.0  # generous: machines are shared and sanitizer builds are slow


def open_in_dir(path, mode="r"):
    """A file of a data directory, opened as the library opens it: never through a link."""
    flags = os.O_RDONLY if mode == "r" else os.O_WRONLY | os.O_CREAT | os.O_TRUNC
    return open(os.open(path, flags | os.O_NOFOLLOW, 0o600), mode, encoding="utf-8")


def wait_until(predicate, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


class RunThread(threading.Thread):
    """run_now on a thread of its own, keeping its exception."""

    def __init__(self, scheduler, job_id):
        super().__init__(daemon=True)
        self.scheduler, self.job_id, self.error = scheduler, job_id, None

    def run(self):
        try:
            self.scheduler.run_now(self.job_id)
        except Exception as e:  # noqa: BLE001 - handed to the test
            self.error = e


class SchedulerTest(unittest.TestCase):
    """A scheduler without a data directory for each test."""

    def setUp(self):
        self.s = qc.Scheduler()
        self.addCleanup(self.s.close)


class JobTableTest(SchedulerTest):
    def test_add_update_delete_and_the_job_list(self):
        a = self.s.add_job("backup", "0 3 * * *", "echo backup")
        b = self.s.add_job("report", "@hourly", "echo report", enabled=False)
        self.assertEqual(b, a + 1)
        jobs = self.s.jobs()
        self.assertEqual([j["name"] for j in jobs], ["backup", "report"])
        self.assertEqual(jobs[1]["enabled"], False)
        self.assertEqual(list(jobs[0]), [
            "id", "name", "expr", "cmd", "enabled", "next_run", "last_run", "log_count",
            "max_runtime_sec", "running", "workdir", "envSet", "env", "overlap_policy",
            "queued_count", "retry_max", "retry_backoff_sec", "catch_up_sec", "jitter_sec", "jitter_fixed",
             "user"])

        self.s.set_retry(a, 3, 10)
        self.s.update_job(a, "backup2", "*/5 * * * *", "echo again", enabled=False)
        job = self.s.job(a)
        self.assertEqual((job["name"], job["expr"], job["cmd"], job["enabled"]),
                         ("backup2", "*/5 * * * *", "echo again", False))
        self.assertEqual((job["retry_max"], job["retry_backoff_sec"]), (3, 10))
        self.s.set_catch_up(a, timedelta(hours=6))
        self.s.set_jitter(a, 300, fixed=True)
        self.s.set_overlap_policy(a, "replace")
        job = self.s.job(a)
        self.assertEqual((job.catch_up_sec, job.jitter_sec, job.jitter_fixed, job.overlap_policy),
                         (21600, 300, True, qc.Overlap.REPLACE))

        self.s.delete_job(a)
        self.assertEqual([j["id"] for j in self.s.jobs()], [b])
        with self.assertRaises(qc.JobNotFoundError):
            self.s.job(a)

    def test_errors_become_exceptions(self):
        with self.assertRaises(qc.ExpressionError) as caught:
            self.s.add_job("x", "61 * * * *", "true")
        self.assertEqual(str(caught.exception), "Invalid minute field '61': value must be between 0 and 59")
        job = self.s.add_job("x", "@daily", "true")
        with self.assertRaises(qc.ExpressionError):
            self.s.update_job(job, "x", "@weekdays", "true")
        for call in (lambda: self.s.update_job(999, "x", "@daily", "true"),
                     lambda: self.s.delete_job(999),
                     lambda: self.s.set_timeout(999, 5),
                     lambda: self.s.set_retry(999, 1, 1),
                     lambda: self.s.run_now(999),
                     lambda: self.s.cancel(999)):
            with self.assertRaises(qc.JobNotFoundError):
                call()
        # The library's own sentence, not one the binding guesses.
        refused = [
            (qc.SettingError, lambda: self.s.set_retry(job, 11, 0), "11"),
            (qc.SettingError, lambda: self.s.set_overlap_policy(job, 4), "4"),
            (qc.SettingError, lambda: self.s.set_catch_up(job, qc.CATCH_UP_MAX_SEC + 1), "2678401"),
            (qc.SettingError, lambda: self.s.set_jitter(job, qc.JITTER_MAX_SEC + 1), "86401"),
            (qc.SettingError, lambda: self.s.set_user(job, "qc-no-such-user"), "qc-no-such-user"),
            (qc.SettingError, lambda: self.s.set_overlap_policy(job, "sometimes"), "sometimes"),
            (qc.SettingError, lambda: self.s.set_paths(job, workdir="/nonexistent/dir"), "/nonexistent/dir"),
            (qc.SettingError, lambda: self.s.set_paths(job, env="A=1\nB"), "line 2"),
            (qc.SettingError, lambda: self.s.set_paths(job, env={"A": "x" * 1100}), "1023"),
            (qc.CrontabError, lambda: self.s.add_job("x", "@daily", "x" * 1024), "1023"),
        ]
        for error, call, named in refused:
            with self.assertRaises(error) as caught:
                call()
            self.assertIn(named, str(caught.exception))
        self.assertEqual(self.s.logs(999), [])

    def test_settings_show_in_the_job_list(self):
        job = self.s.add_job("x", "@daily", "true")
        with tempfile.TemporaryDirectory() as d:
            self.s.set_paths(job, workdir=d, env={"A": "1", "B": "two words"})
            self.s.set_timeout(job, 30)
            self.s.set_overlap_policy(job, "queue")
            j = self.s.job(job)
            self.assertEqual((j.workdir, j.env, j.env_set), (d, "A=1\nB=two words", True))
            self.assertEqual((j["workdir"], j["envSet"]), (d, True))
            self.assertEqual((j.max_runtime_sec, j.overlap_policy), (30, qc.Overlap.QUEUE))
            self.assertIs(j.overlap_policy, qc.Overlap.QUEUE)
        self.s.set_paths(job)
        j = self.s.job(job)
        self.assertEqual((j["workdir"], j["env"], j["envSet"]), ("", "", False))

    def test_table_full(self):
        for i in range(qc.MAX_JOBS):
            self.s.add_job("j%d" % i, "@daily", "true")
        with self.assertRaisesRegex(qc.TableFullError, "full"):
            self.s.add_job("one more", "@daily", "true")

    def test_the_exception_class_comes_from_the_code(self):
        job = self.s.add_job("x", "@daily", "true")
        with tempfile.TemporaryDirectory() as d, qc.Scheduler(d):
            cases = [
                (qc.JobNotFoundError, qc.ErrorCode.NOT_FOUND, 999, lambda: self.s.run_now(999)),
                (qc.ExpressionError, qc.ErrorCode.BAD_EXPRESSION, 0, lambda: self.s.add_job("x", "* *", "true")),
                (qc.ExpressionError, qc.ErrorCode.BAD_EXPRESSION, 0,
                 lambda: self.s.update_job(job, "x", "@daily " + "*" * qc.EXPR_MAX, "true")),
                (qc.DirectoryInUseError, qc.ErrorCode.DIR_IN_USE, os.getpid(), lambda: qc.Scheduler(d)),
            ]
            for error, code, value, call in cases:
                with self.subTest(error.__name__), self.assertRaises(error) as caught:
                    call()
                self.assertEqual((caught.exception.code, caught.exception.value), (code, value))
        self.assertEqual(caught.exception.pid, os.getpid())
        self.assertIsInstance(caught.exception, qc.StoreError)

    def test_jobs_found_by_name(self):
        a = self.s.add_job("backup", "@daily", "true")
        self.assertEqual(self.s.job("backup").id, a)
        with self.assertRaises(qc.JobNotFoundError):
            self.s.job("nothing")
        b = self.s.add_job("backup", "@hourly", "true")
        self.assertEqual([j.id for j in self.s.find("backup")], [a, b])
        with self.assertRaisesRegex(qc.AmbiguousJobNameError, "id"):
            self.s.job("backup")


class ArgumentTest(SchedulerTest):
    def test_integers_that_do_not_fit_the_c_type_are_refused_not_wrapped(self):
        one = self.s.add_job("one", "@daily", "true")
        other = self.s.add_job("other", "@daily", "true")
        # ctypes alone would pass the low 32 (64) bits: job 1, 7 s, 6.
        cases = [
            ("job_id", lambda: self.s.delete_job(2**32 + one)),
            ("seconds", lambda: self.s.set_timeout(other, 2**32 + 7)),
            ("after", lambda: qc.next_time("@every 1s", after=2**64 + 5)),
            ("retry_max", lambda: self.s.set_retry(other, -2**31 - 1)),
            ("limit", lambda: self.s.logs(other, 2**40)),
        ]
        for named, call in cases:
            with self.subTest(named), self.assertRaisesRegex(OverflowError, named):
                call()
        self.assertEqual([(j.id, j.max_runtime_sec) for j in self.s.jobs()], [(one, 0), (other, 0)])

    def test_durations_take_timedeltas_and_refuse_negative_spans(self):
        job = self.s.add_job("x", "@daily", "true")
        self.s.set_timeout(job, timedelta(minutes=2))
        self.s.set_retry(job, 1, timedelta(seconds=30))
        refused = [lambda: self.s.set_timeout(job, -1), lambda: self.s.set_timeout(job, timedelta(seconds=-5)),
                   lambda: self.s.set_timeout(job, timedelta(seconds=1.5)), lambda: self.s.set_retry(job, 1, -1)]
        for call in refused:
            with self.assertRaises(qc.SettingError):
                call()
        j = self.s.job(job)
        self.assertEqual((j.max_runtime_sec, j.retry_backoff_sec), (120, 30))
        self.s.set_timeout(job, None)
        self.assertEqual(self.s.job(job).max_runtime_sec, 0)

    def test_cluster_is_joined_at_creation_and_reported(self):
        self.assertIsNone(self.s.cluster())
        with self.assertRaises(ValueError):
            qc.Scheduler(cluster="host=/nonexistent", cluster_unreachable="maybe")
        # No server there: the join succeeds and the state says so once tried.
        with qc.Scheduler(cluster="host=/nonexistent", node="n1", cluster_unreachable="run") as s:
            state = s.cluster()
            self.assertEqual((state["node"], state["when_unreachable"]), ("n1", "run"))
            self.assertIn(state["reachable"], (None, False))

    def test_limits_and_codes_are_the_headers(self):
        header = os.path.join(os.path.dirname(__file__), "..", "..", "..", "include", "quilmarn_crontab.h")
        with open(header, encoding="utf-8") as f:
            macros = dict(re.findall(r"^#define CRONTAB_(\w+) \(?([-\d* ]+)\)?", f.read(), re.M))
        mirrored = {name: getattr(qc, name) for name in qc.__all__ if name.isupper()}
        mirrored.update({"E_" + c.name: c for c in qc.ErrorCode})
        mirrored.update({"EXIT_" + c.name: c for c in qc.ExitCode})
        mirrored.update({"OVERLAP_" + c.name: c for c in qc.Overlap})
        results = {"OK", "ERROR", "ERROR_SETTING", "ERROR_STORE", "NO_CHILD"}  # the binding needs no names
        results |= {"CLUSTER_SKIP", "CLUSTER_RUN"}  # given as "skip" and "run"
        self.assertEqual(set(macros) - results, set(mirrored))
        for name, value in mirrored.items():
            with self.subTest(name):
                self.assertEqual(math.prod(int(n) for n in macros[name].split("*")), value)

    def test_a_wrong_type_is_named_before_the_call(self):
        with self.assertRaisesRegex(TypeError, "job_id must be an int, not str"):
            self.s.set_timeout("1", 5)
        with self.assertRaisesRegex(TypeError, "after"):
            qc.next_time("@daily", after="tomorrow")

    def test_a_data_directory_the_library_refuses_raises_its_reason(self):
        with self.assertRaises(qc.StoreError) as caught:
            qc.Scheduler("d" * 600)
        self.assertNotIsInstance(caught.exception, MemoryError)
        self.assertIn("511", str(caught.exception))


class RunTest(SchedulerTest):
    def test_run_now_records_exit_code_and_both_streams(self):
        job = self.s.add_job("x", "@daily", "echo out; echo err >&2; exit 3", enabled=False)
        self.s.run_now(job)
        (record,) = self.s.logs(job)
        self.assertEqual((record["stdout"], record["stderr"], record["exit_code"]), ("out\n", "err\n", 3))
        self.assertEqual((record["attempt"], record["cancelled"], record["truncated"]), (1, False, False))
        self.assertGreater(self.s.job(job)["last_run"], 0)

    def test_run_records_as_dataclasses_with_both_kinds_of_time(self):
        job = self.s.add_job("x", "@daily", "exit 0")
        self.s.set_timeout(job, 1)
        before = int(time.time())
        self.s.run_now(job)
        (record,) = self.s.logs(job)
        self.assertIsInstance(record, qc.RunRecord)
        self.assertGreaterEqual(record.started_at, before)
        self.assertEqual(record.started_datetime, datetime.fromtimestamp(record.started_at, timezone.utc))
        self.assertEqual(record.finished_datetime.timestamp(), record["finished_at"])
        self.assertEqual(self.s.job(job).last_run_datetime.timestamp(), self.s.job(job).last_run)
        slow = self.s.add_job("slow", "@daily", "sleep 30")
        self.s.set_timeout(slow, 1)
        self.s.run_now(slow)
        self.assertIs(self.s.logs(slow)[0].exit_code, qc.ExitCode.TIME_LIMIT)

    def test_ctrl_c_cancels_the_run_and_raises_within_a_second(self):
        with tempfile.TemporaryDirectory() as d:
            started = os.path.join(d, "started")
            job = self.s.add_job("slow", "@daily", "touch '%s'; sleep 30" % started)
            sent = []

            def interrupt():
                if wait_until(lambda: os.path.exists(started)):
                    sent.append(time.monotonic())
                    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

            threading.Thread(target=interrupt, daemon=True).start()
            with self.assertRaises(KeyboardInterrupt):
                self.s.run_now(job)
            self.assertLess(time.monotonic() - sent[0], 1.0)
        self.assertTrue(wait_until(lambda: self.s.logs(job)))
        self.assertIs(self.s.logs(job)[0].exit_code, qc.ExitCode.CANCELLED)

    def test_retries_and_limit(self):
        job = self.s.add_job("x", "@daily", "exit 1")
        self.s.set_retry(job, 2, 0)
        self.s.run_now(job)
        self.assertEqual([r["attempt"] for r in self.s.logs(job)], [3, 2, 1])
        self.assertEqual([r["attempt"] for r in self.s.logs(job, 2)], [3, 2])

    def test_workdir_and_environment_reach_the_command(self):
        with tempfile.TemporaryDirectory() as d:
            job = self.s.add_job("x", "@daily", 'pwd; printf "%s" "$GREETING"')
            self.s.set_paths(job, workdir=d, env={"GREETING": "hi there"})
            self.s.run_now(job)
            self.assertEqual(self.s.logs(job)[0]["stdout"], os.path.realpath(d) + "\nhi there")

    def test_cancel_from_another_thread_and_run_now_refused_while_running(self):
        with tempfile.TemporaryDirectory() as d:
            started = os.path.join(d, "started")
            job = self.s.add_job("slow", "@daily", "touch '%s'; sleep 60" % started)
            runner = RunThread(self.s, job)
            runner.start()
            self.assertTrue(wait_until(lambda: os.path.exists(started)))
        with self.assertRaises(qc.RunRefusedError):
            self.s.run_now(job)
        self.assertTrue(self.s.cancel(job))
        runner.join(DEADLINE)
        self.assertFalse(runner.is_alive())
        self.assertIsNone(runner.error)
        record = self.s.logs(job)[0]
        self.assertEqual((record["exit_code"], record["cancelled"]), (-3, True))
        self.assertFalse(self.s.cancel(job))

    def test_started_scheduler_runs_due_jobs(self):
        job = self.s.add_job("tick", "@every 1s", "echo tick")
        self.assertFalse(self.s.running)
        self.s.start()
        self.assertTrue(self.s.running)
        with self.assertRaises(qc.CrontabError):
            self.s.start()
        self.assertTrue(wait_until(lambda: self.s.logs(job)))
        self.s.stop()
        self.assertFalse(self.s.running)
        self.assertEqual(self.s.logs(job)[0]["stdout"], "tick\n")

    def test_reports_from_many_threads_never_see_each_others_text(self):
        job = self.s.add_job("x", "@daily", "echo x")
        self.s.run_now(job)
        errors = []

        def read(report, key):
            try:
                for _ in range(300):
                    for item in report():
                        if key not in item:
                            errors.append(item)
            except Exception as e:  # noqa: BLE001 - handed to the test
                errors.append(e)

        threads = [threading.Thread(target=read, args=(self.s.jobs, "name")) for _ in range(3)]
        threads += [threading.Thread(target=read, args=(lambda: self.s.logs(job), "exit_code"))
                    for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])


class LifetimeTest(unittest.TestCase):
    def test_a_change_that_cannot_be_saved_raises_store_error(self):
        with tempfile.TemporaryDirectory() as d, qc.Scheduler(d) as s:
            s.add_job("kept", "@daily", "true")
            os.unlink(os.path.join(d, "crontab.json"))
            os.mkdir(os.path.join(d, "crontab.json"))
            with self.assertRaisesRegex(qc.StoreError, "could not be saved"):
                s.add_job("lost", "@daily", "true")
            self.assertEqual([j.name for j in s.jobs()], ["kept"])

    def test_jobs_persist_in_the_data_directory(self):
        with tempfile.TemporaryDirectory() as d:
            data = os.path.join(d, "nested", "cron")
            with qc.Scheduler(data) as s:
                job = s.add_job("kept", "0 4 * * *", "echo kept")
                s.set_retry(job, 1, 5)
            with open(os.path.join(data, "crontab.json"), encoding="utf-8") as f:
                stored = json.load(f)
            self.assertEqual(stored["jobs"][0]["name"], "kept")
            with qc.Scheduler(data) as s:
                j = s.job(job)
                self.assertEqual((j["name"], j["cmd"], j["retry_max"]), ("kept", "echo kept", 1))
                self.assertGreater(s.add_job("new", "@daily", "true"), job)

    def test_reload_applies_a_hand_edit_or_raises_and_changes_nothing(self):
        with tempfile.TemporaryDirectory() as d, qc.Scheduler(d) as s:
            job = s.add_job("kept", "@daily", "echo old")
            store = os.path.join(d, "crontab.json")
            with open_in_dir(store) as f:
                doc = json.load(f)
            doc["jobs"][0]["cmd"] = "echo new"
            with open_in_dir(store, "w") as f:
                json.dump(doc, f)
            s.reload()
            self.assertEqual(s.job(job)["cmd"], "echo new")
            changed, reloaded = list(s.events(after=0, timeout=0))[-2:]
            self.assertEqual((changed.kind, changed.cause), (qc.EventKind.CHANGED, "reload"))
            self.assertEqual((reloaded.kind, reloaded.changed, reloaded.kept), (qc.EventKind.RELOADED, 1, 0))
            with open_in_dir(store, "w") as f:
                f.write("{")
            with self.assertRaisesRegex(qc.StoreError, "not reloaded: crontab.json line 1") as caught:
                s.reload()
            self.assertEqual(caught.exception.code, qc.ErrorCode.STORE_UNREADABLE)
            self.assertEqual(s.job(job)["cmd"], "echo new")

    def test_collecting_an_unclosed_scheduler_never_waits_for_its_runs(self):
        s = qc.Scheduler()
        job = s.add_job("x", "@every 1s", "sleep 3")
        s.start()
        self.assertTrue(wait_until(lambda scheduler=s: scheduler.job(job).running))
        with self.assertWarns(ResourceWarning):
            began = time.monotonic()
            del s
            gc.collect()
        self.assertLess(time.monotonic() - began, 1.0)
        # Left for the interpreter's exit, it is destroyed there.
        script = "import quilmarn_crontab as qc; s = qc.Scheduler(); s.add_job('x', '@daily', 'true')"
        subprocess.run([sys.executable, "-c", script], check=True, timeout=DEADLINE)

    def test_closed_scheduler_refuses_calls(self):
        s = qc.Scheduler()
        with s:
            s.add_job("x", "@daily", "true")
        self.assertTrue(s.closed)
        s.close()
        with self.assertRaises(ValueError):
            s.jobs()

    def test_close_waits_for_a_run_on_another_thread(self):
        with tempfile.TemporaryDirectory() as d:
            done = os.path.join(d, "done")
            s = qc.Scheduler()
            job = s.add_job("x", "@daily", "sleep 1; touch '%s'" % done)
            runner = RunThread(s, job)
            runner.start()
            self.assertTrue(wait_until(lambda: s.job(job)["running"]))
            s.close()
            self.assertTrue(os.path.exists(done))
            runner.join(DEADLINE)
            self.assertIsNone(runner.error)

    def test_ctrl_c_in_close_still_frees_the_instance_and_its_directory(self):
        with tempfile.TemporaryDirectory() as d:
            started = os.path.join(d, "started")
            s = qc.Scheduler(d)
            job = s.add_job("slow", "@daily", "touch '%s'; sleep 60" % started)
            runner = RunThread(s, job)
            runner.start()
            self.assertTrue(wait_until(lambda: os.path.exists(started)))

            def interrupt():
                if wait_until(lambda: s.closed):  # close() has begun to wait for the run
                    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

            threading.Thread(target=interrupt, daemon=True).start()
            with self.assertRaises(KeyboardInterrupt):
                s.close()
            runner.join(DEADLINE)
            self.assertFalse(runner.is_alive())

            def reopened():
                try:
                    qc.Scheduler(d).close()
                    return True
                except qc.StoreError:
                    return False

            self.assertTrue(wait_until(reopened))

    def test_a_forked_child_cannot_use_the_scheduler_and_close_does_not_wait(self):
        with tempfile.TemporaryDirectory() as d:
            started = os.path.join(d, "started")
            s = qc.Scheduler(d)
            self.addCleanup(s.close)
            job = s.add_job("slow", "@daily", "touch '%s'; sleep 60" % started)
            runner = RunThread(s, job)
            runner.start()
            self.assertTrue(wait_until(lambda: os.path.exists(started)))
            pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    s.jobs()
                except RuntimeError as e:
                    code = 0 if "forked child" in str(e) else 2
                s.close()  # the parent's run is not waited for
                os._exit(code)
            ended = []

            def child_ended():
                done, status = os.waitpid(pid, os.WNOHANG)
                if done == pid:
                    ended.append(os.waitstatus_to_exitcode(status))
                return bool(ended)

            if not wait_until(child_ended):
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                self.fail("the child hung")
            self.assertEqual(ended, [0])
            # The parent's instance is untouched.
            self.assertEqual([j.name for j in s.jobs()], ["slow"])
            self.assertTrue(s.cancel(job))
            runner.join(DEADLINE)


if __name__ == "__main__":
    unittest.main()
