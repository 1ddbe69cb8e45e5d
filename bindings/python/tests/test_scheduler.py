"""The Scheduler class: jobs, settings, runs, reports and lifetime."""

import json
import os
import tempfile
import threading
import time
import unittest

import quilmarn_crontab as qc

DEADLINE = 30.0  # generous: machines are shared and sanitizer builds are slow


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


class JobTableTest(unittest.TestCase):
    def setUp(self):
        self.s = qc.Scheduler()
        self.addCleanup(self.s.close)

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
            "queued_count", "retry_max", "retry_backoff_sec"])

        self.s.set_retry(a, 3, 10)
        self.s.update_job(a, "backup2", "*/5 * * * *", "echo again", enabled=False)
        job = self.s.job(a)
        self.assertEqual((job["name"], job["expr"], job["cmd"], job["enabled"]),
                         ("backup2", "*/5 * * * *", "echo again", False))
        self.assertEqual((job["retry_max"], job["retry_backoff_sec"]), (3, 10))

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
        with self.assertRaises(qc.SettingError):
            self.s.set_retry(job, 11, 0)
        with self.assertRaises(qc.SettingError):
            self.s.set_overlap_policy(job, 3)
        with self.assertRaisesRegex(qc.SettingError, "not a directory"):
            self.s.set_paths(job, workdir="/nonexistent/dir")
        with self.assertRaisesRegex(qc.SettingError, "without '='"):
            self.s.set_paths(job, env="A=1\nB")
        with self.assertRaisesRegex(qc.SettingError, "longer than 1023"):
            self.s.set_paths(job, env={"A": "x" * 1100})
        with self.assertRaisesRegex(qc.SettingError, "command is longer than 1023"):
            self.s.add_job("x", "@daily", "x" * 1024)
        self.assertEqual(self.s.logs(999), [])

    def test_settings_show_in_the_job_list(self):
        job = self.s.add_job("x", "@daily", "true")
        with tempfile.TemporaryDirectory() as d:
            self.s.set_paths(job, workdir=d, env={"A": "1", "B": "two words"})
            self.s.set_timeout(job, 30)
            self.s.set_overlap_policy(job, qc.Overlap.QUEUE)
            j = self.s.job(job)
            self.assertEqual((j["workdir"], j["env"], j["envSet"]), (d, "A=1\nB=two words", True))
            self.assertEqual((j["max_runtime_sec"], j["overlap_policy"]), (30, 1))
        self.s.set_paths(job)
        j = self.s.job(job)
        self.assertEqual((j["workdir"], j["env"], j["envSet"]), ("", "", False))

    def test_table_full(self):
        for i in range(qc.MAX_JOBS):
            self.s.add_job("j%d" % i, "@daily", "true")
        with self.assertRaisesRegex(qc.CrontabError, "full"):
            self.s.add_job("one more", "@daily", "true")


class RunTest(unittest.TestCase):
    def setUp(self):
        self.s = qc.Scheduler()
        self.addCleanup(self.s.close)

    def test_run_now_records_exit_code_and_both_streams(self):
        job = self.s.add_job("x", "@daily", "echo out; echo err >&2; exit 3", enabled=False)
        self.s.run_now(job)
        (record,) = self.s.logs(job)
        self.assertEqual((record["stdout"], record["stderr"], record["exit_code"]), ("out\n", "err\n", 3))
        self.assertEqual((record["attempt"], record["cancelled"], record["truncated"]), (1, False, False))
        self.assertGreater(self.s.job(job)["last_run"], 0)

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


if __name__ == "__main__":
    unittest.main()
