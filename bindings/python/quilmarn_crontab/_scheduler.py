"""The Scheduler class: one instance of the library's scheduler."""

from __future__ import annotations

import ctypes
import json
import os
import sys
import threading
import time
import warnings
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from typing import Any, Callable, NoReturn

from . import _args, _native
from ._errors import (CrontabError, JobNotFoundError, Overlap, RunRefusedError, SettingError,
                      StoreError)
from ._records import Job, RunRecord

# The library's result codes besides CRONTAB_ERROR (-1).
_ERROR_SETTING = -2
_ERROR_STORE = -3

LOG_CAPACITY = 20   # run records kept per job
# How long run_now keeps cancelling after Ctrl-C before it raises anyway.
_CANCEL_WAIT = 0.8


def _fail(lib: ctypes.CDLL, result: int, job_id: int | None = None,
          refused: type[CrontabError] = SettingError) -> NoReturn:
    """Raises the exception for a failed call, with the library's sentence.
    `refused` is the class for a -1 that is not about the id."""
    message = _native.last_error(lib)
    if result == _ERROR_STORE:
        raise StoreError(message or "the job store could not be saved")
    if result == _ERROR_SETTING:
        raise SettingError(message or "setting rejected")
    if job_id is not None and message.startswith("no job with id"):
        raise JobNotFoundError(job_id, message)
    raise refused(message or "the call failed (result %d)" % result)


