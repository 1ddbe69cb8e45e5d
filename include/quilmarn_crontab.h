/*
 * quilmarn-crontab: schedule shell commands by cron expressions inside a host
 * program. Plain C API; usable from C99 and C++.
 *
 * Conventions
 * - Text arguments are zero-terminated UTF-8. A null text where one is
 *   required is a failure, never a crash.
 * - Texts returned by the library live in memory the library owns; the caller
 *   never frees them. Each function says how long its text stays valid; copy
 *   it if you need it longer.
 * - Every function may be called from any thread. Instance functions take the
 *   handle returned by crontab_create; after crontab_destroy the handle must
 *   not be used again.
 * - Results (CRONTAB_OK and the CRONTAB_ERROR_* codes below): 0 success, -1 a
 *   missing handle or text, an expression that does not parse, a full table
 *   or an unknown id, -2 a rejected setting value, -3 a change that could not
 *   be saved to the job store (and was undone). After any call,
 *   crontab_last_error() says in one sentence why it failed.
 * - Times are signed 64-bit seconds since the Unix epoch.
 */
#ifndef QUILMARN_CRONTAB_H
#define QUILMARN_CRONTAB_H

#include <stdint.h>

#if defined(_WIN32) && !defined(QUILMARN_CRONTAB_STATIC)
#    if defined(QUILMARN_CRONTAB_BUILD)
#        define CRONTAB_API __declspec(dllexport)
#    else
#        define CRONTAB_API __declspec(dllimport)
#    endif
#elif defined(__GNUC__)
#    define CRONTAB_API __attribute__((visibility("default")))
#else
#    define CRONTAB_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque scheduler instance. */
typedef struct crontab_t crontab_t;

/* Results of the instance and job functions. CRONTAB_ERROR is a missing handle
 * or text, a bad expression, a full table, an unknown id or a refused run. */
#define CRONTAB_OK 0 /* success (crontab_add_job returns the new id) */
#define CRONTAB_ERROR (-1)
#define CRONTAB_ERROR_SETTING (-2) /* a setting value was rejected */
#define CRONTAB_ERROR_STORE (-3)   /* the job store could not be saved; the change was undone */
#define CRONTAB_NO_CHILD 1         /* crontab_cancel_job: the job exists, no child to terminate now */

/* Exit codes of run records besides the command's own (0..255). */
#define CRONTAB_EXIT_NOT_STARTED (-1)    /* no child process could be started */
#define CRONTAB_EXIT_TIME_LIMIT (-2)     /* ended for its run-time limit */
#define CRONTAB_EXIT_CANCELLED (-3)      /* cancelled */
#define CRONTAB_EXIT_STATUS_UNKNOWN (-4) /* the child's exit status could not be known */
/* The library reaps its own children. A POSIX host must not ignore SIGCHLD
 * (SIG_IGN or SA_NOCLDWAIT) nor reap children it did not start (wait(),
 * waitpid(-1, ...)): a child reaped that way gives CRONTAB_EXIT_STATUS_UNKNOWN
 * with stderr "exit status not available: the host reaps child processes",
 * and that run is not retried, since the command may have succeeded. */

/* Overlap policies for crontab_set_job_overlap_policy. */
#define CRONTAB_OVERLAP_SKIP 0  /* a due run is not started while the job runs */
#define CRONTAB_OVERLAP_QUEUE 1 /* one due run waits and starts when the job's runs end */
#define CRONTAB_OVERLAP_ALLOW 2 /* runs of the job may execute side by side */

/* ---- Errors ---- */

/* The outcome of the most recent crontab_* call on the calling thread (every
 * function sets it except this one and crontab_version): "" after a success,
 * after a failure one English sentence naming the cause and the value, such
 * as "no job with id 7". The text lives in a per-thread buffer, valid until
 * the next crontab_* call on the same thread; it is valid UTF-8. */
CRONTAB_API const char *crontab_last_error(void);

