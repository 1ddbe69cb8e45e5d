"""Python binding of quilmarn-crontab: schedule shell commands by cron
expressions and run them in the background of this process.

    import quilmarn_crontab as qc

    with qc.Scheduler("cron-data") as s:
        job = s.add_job("hello", "*/5 * * * *", "echo hello")
        print(s.run_now(job).record.stdout)

Times are taken as epoch seconds or aware datetimes, durations as seconds or
timedeltas. Texts returned by the library are copied as each call returns;
the reports come back as Job and RunRecord dataclasses, the scheduler's
events (Scheduler.events, Scheduler.aevents) as Event dataclasses. Failures
raise exceptions derived from CrontabError, chosen by the library's code for
the failure; their text is the library's own sentence.
"""

from __future__ import annotations

import ctypes
import json
import time
from datetime import datetime, tzinfo
from typing import Any

from . import _args, _native
from ._args import DurationLike, TimeLike
from ._errors import (AmbiguousJobNameError, CrontabError, DirectoryInUseError, ErrorCode,
                      ExitCode, ExpressionError, JobNotFoundError, Overlap, RunRefusedError,
                      SettingError, StoreError, TableFullError)
from ._events import Event, EventKind, Outcome
from ._limits import (BACKOFF_MAX_SEC, CATCH_UP_MAX_SEC, JITTER_MAX_SEC, CMD_MAX, DATA_DIR_MAX, ENV_MAX, ENV_VARS_MAX,
                      EVENT_CAPACITY, EVENT_TEXT_BYTES, EXPR_MAX, LOG_CAPACITY, MAX_ACTIVE,
                      MAX_JOBS, NAME_MAX, OUTPUT_MAX, RETRY_MAX, WORKDIR_MAX)
from ._limits import CONNINFO_MAX, NODE_MAX, USER_MAX
from ._records import Execution, Job, RunRecord
from ._scheduler import Scheduler
from ._stats import JobStats, Stats

__all__ = [
    "CrontabError", "ExpressionError", "JobNotFoundError", "AmbiguousJobNameError",
    "RunRefusedError", "SettingError", "TableFullError", "StoreError", "DirectoryInUseError",
    "ErrorCode", "Overlap", "ExitCode", "Scheduler", "Job", "RunRecord", "Execution",
    "Event", "EventKind", "Outcome", "Stats", "JobStats", "TimeLike", "DurationLike",
    "MAX_JOBS", "LOG_CAPACITY", "MAX_ACTIVE", "RETRY_MAX", "BACKOFF_MAX_SEC", "CATCH_UP_MAX_SEC", "JITTER_MAX_SEC",
    "NAME_MAX",
    "EXPR_MAX", "CMD_MAX", "WORKDIR_MAX", "ENV_MAX", "ENV_VARS_MAX", "DATA_DIR_MAX",
    "OUTPUT_MAX", "EVENT_CAPACITY", "EVENT_TEXT_BYTES",
    "USER_MAX", "NODE_MAX", "CONNINFO_MAX",
    "version", "validate", "is_valid", "next_time", "next_datetime", "next_runs", "next_datetimes",
    "describe", "explain",
]

_lib = _native.library()


def _check_expr(expr: str) -> bytes:
    return _args.expression(_lib, expr)


def version() -> str:
    """The library's version text, "MAJOR.MINOR.PATCH"."""
    return _lib.crontab_version().decode()


def validate(expr: str) -> None:
    """Returns None for a valid expression; raises ExpressionError otherwise."""
    _check_expr(expr)


def is_valid(expr: str) -> bool:
    """True when the expression parses."""
    return _args.parser_message(_lib, _args.text(expr, "expr")) is None


def next_time(expr: str, after: TimeLike | None = None) -> int | None:
    """The first fire time (epoch seconds) strictly after `after` (epoch
    seconds or an aware datetime; default: now), or None when there is none
    within five years."""
    data = _check_expr(expr)
    start = int(time.time()) if after is None else _args.epoch(after, "after")
    out = ctypes.c_int64()
    if _lib.crontab_calc_next(data, start, ctypes.byref(out)) != 0:
        return None
    return out.value


def next_datetime(expr: str, after: TimeLike | None = None, tz: tzinfo | None = None) -> datetime | None:
    """next_time as an aware datetime in `tz` (default: the local zone)."""
    found = next_time(expr, after)
    return None if found is None else _args.to_datetime(found, tz)


def next_runs(expr: str, count: int = 5) -> list[dict[str, Any]]:
    """Upcoming fire times after now as the library's list of
    {"unix": int, "iso": str, "offset": str} (local time and its UTC offset,
    "+HH:MM"); count is clamped to 1..100."""
    data = _args.text(expr, "expr")
    # The library clamps the count itself; this only keeps it within a C int.
    low, high = _args.INT_RANGE
    wanted = max(low, min(high, _args.integer(count, "count", _args.INT64_RANGE)))
    result = json.loads(_lib.crontab_get_next_runs_json(data, wanted).decode("utf-8"))
    if isinstance(result, dict):
        raise ExpressionError(expr, result.get("error", "invalid expression"))
    return result


def next_datetimes(expr: str, count: int = 5, tz: tzinfo | None = None) -> list[datetime]:
    """next_runs as aware datetimes in `tz` (default: the local zone)."""
    return [_args.to_datetime(run["unix"], tz) for run in next_runs(expr, count)]


def describe(expr: str) -> str:
    """A short English description, e.g. "At 09:30, Monday through Friday"."""
    data = _check_expr(expr)
    return _lib.crontab_describe_expr(data).decode("utf-8")


def explain(expr: str) -> str:
    """One complete English sentence for the schedule, e.g. "Every 15
    minutes, from 09:00 through 17:59, Monday through Friday"."""
    data = _check_expr(expr)
    return _lib.crontab_explain_expr(data).decode("utf-8")
