"""Scheduler.stats(): the library's counters as dataclasses."""

import tempfile
import unittest

import quilmarn_crontab as qc


class StatsTest(unittest.TestCase):
    def test_counters_follow_the_runs(self):
        with tempfile.TemporaryDirectory() as d, qc.Scheduler(d) as s:
            ok = s.add_job("ok", "@every 1h", "true", enabled=False)
            bad = s.add_job("bad", "@every 1h", "exit 2")
            s.set_retry(bad, 1, 0)
            for _ in range(2):
                s.run_now(ok)
            s.run_now(bad)
            stats = s.stats()
            self.assertIsInstance(stats, qc.Stats)
            self.assertEqual(stats.active_runs, 0)
            self.assertEqual(len(stats.duration_bounds_sec) + 1, len(stats.job(ok).duration_counts))
            j = stats.job(ok)
            self.assertIsInstance(j, qc.JobStats)
            self.assertEqual((j.executions, j.succeeded, j.attempts, j.next_run), (2, 2, 2, 0))
            self.assertGreater(j.last_success_ms, 0)
            b = stats.job(bad)
            self.assertEqual((b.executions, b.failed, b.attempts, b.retries), (1, 1, 2, 1))
            self.assertGreater(b.next_run, 0)
            self.assertIsNone(stats.job(999))


if __name__ == "__main__":
    unittest.main()
