"""Python binding of quilmarn-crontab: schedule shell commands by cron
expressions and run them in the background of this process.

    import quilmarn_crontab as qc

    with qc.Scheduler("cron-data") as s:
        job = s.add_job("hello", "*/5 * * * *", "echo hello")
        s.run_now(job)
        print(s.logs(job, 1)[0]["stdout"])

Texts returned by the library are copied as each call returns; the JSON
reports come back parsed. Failures raise exceptions (see CrontabError).
"""

import contextlib
import enum
import json
import os
import threading
import time
from collections.abc import Mapping

from . import _native

__all__ = [
    "CrontabError", "ExpressionError", "JobNotFoundError", "RunRefusedError", "SettingError",
    "Overlap", "Scheduler", "MAX_JOBS", "LOG_CAPACITY", "MAX_ACTIVE",
    "version", "validate", "is_valid", "next_time", "next_runs", "describe",
]

_lib = _native.load()

MAX_JOBS = 128      # jobs per scheduler
LOG_CAPACITY = 20   # run records kept per job
MAX_ACTIVE = 32     # runs in progress at once per scheduler
_ERRBUF_SIZE = 256
# Longest texts, in bytes; a longer name is cut, the others are refused.
_EXPR_MAX = 127
_CMD_MAX = 1023
_PATH_MAX = 511
_ENV_MAX = 1023


class Overlap(enum.IntEnum):
    """What happens when a job comes due while it is still running."""
    SKIP = 0   # the due run is not started
    QUEUE = 1  # one due run waits and starts when the job's runs end
    ALLOW = 2  # runs of the job execute side by side


class CrontabError(Exception):
    """Base of the errors raised by this module."""


class ExpressionError(CrontabError, ValueError):
    """A schedule expression that does not parse; str() is the parser's message."""

    def __init__(self, expression, message):
        super().__init__(message)
        self.expression = expression
        self.message = message


class JobNotFoundError(CrontabError, LookupError):
    """No job has the given id."""

    def __init__(self, job_id):
        super().__init__("no job with id %d" % job_id)
        self.job_id = job_id


class RunRefusedError(CrontabError):
    """run_now refused: the job already runs (policy other than ALLOW) or
    MAX_ACTIVE runs are in progress."""


class SettingError(CrontabError, ValueError):
    """A job setting the library rejected."""


# ---- Arguments ----

def _text(value, what):
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (what, type(value).__name__))
    data = value.encode("utf-8")
    if b"\0" in data:
        raise ValueError("%s contains a null character" % what)
    return data


def _optional_path(value, what):
    if value is None:
        return None
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError("%s must be a path or None, not %s" % (what, type(value).__name__))
    data = os.fsencode(value)
    if b"\0" in data:
        raise ValueError("%s contains a null character" % what)
    return data


def _env_text(env):
    """NAME=VALUE lines from a mapping, or the text itself."""
    if env is None:
        return None
    if isinstance(env, Mapping):
        lines = []
        for name, value in env.items():
            name, value = str(name), str(value)
            if not name or "=" in name or "\n" in name or "\n" in value:
                raise SettingError("environment variable %r=%r cannot be passed" % (name, value))
            lines.append("%s=%s" % (name, value))
        env = "\n".join(lines)
    return _text(env, "env")


def _parser_message(expr_bytes):
    """The parser's message for an expression, or None when it is valid."""
    buf = _native.ctypes.create_string_buffer(_ERRBUF_SIZE)
    if _lib.crontab_validate_expr(expr_bytes, buf, _ERRBUF_SIZE) == 0:
        return None
    return buf.value.decode("utf-8", "replace")


def _check_expr(expr):
    data = _text(expr, "expr")
    message = _parser_message(data)
    if message is not None:
        raise ExpressionError(expr, message)
    return data


def _explain_definition(expr, cmd_bytes):
    """Raises the reason add_job or update_job refused a definition, if it is
    in the definition itself."""
    expr_bytes = _check_expr(expr)
    if len(expr_bytes) > _EXPR_MAX:
        raise SettingError("expression is longer than %d bytes" % _EXPR_MAX)
    if len(cmd_bytes) > _CMD_MAX:
        raise SettingError("command is longer than %d bytes" % _CMD_MAX)


# ---- Expression services ----

