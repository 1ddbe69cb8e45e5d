"""Loading libquilmarn_crontab and declaring its functions for ctypes."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys

# Set to the path of the shared library to use that file; otherwise the copy
# installed beside this package, then the system's library search.
LIBRARY_ENV = "QUILMARN_CRONTAB_LIB"

_SONAME = "libquilmarn_crontab.so.1"


def _installed_copy() -> list[str]:
    """The library that `cmake --install` put beside this package, if any:
    found without ldconfig or LD_LIBRARY_PATH, whatever the prefix."""
    try:
        from ._install import LIBDIR  # written by cmake --install
    except ImportError:
        return []
    path = os.path.join(LIBDIR, _SONAME)
    return [path] if os.path.exists(path) else []


def _candidates() -> list[str]:
    path = os.environ.get(LIBRARY_ENV)
    if path:
        return [path]
    names = _installed_copy()
    if sys.platform == "win32":
        names.append("quilmarn_crontab.dll")
    else:
        # The versioned name first: it is the ABI this module was written for.
        names.append(_SONAME)
    found = ctypes.util.find_library("quilmarn_crontab")
    if found:
        names.append(found)
    return names


def load() -> ctypes.CDLL:
    errors = []
    for name in _candidates():
        try:
            lib = ctypes.CDLL(name)
        except OSError as e:
            errors.append(str(e))
            continue
        _declare(lib)
        return lib
    raise OSError(
        "cannot load the quilmarn-crontab library (%s); install it or set %s "
        "to the path of libquilmarn_crontab.so" % ("; ".join(errors) or "not found", LIBRARY_ENV))


_loaded: ctypes.CDLL | None = None


def library() -> ctypes.CDLL:
    """The library, loaded at the first call."""
    global _loaded
    if _loaded is None:
        _loaded = load()
    return _loaded


class _Handle(ctypes.Structure):
    """The opaque crontab_t."""


HANDLE = ctypes.POINTER(_Handle)

_c_int = ctypes.c_int
_text = ctypes.c_char_p
# A text the caller frees with crontab_free: kept as a pointer, not converted.
_owned = ctypes.c_void_p
_seq = ctypes.c_uint64

# c_char_p results are copied into bytes objects by ctypes as the call
# returns, so no text of the library is kept past its buffer's lifetime.
_SIGNATURES = {
    "crontab_version": (_text, []),
    "crontab_validate_expr": (_c_int, [_text, ctypes.c_char_p, _c_int]),
    "crontab_calc_next": (_c_int, [_text, ctypes.c_int64, ctypes.POINTER(ctypes.c_int64)]),
    "crontab_get_next_runs_json": (_text, [_text, _c_int]),
    "crontab_describe_expr": (_text, [_text]),
    "crontab_explain_expr": (_text, [_text]),
    "crontab_create": (HANDLE, [_text]),
    "crontab_destroy": (None, [HANDLE]),
    "crontab_start": (_c_int, [HANDLE]),
    "crontab_stop": (_c_int, [HANDLE]),
    "crontab_is_running": (_c_int, [HANDLE]),
    "crontab_add_job": (_c_int, [HANDLE, _text, _text, _text, _c_int]),
    "crontab_update_job": (_c_int, [HANDLE, _c_int, _text, _text, _text, _c_int]),
    "crontab_delete_job": (_c_int, [HANDLE, _c_int]),
    "crontab_set_job_timeout": (_c_int, [HANDLE, _c_int, _c_int]),
    "crontab_set_job_paths": (_c_int, [HANDLE, _c_int, _text, _text]),
    "crontab_set_job_overlap_policy": (_c_int, [HANDLE, _c_int, _c_int]),
    "crontab_set_job_retry": (_c_int, [HANDLE, _c_int, _c_int, _c_int]),
    "crontab_set_job_catch_up": (_c_int, [HANDLE, _c_int, _c_int]),
    "crontab_set_job_jitter": (_c_int, [HANDLE, _c_int, _c_int, _c_int]),
    "crontab_set_job_user": (_c_int, [HANDLE, _c_int, _text]),
    "crontab_reload": (_c_int, [HANDLE]),
    "crontab_run_now": (_c_int, [HANDLE, _c_int]),
    "crontab_cancel_job": (_c_int, [HANDLE, _c_int]),
    "crontab_get_jobs_json": (_text, [HANDLE]),
    "crontab_get_job_logs_json": (_text, [HANDLE, _c_int, _c_int]),
    "crontab_copy_jobs_json": (_owned, [HANDLE]),
    "crontab_copy_job_logs_json": (_owned, [HANDLE, _c_int, _c_int]),
    "crontab_free": (None, [ctypes.c_void_p]),
    "crontab_read_events_json": (_owned, [HANDLE, _seq, _c_int]),
    "crontab_get_last_event_seq": (_seq, [HANDLE]),
    "crontab_wait_events": (_c_int, [HANDLE, _seq, _c_int]),
    "crontab_get_events_fd": (_c_int, [HANDLE]),
    "crontab_copy_stats_json": (_owned, [HANDLE]),
    "crontab_join_cluster": (_c_int, [HANDLE, _text, _text, _c_int]),
    "crontab_leave_cluster": (_c_int, [HANDLE]),
    "crontab_copy_cluster_json": (_owned, [HANDLE]),
    "crontab_last_error": (_text, []),
    "crontab_last_error_code": (_c_int, []),
    "crontab_last_error_value": (ctypes.c_int64, []),
}


def _declare(lib: ctypes.CDLL) -> None:
    for name, (restype, argtypes) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes


def last_error(lib: ctypes.CDLL) -> str:
    """The library's sentence for the calling thread's most recent failure."""
    return (lib.crontab_last_error() or b"").decode("utf-8", "replace")


def last_failure(lib: ctypes.CDLL) -> tuple[int, int, str]:
    """Code, value and sentence of the calling thread's most recent failure:
    read on the thread that failed, before its next call."""
    return lib.crontab_last_error_code(), lib.crontab_last_error_value(), last_error(lib)


def take_text(lib: ctypes.CDLL, pointer: int | None) -> str:
    """The text of a crontab_copy_* or crontab_read_events_json result,
    which is freed here."""
    if not pointer:
        raise MemoryError("the library could not obtain memory for a report")
    try:
        return ctypes.string_at(pointer).decode("utf-8")
    finally:
        lib.crontab_free(pointer)