/* ---- Expression services: no instance needed, no state kept ---- */

/* The library version, "MAJOR.MINOR.PATCH". Static text, valid forever. */
CRONTAB_API const char *crontab_version(void);

/* Validates a schedule expression: five fields, a macro (@daily ...) or
 * "@every N{s,m,h}", the first two optionally after a zone prefix
 * "CRON_TZ=<zone> " or "TZ=<zone> " (a name of the system's zone database,
 * such as "Europe/Berlin", spelt without "." or empty components), in which
 * the schedule is then matched. A process keeps up to 2048 zones; a zone file
 * that changes on disk (a tzdata update) is read again, looked at no more
 * than once a minute. Returns 0 when valid, -1 otherwise. When errbuf is not
 * null and errbuf_size > 0, errbuf receives the empty string on success or
 * the parser's message on failure, cut to errbuf_size - 1 bytes and always
 * zero-terminated. errbuf_size <= 0 leaves errbuf untouched. */
CRONTAB_API int crontab_validate_expr(const char *expr, char *errbuf, int errbuf_size);

/* Stores in *out the first fire time strictly after `after` and returns 0.
 * Returns -1 and leaves *out untouched when out is null, the expression does
 * not parse, or no fire time exists within five years. Calendar expressions
 * are matched against the local time of their zone prefix, or else of the
 * process (its TZ as it is at the time of the call). */
CRONTAB_API int crontab_calc_next(const char *expr, int64_t after, int64_t *out);

/* Upcoming fire times after now as a compact JSON array of
 * {"unix":<int>,"iso":"YYYY-MM-DDTHH:MM:SS","offset":"+HH:MM"} (local time
 * in the expression's zone and its UTC offset, which tells apart the two instants of a local time that
 * repeats when daylight-saving time ends), count clamped to 1..100. An expression that does not parse gives {"error":"<message>"}.
 * The text lives in a per-thread buffer (8192 bytes) that the next call of
 * this function on the same thread overwrites. */
CRONTAB_API const char *crontab_get_next_runs_json(const char *expr, int count);

/* An English description such as "At 09:30, Monday through Friday", or
 * "Invalid expression: <message>". The text lives in a per-thread buffer
 * (512 bytes) that the next call of this function on the same thread
 * overwrites. */
CRONTAB_API const char *crontab_describe_expr(const char *expr);

/* One complete English sentence that states the whole schedule: every field
 * that restricts, lists and ranges by name, steps as steps, the
 * day-of-month/day-of-week "or" rule spelled out, and the zone of a
 * CRON_TZ= prefix, for example "Every 15 minutes, from 09:00 through 17:59,
 * Monday through Friday" or "At 00:00 on day 13 of the month, or on Friday".
 * An expression that does not parse gives "Invalid expression: <message>".
 * The text lives in a per-thread buffer (2048 bytes, larger than any
 * sentence) that the next call of this function on the same thread
 * overwrites. */
CRONTAB_API const char *crontab_explain_expr(const char *expr);

/* ---- Instance lifecycle ---- */

