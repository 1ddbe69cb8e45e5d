"""The Scheduler class: one instance of the library's scheduler."""

from __future__ import annotations

import ctypes
import json
import os
import sys
import threading
import warnings
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from typing import Any, Callable, NoReturn

from . import _args, _native
from ._errors import AmbiguousJobNameError, JobNotFoundError, Overlap, error_for
from ._feed import _Feed
from ._limits import LOG_CAPACITY
from ._records import Job, RunRecord
from ._runs import _Runs
from ._stats import Stats


def _fail(lib: ctypes.CDLL, expression: str = "") -> NoReturn:
    """Raises the exception for the calling thread's last failure: its class
    from the library's code, its text the library's sentence."""
    raise error_for(*_native.last_failure(lib), expression=expression)


class Scheduler(_Runs, _Feed):
    """One scheduler instance. `data_dir` holds crontab.json, the job store
    (None: jobs live in memory only). Use it as a context manager, or call
    close(). Every method may be called from any thread; close() waits for
    calls in progress on other threads (run_now included) to return.

    Raises StoreError when the library cannot use data_dir: it cannot be
    created or written, or its crontab.json cannot be read as a whole; its
    subclass DirectoryInUseError (with the owner's pid) when another
    instance or process has it open.

    A Scheduler dropped without close() is closed on a background thread
    (with a ResourceWarning), so the collecting thread never waits for runs.

    The instance belongs to the process that created it: in a child forked
    from it every method raises RuntimeError, and close() only lets go of
    the handle (the parent's scheduler goes on).
    """

    def __init__(self, data_dir: _args.PathLike | None = None, *, cluster: str | None = None,
                 node: str | None = None, cluster_unreachable: str = "skip") -> None:
        _lib = self._lib = _native.library()
        self._cv = threading.Condition()
        self._users = 0
        self._handle: Any = None
        self._wakers: dict[object, Callable[[], None]] = {}
        self._admit_lock = threading.Lock()
        self._pid = os.getpid()
        handle = _lib.crontab_create(_args.optional_path(data_dir, "data_dir"))
        if not handle:
            _fail(_lib)
        self._handle = handle
        if cluster is not None:
            self._join(cluster, node, cluster_unreachable)

    def _join(self, cluster: str, node: str | None, unreachable: str) -> None:
        # Several instances on one PostgreSQL database run each scheduled
        # fire time once (libpq5 needed); a failure closes the new instance.
        policies = {"skip": 0, "run": 1}
        if unreachable not in policies:
            self.close()
            raise ValueError("cluster_unreachable must be 'skip' or 'run', not %r" % (unreachable,))
        args = (_args.text(cluster, "cluster"), None if node is None else _args.text(node, "node"))
        if self._lib.crontab_join_cluster(self._handle, *args, policies[unreachable]) != 0:
            failure = _native.last_failure(self._lib)
            self.close()
            raise error_for(*failure)

    def cluster(self) -> dict[str, Any] | None:
        """The cluster joined: {"node", "reachable" (None before the first
        statement), "when_unreachable", "error"}; None when none is."""
        with self._use() as handle:
            state = json.loads(_native.take_text(self._lib, self._lib.crontab_copy_cluster_json(handle)))
        if not state.pop("joined"):
            return None
        return state

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
        self._wake_readers()  # asyncio readers end
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
                text = _native.take_text(self._lib, self._lib.crontab_copy_jobs_json(handle))
                for job in json.loads(text):
                    if job.get("running"):
                        self._lib.crontab_cancel_job(handle, job["id"])
                self._cv.wait(0.2)
        self._lib.crontab_destroy(handle)

    def _acquire(self) -> Any:
        # Keeps the instance alive while a call is inside the library.
        handle = self._acquire_open()
        if handle is None:
            raise ValueError("the scheduler is closed")
        return handle

    def _acquire_open(self) -> Any:
        """_acquire, or None when the scheduler is closed."""
        if self._pid != os.getpid():
            raise RuntimeError("this scheduler belongs to process %d; a forked child cannot use it"
                               % self._pid)
        with self._cv:
            if self._handle is None:
                return None
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

    def _job_call(self, job_id: int, fn: Callable[..., int], *args: Any, expression: str = "") -> int:
        result = self._call(fn, job_id, *args)
        if result < 0:
            _fail(self._lib, expression)
        return result

    # -- jobs --

    def add_job(self, name: str, expr: str, cmd: str, enabled: bool = True) -> int:
        """Adds a job and returns its id. The name is cut to NAME_MAX bytes.
        An expression that does not parse or is over EXPR_MAX bytes raises
        ExpressionError, a command over CMD_MAX bytes SettingError, a full
        table TableFullError, a change that could not be saved StoreError."""
        args = (_args.text(name, "name"), _args.text(expr, "expr"), _args.text(cmd, "cmd"),
                1 if enabled else 0)
        job_id = self._call(self._lib.crontab_add_job, *args)
        if job_id < 0:
            _fail(self._lib, expr)
        return job_id

    def update_job(self, job_id: int, name: str, expr: str, cmd: str, enabled: bool = True) -> None:
        """Replaces name, expression, command and enabled flag; keeps the
        job's settings and run records."""
        jid = _args.integer(job_id, "job_id")
        args = (_args.text(name, "name"), _args.text(expr, "expr"), _args.text(cmd, "cmd"),
                1 if enabled else 0)
        self._job_call(jid, self._lib.crontab_update_job, *args, expression=expr)

    def delete_job(self, job_id: int) -> None:
        """Deletes the job; a command it is running goes on to its end."""
        self._job_call(_args.integer(job_id, "job_id"), self._lib.crontab_delete_job)

    def set_timeout(self, job_id: int, seconds: _args.DurationLike | None) -> None:
        """Run-time limit of each attempt, in seconds or as a timedelta; 0 or
        None for none. A negative limit raises SettingError."""
        jid = _args.integer(job_id, "job_id")
        limit = 0 if seconds is None else _args.duration(seconds, "seconds")
        self._job_call(jid, self._lib.crontab_set_job_timeout, limit)

    def set_paths(self, job_id: int, workdir: _args.PathLike | None = None,
                  env: Mapping[str, object] | str | None = None) -> None:
        """Working directory (None: the host's) and environment variables for
        the job's commands, as a mapping or as NAME=VALUE lines. Both are
        replaced: None clears."""
        jid = _args.integer(job_id, "job_id")
        self._job_call(jid, self._lib.crontab_set_job_paths, _args.optional_path(workdir, "workdir"),
                       _args.env_text(env))

    def set_overlap_policy(self, job_id: int, policy: Overlap | int | str) -> None:
        """Overlap.SKIP, QUEUE, ALLOW or REPLACE, or its name ("queue")."""
        jid = _args.integer(job_id, "job_id")
        value = _args.integer(Overlap.of(policy), "policy")
        self._job_call(jid, self._lib.crontab_set_job_overlap_policy, value)

    def set_retry(self, job_id: int, retry_max: int, backoff_sec: _args.DurationLike = 0) -> None:
        """Up to retry_max (0..RETRY_MAX) further attempts after a failed one,
        each after a pause of backoff_sec (0..BACKOFF_MAX_SEC seconds, or a
        timedelta)."""
        jid = _args.integer(job_id, "job_id")
        self._job_call(jid, self._lib.crontab_set_job_retry, _args.integer(retry_max, "retry_max"),
                       _args.duration(backoff_sec, "backoff_sec"))

    def set_catch_up(self, job_id: int, window_sec: _args.DurationLike) -> None:
        """Runs the latest fire time missed while the scheduler was stopped
        once at start, if it is at most window_sec (0..CATCH_UP_MAX_SEC
        seconds, or a timedelta; 0: off) old. Example: a nightly job with
        timedelta(hours=6) catches up at a start before 08:00."""
        jid = _args.integer(job_id, "job_id")
        self._job_call(jid, self._lib.crontab_set_job_catch_up, _args.duration(window_sec, "window_sec"))

    def set_jitter(self, job_id: int, max_delay_sec: _args.DurationLike, fixed: bool = False) -> None:
        """Starts each scheduled run after a delay of up to max_delay_sec
        (0..JITTER_MAX_SEC seconds, or a timedelta; 0: off): random per fire,
        or with fixed=True the same every time for this machine and job name."""
        jid = _args.integer(job_id, "job_id")
        self._job_call(jid, self._lib.crontab_set_job_jitter, _args.duration(max_delay_sec, "max_delay_sec"),
                       1 if fixed else 0)

    def set_user(self, job_id: int, user: str | None) -> None:
        """The user account the job's commands run as ("www-data"); None or
        "" for the host's own. A host that is not root may name only its own
        account; an account that does not exist raises SettingError."""
        jid = _args.integer(job_id, "job_id")
        self._job_call(jid, self._lib.crontab_set_job_user, None if user is None else _args.text(user, "user"))

    def reload(self) -> None:
        """Reads crontab.json again after a hand edit and applies the
        difference by job id: jobs only in the file are added, jobs it no
        longer holds removed, changed ones take the file's definition
        (keeping their run records and a run going on); the events tell each
        with cause "reload", then one RELOADED event the counts. Nothing is
        written. A file it cannot take whole (missing, a link, not JSON, a job
        that would not load) raises StoreError and changes nothing; a
        scheduler without a data directory raises CrontabError."""
        if self._call(self._lib.crontab_reload) != 0:
            _fail(self._lib)

    # -- scheduler --

    def start(self) -> None:
        """Starts the scheduler thread: enabled jobs run when they come due."""
        if self._call(self._lib.crontab_start) != 0:
            _fail(self._lib)

    def stop(self) -> None:
        """Stops the scheduler thread; runs in progress go on."""
        self._call(self._lib.crontab_stop)

    @property
    def running(self) -> bool:
        """True while the scheduler thread runs."""
        return self._call(self._lib.crontab_is_running) == 1

        # -- reports --

    def cancel(self, job_id: int) -> bool:
        """Cancels the job's run in progress (under ALLOW its latest). True
        when a child process was terminated, False when none existed at that
        moment."""
        return self._job_call(_args.integer(job_id, "job_id"), self._lib.crontab_cancel_job) == 0

    # -- reports --

    def _report(self, fn: Callable[..., int], *args: Any) -> Any:
        # A copy of this call's own: threads need no lock around reports.
        with self._use() as handle:
            text = _native.take_text(self._lib, fn(handle, *args))
        return json.loads(text)

    def jobs(self) -> list[Job]:
        """The job table, one Job per job, in table order."""
        return [Job.from_json(raw) for raw in self._report(self._lib.crontab_copy_jobs_json)]

    def find(self, name: str) -> list[Job]:
        """The jobs named `name`, in table order (names need not be unique)."""
        _args.text(name, "name")
        return [job for job in self.jobs() if job.name == name]

    def job(self, job: int | str) -> Job:
        """One job of the job table, by its id or by its name. Raises
        JobNotFoundError when there is none, AmbiguousJobNameError when
        several jobs have the name."""
        if isinstance(job, str):
            found = self.find(job)
            if len(found) > 1:
                raise AmbiguousJobNameError(job, [j.id for j in found])
            if not found:
                raise JobNotFoundError(job)
            return found[0]
        jid = _args.integer(job, "job")
        for entry in self.jobs():
            if entry.id == jid:
                return entry
        raise JobNotFoundError(jid)

    def logs(self, job_id: int, limit: int = LOG_CAPACITY) -> list[RunRecord]:
        """The newest `limit` (1..LOG_CAPACITY) run records of a job, newest
        first; [] for a job without records or an unknown id."""
        records = self._report(self._lib.crontab_copy_job_logs_json, _args.integer(job_id, "job_id"),
                               _args.integer(limit, "limit"))
        return [RunRecord.from_json(raw) for raw in records]

    def stats(self) -> Stats:
        """Counters since this scheduler was created: per job (executions by
        outcome, skipped fire times, attempts, retries, last success and
        failure, durations) and the totals (active runs, events lost)."""
        return Stats.from_json(self._report(self._lib.crontab_copy_stats_json))