class Scheduler:
    """One scheduler instance. `data_dir` holds crontab.json, the job store
    (None: jobs live in memory only). Use it as a context manager, or call
    close(). Every method may be called from any thread; close() waits for
    calls in progress on other threads (run_now included) to return.

    Raises StoreError when the library cannot use data_dir: it cannot be
    created or written, its crontab.json cannot be read as a whole, or
    another instance or process has it open.

    A Scheduler dropped without close() is closed on a background thread
    (with a ResourceWarning), so the collecting thread never waits for runs.

    The instance belongs to the process that created it: in a child forked
    from it every method raises RuntimeError, and close() only lets go of
    the handle (the parent's scheduler goes on).
    """

    def __init__(self, data_dir: _args.PathLike | None = None) -> None:
        _lib = self._lib = _native.library()
        self._cv = threading.Condition()
        self._users = 0
        self._handle: Any = None
        # Both reports share one buffer in the instance: a report's text is
        # copied before another thread may ask for the next one.
        self._report_lock = threading.Lock()
        self._pid = os.getpid()
        handle = _lib.crontab_create(_args.optional_path(data_dir, "data_dir"))
        if not handle:
            raise StoreError(_native.last_error(_lib) or "the scheduler could not be created in %r"
                             % (data_dir,))
        self._handle = handle

    def __enter__(self) -> "Scheduler":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        handle = getattr(self, "_handle", None)
        if not handle:
            return
        self._handle = None
        if self._pid != os.getpid():
            return  # the parent's instance
        if sys.is_finalizing():
            # At exit no thread can be started, and nothing else waits.
            self._lib.crontab_destroy(handle)
            return
        warnings.warn("Scheduler %r was not closed" % handle, ResourceWarning, source=self)
        # crontab_destroy waits for runs in progress (up to 60 s): never on
        # the thread that happens to collect this object.
        threading.Thread(target=self._lib.crontab_destroy, args=(handle,),
                         name="quilmarn-crontab destroy").start()

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Stops the scheduler, waits for runs in progress (up to 60 s, then
        cancels them) and frees the instance. Ctrl-C while it waits for calls
        on other threads (run_now) is raised at once; those runs are then
        cancelled and the instance freed on a background thread as soon as
        they have returned, so the data directory is released all the same.
        In a forked child it only lets go of the handle."""
        if self._pid != os.getpid():
            # The parent's threads and locks are not here: a wait could
            # never end, and the instance is the parent's to destroy.
            self._handle = None
            return
        with self._cv:
            if self._handle is None:
                return
            handle, self._handle = self._handle, None
        idle = False
        try:
            with self._cv:
                while self._users:
                    self._cv.wait()
            idle = True
        finally:
            if idle:
                self._lib.crontab_destroy(handle)
            else:
                threading.Thread(target=self._destroy_when_idle, args=(handle,),
                                 name="quilmarn-crontab close").start()

    def _destroy_when_idle(self, handle: Any) -> None:
        """Cancels the runs of the calls still inside the library until they
        have returned, then destroys the instance."""
        with self._cv:
            while self._users:
                with self._report_lock:
                    text = self._lib.crontab_get_jobs_json(handle)
                for job in json.loads(text.decode("utf-8")):
                    if job.get("running"):
                        self._lib.crontab_cancel_job(handle, job["id"])
                self._cv.wait(0.2)
        self._lib.crontab_destroy(handle)

    def _acquire(self) -> Any:
        # Keeps the instance alive while a call is inside the library.
        if self._pid != os.getpid():
            raise RuntimeError("this scheduler belongs to process %d; a forked child cannot use it"
                               % self._pid)
        with self._cv:
            if self._handle is None:
                raise ValueError("the scheduler is closed")
            self._users += 1
            return self._handle

    def _release(self) -> None:
        with self._cv:
            self._users -= 1
            if self._users == 0:
                self._cv.notify_all()

    @contextmanager
    def _use(self) -> Iterator[Any]:
        handle = self._acquire()
        try:
            yield handle
        finally:
            self._release()

    def _call(self, fn: Callable[..., int], *args: Any) -> int:
        with self._use() as handle:
            return fn(handle, *args)

    def _job_call(self, job_id: int, fn: Callable[..., int], *args: Any,
                  refused: type[CrontabError] = SettingError) -> int:
        result = self._call(fn, job_id, *args)
        if result < 0:
            _fail(self._lib, result, job_id, refused)
        return result

    # -- jobs --

    def add_job(self, name: str, expr: str, cmd: str, enabled: bool = True) -> int:
        """Adds a job and returns its id. The name is cut to 127 bytes. An
        expression that does not parse raises ExpressionError; one over 127
        bytes, a command over 1023 bytes or a full table raise CrontabError,
        a change that could not be saved StoreError."""
        # An expression is checked first, so that its fault is an ExpressionError.
        args = (_args.text(name, "name"), _args.expression(self._lib, expr), _args.text(cmd, "cmd"),
                1 if enabled else 0)
        job_id = self._call(self._lib.crontab_add_job, *args)
        if job_id < 0:
            _fail(self._lib, job_id, refused=CrontabError)
        return job_id

    def update_job(self, job_id: int, name: str, expr: str, cmd: str, enabled: bool = True) -> None:
        """Replaces name, expression, command and enabled flag; keeps the
        job's settings and run records."""
        jid = _args.integer(job_id, "job_id")
        args = (_args.text(name, "name"), _args.expression(self._lib, expr), _args.text(cmd, "cmd"),
                1 if enabled else 0)
        self._job_call(jid, self._lib.crontab_update_job, *args, refused=CrontabError)

    def delete_job(self, job_id: int) -> None:
        """Deletes the job; a command it is running goes on to its end."""
        self._job_call(_args.integer(job_id, "job_id"), self._lib.crontab_delete_job)

    def set_timeout(self, job_id: int, seconds: int) -> None:
        """Run-time limit of each attempt; 0 (or less) for none."""
        jid = _args.integer(job_id, "job_id")
        self._job_call(jid, self._lib.crontab_set_job_timeout, _args.integer(seconds, "seconds"))

    def set_paths(self, job_id: int, workdir: _args.PathLike | None = None,
                  env: Mapping[str, object] | str | None = None) -> None:
        """Working directory (None: the host's) and environment variables for
        the job's commands, as a mapping or as NAME=VALUE lines. Both are
        replaced: None clears."""
        jid = _args.integer(job_id, "job_id")
        self._job_call(jid, self._lib.crontab_set_job_paths, _args.optional_path(workdir, "workdir"),
                       _args.env_text(env))

    def set_overlap_policy(self, job_id: int, policy: Overlap | int | str) -> None:
        """Overlap.SKIP, QUEUE or ALLOW, or its name ("queue")."""
        jid = _args.integer(job_id, "job_id")
        value = _args.integer(Overlap.of(policy), "policy")
        self._job_call(jid, self._lib.crontab_set_job_overlap_policy, value)

    def set_retry(self, job_id: int, retry_max: int, backoff_sec: int = 0) -> None:
        """Up to retry_max (0..10) further attempts after a failed one, each
        after a pause of backoff_sec (0..3600)."""
        jid = _args.integer(job_id, "job_id")
        self._job_call(jid, self._lib.crontab_set_job_retry, _args.integer(retry_max, "retry_max"),
                       _args.integer(backoff_sec, "backoff_sec"))

    def set_user(self, job_id: int, user: str | None) -> None:
        """The user account the job's commands run as ("www-data"); None or
        "" for the host's own. A host that is not root may name only its own
        account; an account that does not exist raises SettingError."""
        jid = _args.integer(job_id, "job_id")
        self._job_call(jid, self._lib.crontab_set_job_user, None if user is None else _args.text(user, "user"))

    # -- scheduler --

    def start(self) -> None:
        """Starts the scheduler thread: enabled jobs run when they come due."""
        result = self._call(self._lib.crontab_start)
        if result != 0:
            _fail(self._lib, result, refused=CrontabError)

    def stop(self) -> None:
        """Stops the scheduler thread; runs in progress go on."""
        self._call(self._lib.crontab_stop)

    @property
    def running(self) -> bool:
        """True while the scheduler thread runs."""
        return self._call(self._lib.crontab_is_running) == 1

    # -- runs --

    def run_now(self, job_id: int) -> None:
        """Runs the job, with its retries, and returns when the run has ended
        (whatever its exit code: see logs()). Ctrl-C (KeyboardInterrupt)
        cancels the run and is raised at once. Raises RunRefusedError when
        the job already runs and its policy is not ALLOW, or when MAX_ACTIVE
        runs are in progress."""
        jid = _args.integer(job_id, "job_id")
        handle = self._acquire()
        outcome: list[tuple[int, str]] = []
        done = threading.Event()

        def work() -> None:
            try:
                result = self._lib.crontab_run_now(handle, jid)
                # The sentence is per thread: read it on the thread that failed.
                outcome.append((result, _native.last_error(self._lib) if result else ""))
            finally:
                done.set()

        # The run goes on a helper thread so that this one, waiting in short
        # slices, sees KeyboardInterrupt while the command runs. (An Event,
        # not Thread.join: a join interrupted by KeyboardInterrupt may take
        # the thread for ended.)
        helper = threading.Thread(target=work, name="quilmarn-crontab run %d" % jid)
        handed_off = False
        try:
            helper.start()
            try:
                while not done.wait(0.1):
                    pass
            except KeyboardInterrupt:
                handed_off = self._cancel_run(handle, jid, done)
                raise
        finally:
            if not handed_off:
                self._release()
        result, message = outcome[0]
        if result != 0:
            if message.startswith("no job with id"):
                raise JobNotFoundError(jid, message)
            raise RunRefusedError(message or "job %d was not run" % jid)

    def _cancel_run(self, handle: Any, job_id: int, done: threading.Event) -> bool:
        """Cancels the run until it has ended (a cancel may come before the
        run has begun); True when that is left to a background thread, which
        then releases the instance."""
        deadline = time.monotonic() + _CANCEL_WAIT
        try:
            while not done.is_set() and time.monotonic() < deadline:
                self._lib.crontab_cancel_job(handle, job_id)
                done.wait(0.05)
        except KeyboardInterrupt:
            pass  # a second Ctrl-C: raise at once, the background goes on
        if done.is_set():
            return False

        def finish() -> None:
            try:
                while not done.is_set():
                    self._lib.crontab_cancel_job(handle, job_id)
                    done.wait(0.2)
            finally:
                self._release()

        threading.Thread(target=finish, daemon=True, name="quilmarn-crontab cancel %d" % job_id).start()
        return True

    def cancel(self, job_id: int) -> bool:
        """Cancels the job's run in progress. True when a child process was
        terminated, False when none existed at that moment."""
        return self._job_call(_args.integer(job_id, "job_id"), self._lib.crontab_cancel_job) == 0

    # -- reports --

    def _report(self, fn: Callable[..., bytes], *args: Any) -> list[dict[str, Any]]:
        with self._use() as handle, self._report_lock:
            text = fn(handle, *args)
        return json.loads(text.decode("utf-8"))

    def jobs(self) -> list[Job]:
        """The job table, one Job per job, in table order."""
        return [Job.from_json(raw) for raw in self._report(self._lib.crontab_get_jobs_json)]

    def job(self, job_id: int) -> Job:
        """One job of the job table."""
        jid = _args.integer(job_id, "job_id")
        for job in self.jobs():
            if job.id == jid:
                return job
        raise JobNotFoundError(jid)

    def logs(self, job_id: int, limit: int = LOG_CAPACITY) -> list[RunRecord]:
        """The newest `limit` (1..20) run records of a job, newest first; []
        for a job without records or an unknown id."""
        records = self._report(self._lib.crontab_get_job_logs_json, _args.integer(job_id, "job_id"),
                               _args.integer(limit, "limit"))
        return [RunRecord.from_json(raw) for raw in records]