def version():
    """The library's version text, e.g. "1.5.0"."""
    return _lib.crontab_version().decode()


def validate(expr):
    """Returns None for a valid expression; raises ExpressionError otherwise."""
    _check_expr(expr)


def is_valid(expr):
    """True when the expression parses."""
    return _parser_message(_text(expr, "expr")) is None


def next_time(expr, after=None):
    """The first fire time (epoch seconds) strictly after `after` (default:
    now), or None when there is none within five years."""
    data = _check_expr(expr)
    if after is None:
        after = int(time.time())
    out = _native.ctypes.c_int64()
    if _lib.crontab_calc_next(data, int(after), _native.ctypes.byref(out)) != 0:
        return None
    return out.value


def next_runs(expr, count=5):
    """Upcoming fire times after now: a list of {"unix": int, "iso": str,
    "offset": str} (local time and its UTC offset, "+HH:MM"), count clamped
    to 1..100."""
    data = _text(expr, "expr")
    result = json.loads(_lib.crontab_get_next_runs_json(data, int(count)).decode("utf-8"))
    if isinstance(result, dict):
        raise ExpressionError(expr, result.get("error", "invalid expression"))
    return result


def describe(expr):
    """An English description, e.g. "At 09:30, Monday through Friday"."""
    data = _check_expr(expr)
    return _lib.crontab_describe_expr(data).decode("utf-8")


# ---- The scheduler ----

