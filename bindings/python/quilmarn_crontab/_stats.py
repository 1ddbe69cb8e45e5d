"""The library's statistics report as dataclasses: counters since the
scheduler was created, per job and for the whole scheduler."""

from __future__ import annotations

import dataclasses
from typing import Any


@dataclasses.dataclass(frozen=True)
class JobStats:
    """One job's counters. Times are epoch milliseconds (0: never);
    duration_counts has one count per bound of Stats.duration_bounds_sec
    (lengths above the bound before) and one for longer executions."""
    id: int
    name: str
    enabled: bool
    executions: int         #: ended: the sum of the six outcomes below
    succeeded: int
    failed: int
    timed_out: int
    cancelled: int
    not_started: int
    status_unknown: int
    skipped: int            #: fire times told as skipped, by reason below
    skipped_running: int
    skipped_limit: int
    skipped_late: int
    queued: int
    missed: int
    claimed_elsewhere: int
    attempts: int
    retries: int
    last_success_ms: int
    last_failure_ms: int
    running: int
    next_run: int           #: epoch seconds; 0 for none or a disabled job
    duration_counts: tuple[int, ...]
    duration_sum_ms: int


@dataclasses.dataclass(frozen=True)
class Stats:
    """The scheduler's totals and each job's counters."""
    created_ms: int
    now_ms: int
    scheduler_running: bool
    active_runs: int
    events: int             #: the newest event's number
    events_lost: int        #: overwritten before any read returned them
    duration_bounds_sec: tuple[int, ...]
    jobs: tuple[JobStats, ...]

    @classmethod
    def from_json(cls, raw: dict[str, Any]) -> "Stats":
        names = {f.name for f in dataclasses.fields(JobStats)}
        jobs = tuple(JobStats(**{**{k: v for k, v in j.items() if k in names},
                                 "duration_counts": tuple(j["duration_counts"])}) for j in raw["jobs"])
        own = {f.name for f in dataclasses.fields(cls)} - {"jobs", "duration_bounds_sec"}
        return cls(**{k: raw[k] for k in own}, duration_bounds_sec=tuple(raw["duration_bounds_sec"]), jobs=jobs)

    def job(self, job_id: int) -> JobStats | None:
        """The counters of one job, or None when it is not in the table."""
        return next((j for j in self.jobs if j.id == job_id), None)
