"""The exceptions and the named codes of the library."""

from __future__ import annotations

import enum


class Overlap(enum.IntEnum):
    """What happens when a job comes due while it is still running. Where a
    policy is taken, its name is accepted too, in any case ("queue")."""
    SKIP = 0   #: the due run is not started
    QUEUE = 1  #: one due run waits and starts when the job's runs end
    ALLOW = 2  #: runs of the job execute side by side

    @classmethod
    def of(cls, value: "Overlap | int | str") -> "Overlap | int":
        """The policy named by a string, or the number itself (the library
        judges numbers it does not know)."""
        if isinstance(value, str):
            try:
                return cls[value.strip().upper()]
            except KeyError:
                names = ", ".join(repr(p.name.lower()) for p in cls)
                raise SettingError("overlap policy %r is none of %s" % (value, names)) from None
        return value


class ExitCode(enum.IntEnum):
    """The exit codes of run records that are not the command's own."""
    NOT_STARTED = -1     #: no child process could be started
    TIME_LIMIT = -2      #: ended for its run-time limit
    CANCELLED = -3       #: cancelled
    STATUS_UNKNOWN = -4  #: the host reaped the child, so its status is unknown


class CrontabError(Exception):
    """Base of the errors raised by this module; str() is the library's
    sentence for the failure."""


class ExpressionError(CrontabError, ValueError):
    """A schedule expression that does not parse; str() is the parser's message."""

    def __init__(self, expression: str, message: str) -> None:
        super().__init__(message)
        self.expression = expression
        self.message = message


class JobNotFoundError(CrontabError, LookupError):
    """No job has the given id."""

    def __init__(self, job_id: int, message: str | None = None) -> None:
        super().__init__(message or "no job with id %d" % job_id)
        self.job_id = job_id


class RunRefusedError(CrontabError):
    """run_now refused: the job already runs (policy other than ALLOW) or
    MAX_ACTIVE runs are in progress."""


class SettingError(CrontabError, ValueError):
    """A job definition or setting the library rejected."""


class StoreError(CrontabError, OSError):
    """The data directory cannot be used, or a change could not be saved to
    the job store (the change was undone)."""
