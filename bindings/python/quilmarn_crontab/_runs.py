"""Runs by hand: run_now, its asyncio form, and finding the execution a call
carried out."""

from __future__ import annotations

import asyncio
import json
import threading
import time
from typing import Any, Callable

from . import _args, _native
from ._errors import error_for
from ._feed import BATCH
from ._limits import LOG_CAPACITY
from ._records import Execution, RunRecord

# How long run_now keeps cancelling after Ctrl-C before it raises anyway.
_CANCEL_WAIT = 0.8


class _Runs:
    # Scheduler provides these, _acquire, _release and the feed's _read_batch.
    _lib: Any
    _admit_lock: threading.Lock

    def run_now(self, job_id: int) -> Execution:
        """Runs the job, with its retries, and returns when the run has ended
        (whatever its exit code) with the Execution: its id and its run
        records. Ctrl-C (KeyboardInterrupt) cancels the run and is raised at
        once. Raises RunRefusedError when the job already runs and its policy
        is not ALLOW, or when MAX_ACTIVE runs are in progress."""
        return self._execute(_args.integer(job_id, "job_id"), None)

    async def run_now_async(self, job_id: int) -> Execution:
        """run_now for asyncio: the run goes on a thread of its own while the
        loop goes on. Cancelling the awaiting task cancels the run (under
        ALLOW: the job's latest run, as cancel() does) and raises
        CancelledError once the run has ended."""
        jid = _args.integer(job_id, "job_id")
        loop = asyncio.get_running_loop()
        future: asyncio.Future[Execution] = loop.create_future()
        stop = threading.Event()

        def settle(set_outcome: Callable[[Any], None], outcome: Any) -> None:
            if not future.done():
                set_outcome(outcome)

        def work() -> None:
            try:
                done = (future.set_result, self._execute(jid, stop))
            except BaseException as e:  # handed to the awaiting task
                done = (future.set_exception, e)
            try:
                loop.call_soon_threadsafe(settle, *done)
            except RuntimeError:
                pass  # the loop is closed: nobody awaits

        # Not the loop's executor: a run may last hours, and the executor's
        # few threads also serve the loop's name lookups.
        threading.Thread(target=work, name="quilmarn-crontab run %d" % jid).start()
        try:
            return await asyncio.shield(future)
        except asyncio.CancelledError:
            stop.set()
            await asyncio.wait([future])  # the run's end; a second cancel stops waiting
            if not future.cancelled():
                future.exception()  # retrieved: the cancel is what the caller sees
            raise

    def _execute(self, jid: int, stop: threading.Event | None) -> Execution:
        """Runs the job on a helper thread while this one waits in short
        slices, so that it sees KeyboardInterrupt, or `stop`, while the
        command runs. (An Event, not Thread.join: a join interrupted by
        KeyboardInterrupt may take the thread for ended.)"""
        lib = self._lib
        handle = self._acquire()
        failure: list[tuple[int, int, str]] = []
        done = threading.Event()

        def work() -> None:
            try:
                if lib.crontab_run_now(handle, jid) != 0:
                    failure.append(_native.last_failure(lib))  # per thread: read here
            finally:
                done.set()

        helper = threading.Thread(target=work, name="quilmarn-crontab run %d" % jid)
        releases: list[Callable[[], None]] = [self._release]
        try:
            self._admit_lock.acquire()
            releases.append(self._admit_lock.release)
            after = lib.crontab_get_last_event_seq(handle)
            helper.start()
            try:
                execution = self._admitted(handle, jid, after, done)
                releases.pop()()
                while not done.wait(0.1):
                    if stop is not None and stop.is_set():
                        self._cancel_until(handle, jid, done, None)
            except KeyboardInterrupt:
                if self._cancel_run(handle, jid, done, releases):
                    releases = []
                raise
            if failure:
                raise error_for(*failure[0])
            # Before the release: close() may be waiting to destroy the instance.
            return Execution(execution, jid, self._records_of(handle, jid, execution))
        finally:
            for release in reversed(releases):
                release()

    def _admitted(self, handle: Any, jid: int, after: int, done: threading.Event) -> int | None:
        """The id of the execution the helper's crontab_run_now admitted,
        from its "admitted" event; None when the call admitted nothing.
        Calls of this object admit one at a time (_admit_lock), and the
        scheduler admits none by hand, so the first admission by hand of the
        job after `after` is this call's."""
        cursor = after
        while True:
            # Looked at before the read: an admission before the call
            # returned is in the feed by then.
            returned = done.is_set()
            batch = self._read_batch(handle, cursor)
            for raw in batch:
                cursor = raw["seq"]
                if (raw.get("kind"), raw.get("trigger"), raw.get("job_id")) == ("admitted", "hand", jid):
                    return int(raw["execution"])
            if len(batch) == BATCH:
                continue
            if returned:
                return None  # refused, or over EVENT_CAPACITY events came first
            self._lib.crontab_wait_events(handle, cursor, 20)

    def _records_of(self, handle: Any, jid: int, execution: int | None) -> tuple[RunRecord, ...]:
        if execution is None:
            return ()
        text = _native.take_text(self._lib, self._lib.crontab_copy_job_logs_json(handle, jid, LOG_CAPACITY))
        records = [RunRecord.from_json(raw) for raw in json.loads(text) if raw.get("execution") == execution]
        return tuple(sorted(records, key=lambda r: r.attempt))

    def _cancel_until(self, handle: Any, jid: int, done: threading.Event, deadline: float | None) -> None:
        # Again and again: a cancel may come before the run has its child.
        while not done.is_set() and (deadline is None or time.monotonic() < deadline):
            self._lib.crontab_cancel_job(handle, jid)
            done.wait(0.05)

    def _cancel_run(self, handle: Any, jid: int, done: threading.Event,
                    releases: list[Callable[[], None]]) -> bool:
        """Cancels the run until it has ended; True when that is left to a
        background thread, which then calls `releases`."""
        try:
            self._cancel_until(handle, jid, done, time.monotonic() + _CANCEL_WAIT)
        except KeyboardInterrupt:
            pass  # a second Ctrl-C: raise at once, the background goes on
        if done.is_set():
            return False

        def finish() -> None:
            try:
                self._cancel_until(handle, jid, done, None)
            finally:
                for release in reversed(releases):
                    release()

        threading.Thread(target=finish, daemon=True, name="quilmarn-crontab cancel %d" % jid).start()
        return True