/* Creates a stopped instance. data_dir holds the job store crontab.json; it
 * is made absolute here (a later chdir changes nothing) and created with its
 * parents when missing. null or "" means no persistence. Jobs stored there
 * are loaded. Reading the store never writes it: only the job functions
 * below save. A store whose jobs cannot all be taken (an expression that
 * does not parse, a text that does not fit, a duplicate id, more than 128
 * jobs) loads what it can, and the file is kept under a backup name before
 * the first change replaces it: crontab.json.bak, or crontab.json.bak.1,
 * .bak.2, ... when an earlier, different backup exists. Ids that appear in
 * the file stay used. Returns null, with the reason in crontab_last_error(),
 * when memory cannot be obtained; when data_dir is longer than 511 bytes
 * (as an absolute path), cannot be created, is not a directory or cannot be
 * written; on Windows, where names are UTF-16, when it is not valid UTF-8;
 * or when crontab.json exists but cannot be read as a whole (not JSON, not
 * UTF-8, a byte-order mark, a zero byte, not an object, larger than 8 MiB):
 * such a store is never replaced and no file is touched.
 * One instance owns a data directory until crontab_destroy: it holds an
 * exclusive lock on the file crontab.lock there (flock on POSIX, LockFileEx
 * on Windows), which holds its process id. Another crontab_create on the same
 * directory, in this process or another, returns null with
 * crontab_last_error() "data directory DIR is in use by process N". The lock
 * ends with crontab_destroy or with the process (also a crash); the file
 * stays. A child forked without exec shares the lock until it ends.
 * The data directory is trusted with the commands it runs, so on POSIX it
 * must be its owner's alone, like a directory of OpenSSH keys: owned by the
 * process's effective user (or by root) and writable by nobody else (no
 * group or other write bit); the same holds for every file the library
 * opens there (crontab.json, its backups, crontab.lock), which must also be
 * a regular file. A directory created here is made 0700 (its missing parents
 * get the usual 0755 less the umask); every file the library writes there
 * is made 0600, whatever the umask. Files are opened through a descriptor
 * of the directory (opened and checked again for each save, so a directory
 * that stopped qualifying fails the save), never through a symbolic link; a
 * FIFO or device is refused without waiting on it. Anything else is refused with a sentence naming the path and what it
 * is: "data directory D is owned by uid 1001 (ann) with mode 0755, not by
 * this process's user (uid 0 (root)) or root", "data directory D is
 * writable by its group or others (mode 0770, ...)", "D/crontab.json is a
 * FIFO", "D/crontab.lock is a symbolic link"; at create (null) or, for a
 * backup name, at the save that would write it (CRONTAB_ERROR_STORE). The
 * path up to the directory may go through links. A group-shared data
 * directory is not supported: hosts that share jobs go through one owning
 * process (the quilmarn-cron daemon and its socket, for instance).
 * An existing directory or file that others may read (such as 0755 or 0644
 * from an older release) is accepted, but then crontab_last_error() after a
 * successful create holds a warning naming it, "warning: data directory D
 * is readable by others: the directory (mode 0755), crontab.json (mode
 * 0644); ..."; it is "" when all is well. */
CRONTAB_API crontab_t *crontab_create(const char *data_dir);

/* Stops the scheduler, waits up to 60 s for runs in progress, cancels those
 * still going and waits for them to leave, and releases the instance. Writes
 * no file: every change was saved when it was made. Null is ignored. */
CRONTAB_API void crontab_destroy(crontab_t *ct);

/* Starts the scheduler thread. 0, or -1 for a null handle, a scheduler that
 * already runs, or a thread that could not be created.
 * At most 32 runs go on at once (crontab_run_now's included); when more jobs
 * are due, the ones due longest start first, ties in slot order. A run that
 * gets no thread is recorded with CRONTAB_EXIT_NOT_STARTED and stderr "failed
 * to start a worker thread"; its fire time counts as used. When the wall
 * clock steps back, every future fire time is computed again from the new
 * time; after a step forward each job that came due in the gap runs once. */
CRONTAB_API int crontab_start(crontab_t *ct);

/* Stops the scheduler thread and waits for it; runs in progress go on.
 * 0, or -1 for a null handle. */
CRONTAB_API int crontab_stop(crontab_t *ct);

/* 1 while the scheduler thread runs, else 0 (also for a null handle). */
CRONTAB_API int crontab_is_running(crontab_t *ct);

/* ---- Job management: every change is saved to the job store ----
 * Each function saves before it returns. When the save fails (a full disk,
 * a read-only mount, a data directory that has gone), the change is undone,
 * so the table always equals the file, and the function returns -3
 * (CRONTAB_ERROR_STORE) with the system's reason in crontab_last_error();
 * a failed crontab_add_job still uses up its id. */

