"""The job list and run log entries as small dataclasses. Each is also a
read-only mapping by the JSON member names of the library's report
(record["exit_code"], dict(job)), as the dicts returned before were."""

from __future__ import annotations

import dataclasses
import enum
from collections.abc import Iterator, Mapping
from datetime import datetime, timezone
from typing import Any

from ._errors import ExitCode, Overlap


def _utc(seconds: int) -> datetime:
    return datetime.fromtimestamp(seconds, timezone.utc)


def _known(kind: type[enum.IntEnum], value: int) -> Any:
    """The member of `kind` for a value it names; other values as they are."""
    return kind(value) if value in kind._value2member_map_ else value


class _Report(Mapping[str, Any]):
    _raw: dict[str, Any]

    @classmethod
    def _build(cls, raw: dict[str, Any], **converted: Any) -> Any:
        """The fields of the same name from `raw`, but those in `converted`."""
        values = {f.name: raw[f.name] for f in dataclasses.fields(cls)
                  if f.name != "_raw" and f.name not in converted}
        return cls(**values, **converted, _raw=raw)

    def __getitem__(self, key: str) -> Any:
        return self._raw[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._raw)

    def __len__(self) -> int:
        return len(self._raw)


@dataclasses.dataclass(frozen=True, eq=True)
class Job(_Report):
    """One entry of the job table. Times are epoch seconds; the *_datetime
    properties give them as aware datetimes (UTC; use .astimezone())."""
    id: int
    name: str
    expr: str
    cmd: str
    enabled: bool
    next_run: int           #: -1 for a schedule that never fires again
    last_run: int           #: 0 before the first run of this instance
    log_count: int
    max_runtime_sec: int
    running: bool
    workdir: str
    env_set: bool
    env: str
    overlap_policy: Overlap | int
    queued_count: int
    retry_max: int
    retry_backoff_sec: int
    catch_up_sec: int
    jitter_sec: int
    jitter_fixed: bool
    user: str               #: "" for the host's own account
    _raw: dict[str, Any] = dataclasses.field(repr=False, compare=False)

    @classmethod
    def from_json(cls, raw: dict[str, Any]) -> "Job":
        return cls._build(raw, env_set=raw["envSet"], overlap_policy=_known(Overlap, raw["overlap_policy"]))

    @property
    def next_run_datetime(self) -> datetime | None:
        """next_run as a datetime, or None when the schedule never fires again."""
        return _utc(self.next_run) if self.next_run >= 0 else None

    @property
    def last_run_datetime(self) -> datetime | None:
        """last_run as a datetime, or None before the first run."""
        return _utc(self.last_run) if self.last_run > 0 else None


@dataclasses.dataclass(frozen=True, eq=True)
class RunRecord(_Report):
    """One attempt of a run. exit_code is the command's exit status, or one
    of the ExitCode members; execution joins the attempts of one run and
    its events."""
    started_at: int
    finished_at: int
    duration_ms: int
    exit_code: ExitCode | int
    stdout: str
    stderr: str
    truncated: bool
    cancelled: bool
    attempt: int
    execution: int          #: the id of the execution the attempt belongs to
    _raw: dict[str, Any] = dataclasses.field(repr=False, compare=False)
    fire_time: int | None = None  #: the scheduled fire time it serves (before jitter); None: by hand

    @classmethod
    def from_json(cls, raw: dict[str, Any]) -> "RunRecord":
        return cls._build(raw, exit_code=_known(ExitCode, raw["exit_code"]), fire_time=raw.get("fire_time"))

    @property
    def started_datetime(self) -> datetime:
        """started_at as an aware datetime (UTC)."""
        return _utc(self.started_at)

    @property
    def finished_datetime(self) -> datetime:
        """finished_at as an aware datetime (UTC)."""
        return _utc(self.finished_at)


@dataclasses.dataclass(frozen=True)
class Execution:
    """What run_now carried out: the execution's id and its run records, one
    per attempt, oldest first, as the job's run log holds them when the run
    has ended (attempts that other runs of the job have pushed out of its
    last LOG_CAPACITY records are missing). id is None, and records empty,
    only when over EVENT_CAPACITY events came between the call and the
    run's admission, so that the feed no longer told which execution it was."""
    id: int | None
    job_id: int
    records: tuple[RunRecord, ...]

    @property
    def record(self) -> RunRecord | None:
        """The last attempt's record (None when the log no longer holds it)."""
        return self.records[-1] if self.records else None
