"""The event feed, blocking and under asyncio, and the execution run_now returns."""

import asyncio
import os
import tempfile
import threading
import time
import unittest
from datetime import timezone

import quilmarn_crontab as qc

DEADLINE = 30.0  # generous: machines are shared and sanitizer builds are slow


class FeedTest(unittest.TestCase):
    def setUp(self):
        self.s = qc.Scheduler()
        self.addCleanup(self.s.close)

    def test_a_run_is_told_admitted_started_finished_ended(self):
        job = self.s.add_job("x", "@daily", "echo out; exit 4")
        feed = self.s.events(timeout=DEADLINE)  # from now on: not the job's "added"
        execution = self.s.run_now(job)
        events = []
        for event in feed:
            events.append(event)
            if event.kind is qc.EventKind.ENDED:
                break
        self.assertEqual([(e.seq, e.kind) for e in events], [
            (2, qc.EventKind.ADMITTED), (3, qc.EventKind.STARTED), (4, qc.EventKind.FINISHED),
            (5, qc.EventKind.ENDED)])
        admitted, started, finished, ended = events
        self.assertEqual({e.execution for e in events}, {execution.id})
        self.assertEqual((admitted.trigger, started.attempt, started.job_name), ("hand", 1, "x"))
        self.assertEqual(finished.record, execution.record)
        self.assertEqual((finished.record.stdout, finished.record.exit_code), ("out\n", 4))
        self.assertEqual((ended.outcome, ended.attempts, ended.exit_code), (qc.Outcome.FAILED, 1, 4))
        self.assertEqual(ended.time.tzinfo, timezone.utc)
        self.assertLessEqual(abs(ended.time.timestamp() - time.time()), DEADLINE)
        # What this binding does not know yet is kept, not refused.
        later = qc.Event.from_json({"seq": 9, "time_ms": 1500, "kind": "paused", "job_id": 1, "why": "x"})
        self.assertEqual((later.kind, later["why"], later.time.microsecond), ("paused", "x", 500000))

    def test_run_now_returns_its_own_records_while_another_run_overlaps(self):
        with tempfile.TemporaryDirectory() as d:
            # Each run waits until both have begun, so they overlap for sure.
            job = self.s.add_job("both", "@daily", "touch '%s'/$$; until [ $(ls '%s' | wc -l) -ge 2 ];"
                                 " do sleep 0.05; done; echo $$" % (d, d))
            self.s.set_overlap_policy(job, "allow")
            self.s.set_timeout(job, int(DEADLINE))
            results = []
            runners = [threading.Thread(target=lambda: results.append(self.s.run_now(job)))
                       for _ in range(2)]
            for r in runners:
                r.start()
            for r in runners:
                r.join(DEADLINE * 2)
        self.assertEqual(len(results), 2)
        self.assertNotEqual(results[0].id, results[1].id)
        pids = {e.execution: e.pid for e in self.s.events(after=0, timeout=0) if e.kind is qc.EventKind.STARTED}
        for execution in results:
            (record,) = execution.records
            self.assertEqual((record.execution, record.exit_code), (execution.id, 0))
            self.assertEqual(record.stdout, "%d\n" % pids[execution.id])


class AsyncFeedTest(unittest.TestCase):
    def test_the_loop_goes_on_while_a_run_goes_on_and_a_cancelled_task_cancels_the_run(self):
        async def scenario():
            s = qc.Scheduler()
            ticks = []

            async def heartbeat():
                while True:
                    ticks.append(time.monotonic())
                    await asyncio.sleep(0.05)

            beat = asyncio.ensure_future(heartbeat())
            job = s.add_job("slow", "@daily", "sleep 60")
            feed = s.aevents()
            run = asyncio.ensure_future(s.run_now_async(job))
            kinds = []
            async for event in feed:
                kinds.append(event.kind)
                if event.kind is qc.EventKind.STARTED:
                    beats = len(ticks)
                    while len(ticks) < beats + 5:
                        await asyncio.sleep(0.05)
                    run.cancel()
                if event.kind is qc.EventKind.ENDED:
                    outcome = event.outcome
                    break
            with self.assertRaises(asyncio.CancelledError):
                await run
            # A reader waiting on the descriptor ends when the scheduler closes.
            waiting = asyncio.ensure_future(self._drain(s.aevents()))
            await asyncio.sleep(0.1)
            s.close()
            await asyncio.wait_for(waiting, DEADLINE)
            beat.cancel()
            return kinds, outcome, ticks

        kinds, outcome, ticks = asyncio.run(asyncio.wait_for(scenario(), DEADLINE * 2))
        self.assertEqual(kinds, [qc.EventKind.ADMITTED, qc.EventKind.STARTED, qc.EventKind.CANCELLED,
                                 qc.EventKind.FINISHED, qc.EventKind.ENDED])
        self.assertIs(outcome, qc.Outcome.CANCELLED)
        gaps = [b - a for a, b in zip(ticks, ticks[1:])]
        self.assertLess(max(gaps), 1.0)

    def test_a_read_elsewhere_does_not_leave_a_waiting_reader_asleep(self):
        async def scenario():
            with qc.Scheduler() as s:
                first = asyncio.ensure_future(s.aevents().__anext__())
                await asyncio.sleep(0.1)  # it waits on the descriptor
                s.add_job("x", "@daily", "true")
                # Before the loop looks again, another reader reads the event,
                # which leaves the descriptor no longer readable.
                self.assertEqual([e.kind for e in s.events(after=0, timeout=0)], [qc.EventKind.ADDED])
                return await asyncio.wait_for(first, 10)

        self.assertIs(asyncio.run(scenario()).kind, qc.EventKind.ADDED)

    @staticmethod
    async def _drain(feed):
        async for _ in feed:
            pass


if __name__ == "__main__":
    unittest.main()