/* Adds a job; the name is cut to 127 bytes on a character boundary. Returns
 * the new id (ids are never reused), -1 for a null handle or text, text
 * that is not UTF-8, an expression that does not parse or is longer than 127
 * bytes, a command longer than 1023 bytes, or a full table (128 jobs), or -3
 * when the job could not be saved (it is not added). */
CRONTAB_API int crontab_add_job(crontab_t *ct, const char *name, const char *expr, const char *cmd,
                                int enabled);

/* Replaces name, expression, command and enabled flag of job `id`, keeping
 * its settings and run records. 0, or -1 as for crontab_add_job or for an
 * unknown id. */
CRONTAB_API int crontab_update_job(crontab_t *ct, int id, const char *name, const char *expr, const char *cmd,
                                   int enabled);

/* Deletes job `id`; a command it is running goes on to its end. 0 or -1. */
CRONTAB_API int crontab_delete_job(crontab_t *ct, int id);

/* Run-time limit per attempt in seconds; 0 or negative means none. 0 or -1. */
CRONTAB_API int crontab_set_job_timeout(crontab_t *ct, int id, int max_runtime_sec);

/* Working directory (null or "" for the host's) and environment text
 * (NAME=VALUE lines separated by "\n"; null or "" for none). Returns -2 when
 * workdir is not a directory or longer than 511 bytes, or when env is text
 * the child would not receive whole: longer than 1023 bytes, a non-empty
 * line without "=" or with an empty name, a name or value longer than 255
 * bytes, more than 32 variables; or when either text is not UTF-8 (checked
 * before the id). -1 for a null handle or unknown id, -3 as above, else 0. */
CRONTAB_API int crontab_set_job_paths(crontab_t *ct, int id, const char *workdir, const char *env);

/* One of the CRONTAB_OVERLAP_* policies; -2 for another value. Switching to
 * SKIP drops a waiting queued run. 0, -1 or -2. */
CRONTAB_API int crontab_set_job_overlap_policy(crontab_t *ct, int id, int policy);

/* Up to retry_max (0..10) further attempts after a failed one, each after a
 * pause of retry_backoff_sec (0..3600). -2 outside those ranges. 0, -1, -2. */
CRONTAB_API int crontab_set_job_retry(crontab_t *ct, int id, int retry_max, int retry_backoff_sec);

/* ---- Runs ---- */

/* Runs job `id` now on the calling thread, with its retries, and returns when
 * the execution has ended: 0 when it was carried out (whatever the command's
 * exit code), -1 for a null handle, an unknown id, a job already running
 * under a policy other than ALLOW, 32 runs already active, or a job deleted
 * meanwhile. Disabled jobs run too. */
CRONTAB_API int crontab_run_now(crontab_t *ct, int id);

/* Cancels the job's executions in progress (every one of them under ALLOW):
 * stops their retries and terminates their children. 0 when a child was
 * terminated, 1 when the job exists but no child could be terminated at this
 * moment, -1 for a null handle or an unknown id. */
CRONTAB_API int crontab_cancel_job(crontab_t *ct, int id);

/* ---- Reports ----
 * Both reports return text in one buffer owned by the instance: it stays
 * valid until the next call of either report on the same instance (from any
 * thread) or until crontab_destroy. The text is complete, valid JSON however
 * long it is (it may exceed 64 KiB). A null handle (or, for the run log, an
 * unknown id) gives "[]" from a per-thread buffer valid for the life of the
 * calling thread. */

/* The job table as a compact JSON array, one object per job. */
CRONTAB_API const char *crontab_get_jobs_json(crontab_t *ct);

/* The newest `limit` run records of job `id` (1..20; anything else means
 * 20) as a compact JSON array, newest first. "exit_code" is the command's
 * own code or one of the CRONTAB_EXIT_* codes. */
CRONTAB_API const char *crontab_get_job_logs_json(crontab_t *ct, int id, int limit);

#ifdef __cplusplus
}
#endif

#endif /* QUILMARN_CRONTAB_H */
