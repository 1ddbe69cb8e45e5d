"""The scheduler's events as frozen dataclasses. Kinds and members the
binding does not know are kept: an unknown kind stays a str, and every
member, known or not, is readable by its JSON name (event["count"])."""

from __future__ import annotations

import dataclasses
import enum
from datetime import datetime, timedelta, timezone
from typing import Any

from ._errors import ExitCode
from ._records import RunRecord, _known, _Report

_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


class EventKind(str, enum.Enum):
    """What an event tells."""
    ADMITTED = "admitted"                    #: a run admitted (trigger: schedule, queue, replace,
                                             #: catch_up, reboot or hand; delay_ms under jitter)
    SKIPPED = "skipped"                      #: a due fire time not started now (reason, count)
    QUEUED = "queued"                        #: a due run waits (policy QUEUE)
    STARTED = "started"                      #: an attempt's child started (attempt, pid)
    NOT_STARTED = "not_started"              #: an attempt without thread or child (reason)
    FINISHED = "finished"                    #: an attempt ended (record, output_lost)
    RETRYING = "retrying"                    #: the next attempt comes (attempt, retry_at)
    ENDED = "ended"                          #: an execution ended (outcome, attempts, exit_code)
    CANCELLED = "cancelled"                  #: a cancel reached the execution (child_signalled)
    ADDED = "added"                          #: a job was added
    CHANGED = "changed"                      #: a job was changed (change)
    REMOVED = "removed"                      #: a job was deleted
    SAVE_FAILED = "save_failed"              #: a change could not be saved (error)
    SCHEDULER_STARTED = "scheduler_started"
    SCHEDULER_STOPPED = "scheduler_stopped"
    LOST = "lost"                            #: count events dropped before they were read
    MISSED = "missed"                        #: count fire times outside the catch-up window
    STATE_DAMAGED = "state_damaged"          #: the state file could not be read or written (error)
    CLAIMED_ELSEWHERE = "claimed_elsewhere"  #: another cluster node holds the fire time (node, reason)
    RELOADED = "reloaded"                    #: reload applied crontab.json (added, changed, removed, kept)


class Outcome(str, enum.Enum):
    """How an execution ended (Event.outcome of an ENDED event)."""
    SUCCEEDED = "succeeded"
    FAILED = "failed"
    TIMED_OUT = "timed_out"
    CANCELLED = "cancelled"
    NOT_STARTED = "not_started"
    STATUS_UNKNOWN = "status_unknown"


def _member(kind: type[enum.Enum], value: Any) -> Any:
    return kind(value) if value in kind._value2member_map_ else value


def _ms(ms: int) -> datetime:
    # Exact, where a float of seconds could round off a millisecond.
    return _EPOCH + timedelta(milliseconds=ms)


# Members given another type here; the rest are taken as they are.
_CONVERT = {
    "kind": lambda v: _member(EventKind, v),
    "outcome": lambda v: _member(Outcome, v),
    "exit_code": lambda v: _known(ExitCode, v),
    "record": RunRecord.from_json,
    "fire_time": lambda v: _EPOCH + timedelta(seconds=v),
}


@dataclasses.dataclass(frozen=True, eq=True, repr=False)
class Event(_Report):
    """One event. Times are aware datetimes in UTC; members an event of its
    kind does not have are None."""
    seq: int                                 #: 1, 2, 3 ... per scheduler
    time: datetime                           #: when it happened, to the millisecond
    kind: EventKind | str
    job_id: int | None = None
    job_name: str | None = None
    execution: int | None = None             #: joins the events and records of one run
    trigger: str | None = None
    fire_time: datetime | None = None
    delay_ms: int | None = None              #: the jitter delay of an admitted run
    reason: str | None = None
    count: int | None = None
    attempt: int | None = None
    pid: int | None = None
    record: RunRecord | None = None
    output_lost: bool | None = None
    retry_at: datetime | None = None
    outcome: Outcome | str | None = None
    attempts: int | None = None
    exit_code: ExitCode | int | None = None
    retries_exhausted: bool | None = None
    child_signalled: bool | None = None
    change: str | None = None
    cause: str | None = None                 #: "reload" on added, changed, removed from a reload
    added: int | None = None                 #: RELOADED: the counts of jobs
    changed: int | None = None
    removed: int | None = None
    kept: int | None = None
    error: str | None = None
    node: str | None = None                  #: the cluster node that won (claimed_elsewhere)
    _raw: dict[str, Any] = dataclasses.field(default_factory=dict, compare=False)

    @classmethod
    def from_json(cls, raw: dict[str, Any]) -> "Event":
        names = {f.name for f in dataclasses.fields(cls)}
        values = {k: _CONVERT.get(k, lambda v: v)(v) for k, v in raw.items() if k in names}
        values["time"] = _ms(raw["time_ms"])
        if "retry_at_ms" in raw:
            values["retry_at"] = _ms(raw["retry_at_ms"])
        return cls(**values, _raw=raw)

    def __repr__(self) -> str:
        shown = ", ".join("%s=%r" % (f.name, getattr(self, f.name)) for f in dataclasses.fields(self)
                          if f.name != "_raw" and getattr(self, f.name) is not None)
        return "Event(%s)" % shown
