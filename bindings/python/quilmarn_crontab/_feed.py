"""The event feed of a Scheduler: a blocking iterator and an asyncio one."""

from __future__ import annotations

import asyncio
import json
import os
import threading
import time
from collections.abc import AsyncIterator, Iterator
from typing import Any, Callable

from . import _args, _native
from ._events import Event

BATCH = 256   # events asked for per read
# The longest wait inside the library at a time: close() waits for it to
# return, and Ctrl-C is seen only between foreign calls.
_SLICE = 0.25


class _Feed:
    """Reads the scheduler's events. Every read of the instance's events
    moves the mark its descriptor is readable against, so a read on one
    thread can leave another reader's descriptor quiet while that reader
    still has events to read: every reader of this object registers a wake
    here, which each read with events calls for the others."""

    # Scheduler provides these, and _acquire, _acquire_open and _release.
    _lib: Any
    _cv: threading.Condition
    _wakers: dict[object, Callable[[], None]]

    def events(self, after: int | None = None,
               timeout: float | _args.DurationLike | None = None) -> Iterator[Event]:
        """The events numbered after `after` as they happen, oldest first.
        after=None begins with the events after this call, 0 with the oldest
        the scheduler still keeps; pass the seq of the last event you handled
        to go on from there. The iterator ends when no event came for
        `timeout` seconds (a number or a timedelta; None: never, 0: once the
        events there are read) or when the scheduler is closed. It waits in
        the library with the GIL released; any thread may iterate."""
        cursor = self._first_seq(after)
        return self._event_iter(cursor, _args.wait_seconds(timeout, "timeout"))

    def aevents(self, after: int | None = None,
                timeout: float | _args.DurationLike | None = None) -> AsyncIterator[Event]:
        """events() for asyncio: `async for event in scheduler.aevents():`.
        It waits on the scheduler's descriptor in the running loop
        (loop.add_reader), so the loop goes on meanwhile; where the platform
        or the loop has no descriptor it waits on a thread instead. Leaving the
        loop early, close the iterator (contextlib.aclosing) to let go of its
        descriptor at once."""
        cursor = self._first_seq(after)
        return self._aevent_iter(cursor, _args.wait_seconds(timeout, "timeout"))

    def _first_seq(self, after: int | None) -> int:
        if after is not None:
            return _args.integer(after, "after", _args.UINT64_RANGE)
        handle = self._acquire()
        try:
            return int(self._lib.crontab_get_last_event_seq(handle))
        finally:
            self._release()

    def _read_batch(self, handle: Any, after: int, reader: object = None) -> list[dict[str, Any]]:
        """Up to BATCH events after `after`, as parsed JSON."""
        text = _native.take_text(self._lib, self._lib.crontab_read_events_json(handle, after, BATCH))
        batch: list[dict[str, Any]] = json.loads(text)
        if batch:
            self._wake_readers(reader)
        return batch

    def _wake_readers(self, but: object = None) -> None:
        with self._cv:
            wakes = [wake for reader, wake in self._wakers.items() if reader is not but]
        for wake in wakes:
            wake()

    def _feed_call(self, fn: Callable[..., Any], *args: Any) -> Any:
        """fn(handle, *args), or None once the scheduler is closed."""
        handle = self._acquire_open()
        if handle is None:
            return None
        try:
            return fn(handle, *args)
        finally:
            self._release()

    def _wait(self, handle: Any, after: int, seconds: float) -> bool:
        return self._lib.crontab_wait_events(handle, after, int(seconds * 1000)) == 1

    def _event_iter(self, cursor: int, idle: float | None) -> Iterator[Event]:
        deadline = None if idle is None else time.monotonic() + idle
        while True:
            batch = self._feed_call(self._read_batch, cursor)
            if batch is None:
                return
            for raw in batch:
                cursor = raw["seq"]
                yield Event.from_json(raw)
            if len(batch) == BATCH:
                continue
            if batch and idle is not None:
                deadline = time.monotonic() + idle
            while True:
                left = _SLICE if deadline is None else max(0.0, min(_SLICE, deadline - time.monotonic()))
                found = self._feed_call(self._wait, cursor, left)
                if found is None:
                    return
                if found:
                    break
                if deadline is not None and time.monotonic() >= deadline:
                    return

    def _events_fd(self) -> int:
        """A duplicate of the scheduler's event descriptor, or -1 where the
        platform has none. The duplicate is this reader's: close() closes the
        scheduler's own, maybe while a loop still watches this one."""
        fd = self._feed_call(lambda handle: self._lib.crontab_get_events_fd(handle))
        if fd is None:
            raise ValueError("the scheduler is closed")
        return os.dup(fd) if fd >= 0 else -1

    async def _aevent_iter(self, cursor: int, idle: float | None) -> AsyncIterator[Event]:
        loop = asyncio.get_running_loop()
        ready = asyncio.Event()
        token = object()
        fd = self._events_fd()
        armed = False

        def wake() -> None:  # any thread
            try:
                loop.call_soon_threadsafe(ready.set)
            except RuntimeError:
                pass  # the loop is closed: nobody waits

        def readable() -> None:
            nonlocal armed
            # Once: level-triggered, it would fire until a read clears it.
            loop.remove_reader(fd)
            armed = False
            ready.set()

        with self._cv:
            self._wakers[token] = wake
        try:
            deadline = None if idle is None else loop.time() + idle
            while True:
                batch = self._feed_call(self._read_batch, cursor, token)
                if batch is None:
                    return
                for raw in batch:
                    cursor = raw["seq"]
                    yield Event.from_json(raw)
                if len(batch) == BATCH:
                    continue
                if batch and idle is not None:
                    deadline = loop.time() + idle
                # Cleared before the look: a wake from now on is kept.
                ready.clear()
                last = self._feed_call(lambda handle: int(self._lib.crontab_get_last_event_seq(handle)))
                if last is None:
                    return
                if last > cursor:
                    continue
                left = None if deadline is None else max(0.0, deadline - loop.time())
                if fd < 0:
                    wait = _SLICE if left is None else min(_SLICE, left)
                    found = await loop.run_in_executor(None, self._feed_call, self._wait, cursor, wait)
                    if found is None or (not found and left is not None and left <= wait):
                        return
                    continue
                if not armed:
                    try:
                        loop.add_reader(fd, readable)
                    except NotImplementedError:  # a loop that watches no descriptors
                        os.close(fd)
                        fd = -1
                        continue
                    armed = True
                try:
                    await asyncio.wait_for(ready.wait(), left)
                except asyncio.TimeoutError:
                    return
        finally:
            with self._cv:
                self._wakers.pop(token, None)
            # Off the loop before it is closed: epoll keeps watching a
            # closed duplicate while the scheduler's descriptor lives.
            if armed:
                loop.remove_reader(fd)
            if fd >= 0:
                os.close(fd)