class Scheduler:
    """One scheduler instance. `data_dir` holds crontab.json, the job store
    (None: jobs live in memory only). Use it as a context manager, or call
    close(). Every method may be called from any thread; close() waits for
    calls in progress on other threads (run_now included) to return."""

    def __init__(self, data_dir=None):
        self._cv = threading.Condition()
        self._users = 0
        self._handle = None
        # Both reports share one buffer in the instance: a report's text is
        # copied before another thread may ask for the next one.
        self._report_lock = threading.Lock()
        handle = _lib.crontab_create(_optional_path(data_dir, "data_dir"))
        if not handle:
            raise MemoryError("crontab_create failed")
        self._handle = handle

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        # A scheduler dropped without close(): free it, unless the module is
        # already being torn down at interpreter exit.
        if getattr(self, "_handle", None) and _lib is not None:
            try:
                self.close()
            except Exception:  # noqa: BLE001 - nothing can be reported from here
                pass

    @property
    def closed(self):
        return self._handle is None

    def close(self):
        """Stops the scheduler, waits for runs in progress (up to 60 s, then
        cancels them), saves the job store and frees the instance."""
        with self._cv:
            if self._handle is None:
                return
            handle, self._handle = self._handle, None
            while self._users:
                self._cv.wait()
        _lib.crontab_destroy(handle)

    @contextlib.contextmanager
    def _use(self):
        # Keeps the instance alive while a call is inside the library.
        with self._cv:
            if self._handle is None:
                raise ValueError("the scheduler is closed")
            self._users += 1
            handle = self._handle
        try:
            yield handle
        finally:
            with self._cv:
                self._users -= 1
                if self._users == 0:
                    self._cv.notify_all()

    def _call(self, fn, *args):
        with self._use() as handle:
            return fn(handle, *args)

    def _job_call(self, job_id, fn, *args):
        """A job call whose -1 means an unknown id."""
        result = self._call(fn, int(job_id), *args)
        if result == -1:
            raise JobNotFoundError(job_id)
        return result

    # -- jobs --

    def add_job(self, name, expr, cmd, enabled=True):
        """Adds a job and returns its id. The name is cut to 127 bytes; an
        expression over 127 or a command over 1023 bytes is refused."""
        args = (_text(name, "name"), _text(expr, "expr"), _text(cmd, "cmd"), 1 if enabled else 0)
        job_id = self._call(_lib.crontab_add_job, *args)
        if job_id < 0:
            _explain_definition(expr, args[2])
            raise CrontabError("the job table is full (%d jobs)" % MAX_JOBS)
        return job_id

    def update_job(self, job_id, name, expr, cmd, enabled=True):
        """Replaces name, expression, command and enabled flag; keeps the
        job's settings and run records."""
        args = (_text(name, "name"), _text(expr, "expr"), _text(cmd, "cmd"), 1 if enabled else 0)
        if self._call(_lib.crontab_update_job, int(job_id), *args) != 0:
            _explain_definition(expr, args[2])
            raise JobNotFoundError(job_id)

    def delete_job(self, job_id):
        self._job_call(job_id, _lib.crontab_delete_job)

    def set_timeout(self, job_id, seconds):
        """Run-time limit of each attempt; 0 (or less) for none."""
        self._job_call(job_id, _lib.crontab_set_job_timeout, int(seconds))

    def set_paths(self, job_id, workdir=None, env=None):
        """Working directory (None: the host's) and environment variables for
        the job's commands, as a mapping or as NAME=VALUE lines. Both are
        replaced: None clears."""
        wd = _optional_path(workdir, "workdir")
        env_text = _env_text(env)
        result = self._job_call(job_id, _lib.crontab_set_job_paths, wd, env_text)
        if result == -2:
            if wd and len(wd) > _PATH_MAX:
                raise SettingError("working directory is longer than %d bytes" % _PATH_MAX)
            if wd and not os.path.isdir(wd):
                raise SettingError("not a directory: %r" % (workdir,))
            if env_text and len(env_text) > _ENV_MAX:
                raise SettingError("environment text is longer than %d bytes" % _ENV_MAX)
            for line in (env_text or b"").split(b"\n"):
                if line and b"=" not in line:
                    raise SettingError("environment line without '=': %r" % line.decode("utf-8", "replace"))
            raise SettingError("working directory or environment rejected")

    def set_overlap_policy(self, job_id, policy):
        """One of Overlap.SKIP, Overlap.QUEUE, Overlap.ALLOW."""
        if self._job_call(job_id, _lib.crontab_set_job_overlap_policy, int(policy)) == -2:
            raise SettingError("overlap policy must be 0 (SKIP), 1 (QUEUE) or 2 (ALLOW), not %r" % (policy,))

    def set_retry(self, job_id, retry_max, backoff_sec=0):
        """Up to retry_max (0..10) further attempts after a failed one, each
        after a pause of backoff_sec (0..3600)."""
        if self._job_call(job_id, _lib.crontab_set_job_retry, int(retry_max), int(backoff_sec)) == -2:
            raise SettingError("retry_max must be 0..10 and backoff_sec 0..3600, not %r and %r"
                               % (retry_max, backoff_sec))

    # -- scheduler --

    def start(self):
        """Starts the scheduler thread: enabled jobs run when they come due."""
        if self._call(_lib.crontab_start) != 0:
            raise CrontabError("the scheduler is already running or its thread could not be created")

    def stop(self):
        """Stops the scheduler thread; runs in progress go on."""
        self._call(_lib.crontab_stop)

    @property
    def running(self):
        """True while the scheduler thread runs."""
        return self._call(_lib.crontab_is_running) == 1

    # -- runs --

    def run_now(self, job_id):
        """Runs the job on this thread, with its retries, and returns when the
        run has ended (whatever its exit code: see logs())."""
        if self._call(_lib.crontab_run_now, int(job_id)) != 0:
            if not any(job["id"] == job_id for job in self.jobs()):
                raise JobNotFoundError(job_id)
            raise RunRefusedError("job %d was not run: it is running and its overlap policy is not "
                                  "ALLOW, or %d runs are in progress" % (job_id, MAX_ACTIVE))

    def cancel(self, job_id):
        """Cancels the job's run in progress. True when a child process was
        terminated, False when none existed at that moment."""
        return self._job_call(job_id, _lib.crontab_cancel_job) == 0

    # -- reports --

    def _report(self, fn, *args):
        with self._use() as handle, self._report_lock:
            text = fn(handle, *args)
        return json.loads(text.decode("utf-8"))

    def jobs(self):
        """The job table: a list of dicts, one per job."""
        return self._report(_lib.crontab_get_jobs_json)

    def job(self, job_id):
        """One job's dict from the job table."""
        for job in self.jobs():
            if job["id"] == job_id:
                return job
        raise JobNotFoundError(job_id)

    def logs(self, job_id, limit=LOG_CAPACITY):
        """The newest `limit` (1..20) run records of a job, newest first; []
        for a job without records or an unknown id."""
        return self._report(_lib.crontab_get_job_logs_json, int(job_id), int(limit))
