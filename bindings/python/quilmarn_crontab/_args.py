"""Python values to the C arguments, checked before any call: a value the C
type cannot hold is refused here rather than wrapped around by ctypes."""

from __future__ import annotations

import ctypes
import math
import operator
import os
from collections.abc import Mapping
from datetime import datetime, timedelta, timezone, tzinfo
from typing import Union

from ._errors import ExpressionError, SettingError

INT_RANGE = (-2**31, 2**31 - 1)
INT64_RANGE = (-2**63, 2**63 - 1)
UINT64_RANGE = (0, 2**64 - 1)

#: A point in time: epoch seconds, or an aware datetime.
TimeLike = Union[int, float, datetime]
#: A span of time: seconds, or a timedelta.
DurationLike = Union[int, timedelta]
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def integer(value: object, what: str, bounds: tuple[int, int] = INT_RANGE) -> int:
    """An int (or anything with __index__, such as an IntEnum) that fits the
    C type whose range is `bounds`."""
    if isinstance(value, bool):
        raise TypeError("%s must be an int, not bool" % what)
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__)) from None
    low, high = bounds
    if not low <= number <= high:
        raise OverflowError("%s is %d, outside the range %d..%d of the C type"
                            % (what, number, low, high))
    return number


def epoch(value: object, what: str) -> int:
    """Epoch seconds from an int, a float (rounded down) or an aware datetime."""
    if isinstance(value, datetime):
        if value.tzinfo is None or value.utcoffset() is None:
            raise ValueError("%s is a naive datetime, which names no single instant; give an aware "
                             "one, such as datetime.now(timezone.utc), or epoch seconds" % what)
        value = value.timestamp()
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError("%s must be a finite time, not %r" % (what, value))
        value = math.floor(value)
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError("%s must be epoch seconds (int) or an aware datetime, not %s"
                        % (what, type(value).__name__))
    return integer(value, what, INT64_RANGE)


def duration(value: object, what: str, high: int = INT_RANGE[1]) -> int:
    """Whole seconds from an int or a timedelta. A negative span is refused
    as the command line refuses it, rather than taken by the library as
    "none"."""
    if isinstance(value, timedelta):
        seconds, rest = divmod(value, timedelta(seconds=1))
        if rest:
            raise SettingError("%s must be whole seconds, not %s" % (what, value))
        value = seconds
    number = integer(value, what, INT64_RANGE)
    if number < 0:
        raise SettingError("%s must be 0 to %d seconds, not %d" % (what, high, number))
    return integer(number, what, (0, high))


def wait_seconds(value: object, what: str) -> float | None:
    """A wait in seconds from a number or a timedelta; None waits without end."""
    if value is None:
        return None
    if isinstance(value, timedelta):
        value = value.total_seconds()
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("%s must be seconds or a timedelta, not %s" % (what, type(value).__name__))
    if not value >= 0:  # also NaN
        raise ValueError("%s must be 0 or more seconds, not %r" % (what, value))
    return None if math.isinf(value) else float(value)


def to_datetime(seconds: int, tz: tzinfo | None = None) -> datetime:
    """An aware datetime for epoch seconds, in `tz` (default: the local zone)."""
    moment = datetime.fromtimestamp(seconds, timezone.utc)
    return moment.astimezone(tz) if tz is not None else moment.astimezone()


def text(value: object, what: str) -> bytes:
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (what, type(value).__name__))
    data = value.encode("utf-8")
    if b"\0" in data:
        raise ValueError("%s contains a null character" % what)
    return data


def optional_path(value: object, what: str) -> bytes | None:
    if value is None:
        return None
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError("%s must be a path or None, not %s" % (what, type(value).__name__))
    data = os.fsencode(value)
    if b"\0" in data:
        raise ValueError("%s contains a null character" % what)
    return data


def env_text(env: Mapping[str, object] | str | None) -> bytes | None:
    """NAME=VALUE lines from a mapping, or the text itself."""
    if env is None:
        return None
    if isinstance(env, Mapping):
        lines = []
        for name, value in env.items():
            name, value = str(name), str(value)
            # Such a pair has no NAME=VALUE line that means it.
            if not name or "=" in name or "\n" in name or "\n" in value:
                raise SettingError("environment variable %r=%r cannot be passed" % (name, value))
            lines.append("%s=%s" % (name, value))
        env = "\n".join(lines)
    return text(env, "env")


_ERRBUF_SIZE = 256


def parser_message(lib: ctypes.CDLL, expr: bytes) -> str | None:
    """The parser's message for an expression, or None when it is valid."""
    buf = ctypes.create_string_buffer(_ERRBUF_SIZE)
    if lib.crontab_validate_expr(expr, buf, _ERRBUF_SIZE) == 0:
        return None
    return buf.value.decode("utf-8", "replace")


def expression(lib: ctypes.CDLL, expr: object) -> bytes:
    """A valid expression's text; ExpressionError with the parser's message
    otherwise."""
    data = text(expr, "expr")
    message = parser_message(lib, data)
    if message is not None:
        raise ExpressionError(str(expr), message)
    return data
