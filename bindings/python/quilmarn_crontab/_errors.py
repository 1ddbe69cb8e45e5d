"""The exceptions and the named codes of the library."""

from __future__ import annotations

import enum


class Overlap(enum.IntEnum):
    """What happens when a job comes due while it is still running. Where a
    policy is taken, its name is accepted too, in any case ("queue")."""
    SKIP = 0   #: the due run is not started
    QUEUE = 1  #: one due run waits and starts when the job's runs end
    ALLOW = 2  #: runs of the job execute side by side
    REPLACE = 3  #: the running executions are cancelled; the due run starts once they end

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


class ErrorCode(enum.IntEnum):
    """The library's code for the class of a failure (CrontabError.code)."""
    NONE = 0              #: no failure
    OTHER = 1             #: a failure no other code names
    NO_INSTANCE = 2       #: no scheduler instance
    NOT_FOUND = 3         #: no job has that id (value: the id)
    BAD_ARGUMENT = 4      #: a text not UTF-8 or too long
    BAD_EXPRESSION = 5    #: an expression that does not parse
    TABLE_FULL = 6        #: MAX_JOBS jobs, or no id left
    REFUSED_RUN = 7       #: run_now refused
    BAD_SETTING = 8       #: a setting value rejected
    NOT_SAVED = 9         #: the job store could not be saved
    DIR_IN_USE = 10       #: the data directory is in use (value: the owner's pid)
    DIR_UNUSABLE = 11     #: the data directory cannot be made, locked or written
    STORE_UNREADABLE = 12  #: crontab.json cannot be read as a whole
    NO_MEMORY = 13        #: memory could not be obtained
    NO_CHILD = 14         #: no child to terminate now
    BAD_STATE = 15        #: the scheduler already runs, or is being closed
    SYSTEM = 16           #: the system refused a resource (a thread)
    NOT_AVAILABLE = 17    #: not offered on this platform
    INTERNAL = 18         #: a fault inside the library


class CrontabError(Exception):
    """Base of the errors raised by this module; str() is the library's
    sentence for the failure, `code` its ErrorCode (the class is chosen by
    the code, never by the sentence) and `value` the number it names."""
    code: "ErrorCode | int" = ErrorCode.OTHER
    value = 0


class ExpressionError(CrontabError, ValueError):
    """A schedule expression that does not parse; str() is the parser's message."""
    code = ErrorCode.BAD_EXPRESSION

    def __init__(self, expression: str, message: str) -> None:
        super().__init__(message)
        self.expression = expression
        self.message = message


class JobNotFoundError(CrontabError, LookupError):
    """No job has the given id (job_id), or no job the given name (name)."""
    code = ErrorCode.NOT_FOUND

    def __init__(self, job: "int | str", message: str | None = None) -> None:
        if isinstance(job, str):
            super().__init__(message or "no job named %r" % job)
            self.job_id, self.name = None, job
        else:
            super().__init__(message or "no job with id %d" % job)
            self.job_id, self.name = job, None
            self.value = job


class AmbiguousJobNameError(CrontabError, LookupError):
    """Several jobs have the name asked for: name the job by its id."""

    def __init__(self, name: str, ids: list[int]) -> None:
        super().__init__("the name %r is taken by jobs %s; name the job by its id"
                         % (name, ", ".join(map(str, ids))))
        self.name, self.job_ids = name, ids


class RunRefusedError(CrontabError):
    """run_now refused: the job already runs (policy other than ALLOW),
    MAX_ACTIVE runs are in progress, or the scheduler is being closed."""
    code = ErrorCode.REFUSED_RUN


class SettingError(CrontabError, ValueError):
    """A job definition or setting refused: a value out of its range, a text
    too long or not UTF-8."""
    code = ErrorCode.BAD_SETTING


class TableFullError(CrontabError):
    """The scheduler holds MAX_JOBS jobs already."""
    code = ErrorCode.TABLE_FULL


class StoreError(CrontabError, OSError):
    """The data directory cannot be used, or a change could not be saved to
    the job store (the change was undone)."""
    code = ErrorCode.NOT_SAVED


class DirectoryInUseError(StoreError):
    """Another scheduler, in this process or another, has the data directory
    open; pid is that process's id (0 when unknown)."""
    code = ErrorCode.DIR_IN_USE

    def __init__(self, message: str, pid: int) -> None:
        super().__init__(message)
        self.pid = self.value = pid


_CLASSES: dict[int, type[CrontabError]] = {
    ErrorCode.NOT_FOUND: JobNotFoundError,
    ErrorCode.BAD_ARGUMENT: SettingError,
    ErrorCode.BAD_EXPRESSION: ExpressionError,
    ErrorCode.TABLE_FULL: TableFullError,
    ErrorCode.REFUSED_RUN: RunRefusedError,
    ErrorCode.BAD_SETTING: SettingError,
    ErrorCode.NOT_SAVED: StoreError,
    ErrorCode.DIR_IN_USE: DirectoryInUseError,
    ErrorCode.DIR_UNUSABLE: StoreError,
    ErrorCode.STORE_UNREADABLE: StoreError,
}


def error_for(code: int, value: int, message: str, expression: str = "") -> CrontabError:
    """The exception for a failure the library reported with `code`."""
    cls = _CLASSES.get(code, CrontabError)
    message = message or "the call failed (code %d)" % code
    error: CrontabError
    if cls is ExpressionError:
        error = ExpressionError(expression, message)
    elif cls is JobNotFoundError:
        error = JobNotFoundError(value, message)
    elif cls is DirectoryInUseError:
        error = DirectoryInUseError(message, value)
    else:
        error = cls(message)
    error.code = ErrorCode(code) if code in ErrorCode._value2member_map_ else code
    error.value = value
    return error
