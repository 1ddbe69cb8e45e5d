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
 *   crontab_last_error() says in one sentence why it failed and
 *   crontab_last_error_code() gives its CRONTAB_E_* code to branch on.
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
/* A due run cancels the job's running executions (children terminated as
 * crontab_cancel_job does, retries stopped) and starts once they have ended.
 * A library older than this one loads the job with policy SKIP and keeps a
 * backup of the store. */
#define CRONTAB_OVERLAP_REPLACE 3

/* ---- Limits ----
 * Text sizes are in bytes without the terminating zero. */
#define CRONTAB_MAX_JOBS 128                       /* jobs in one instance */
#define CRONTAB_LOG_CAPACITY 20                    /* run records kept per job */
#define CRONTAB_MAX_ACTIVE 32                      /* runs going on at once */
#define CRONTAB_RETRY_MAX 10                       /* further attempts after a failed one */
#define CRONTAB_BACKOFF_MAX_SEC 3600               /* pause before each further attempt */
#define CRONTAB_CATCH_UP_MAX_SEC 2678400           /* catch-up window (31 days) */
#define CRONTAB_JITTER_MAX_SEC 86400               /* largest start delay (one day) */
#define CRONTAB_NAME_MAX 127                       /* a job's name (longer names are cut) */
#define CRONTAB_EXPR_MAX 127                       /* an expression */
#define CRONTAB_CMD_MAX 1023                       /* a command */
#define CRONTAB_WORKDIR_MAX 511                    /* a working directory */
#define CRONTAB_ENV_MAX 1023                       /* a job's environment text */
#define CRONTAB_ENV_VARS_MAX 32                    /* variables in it */
#define CRONTAB_DATA_DIR_MAX 511                   /* a data directory, made absolute */
#define CRONTAB_NODE_MAX 127                       /* a cluster node's name */
#define CRONTAB_CONNINFO_MAX 4095                  /* a cluster's connection string */
#define CRONTAB_OUTPUT_MAX 4095                    /* stdout or stderr kept in a run record */
#define CRONTAB_USER_MAX 63                        /* a job's user name */
#define CRONTAB_EVENT_CAPACITY 4096                /* events an instance keeps (see Events) */
#define CRONTAB_EVENT_TEXT_BYTES (2 * 1024 * 1024) /* bytes of event output kept */

/* ---- Errors ---- */

/* Codes of crontab_last_error_code(): the class of the last failure. */
#define CRONTAB_E_NONE 0              /* the last call succeeded */
#define CRONTAB_E_OTHER 1             /* a failure no code below names */
#define CRONTAB_E_NO_INSTANCE 2       /* the handle is null */
#define CRONTAB_E_NOT_FOUND 3         /* no job has that id (value: the id) */
#define CRONTAB_E_BAD_ARGUMENT 4      /* a text is null, not UTF-8 or too long; a null result pointer */
#define CRONTAB_E_BAD_EXPRESSION 5    /* the expression does not parse or has no fire time */
#define CRONTAB_E_TABLE_FULL 6        /* 128 jobs, or no id left */
#define CRONTAB_E_REFUSED_RUN 7       /* crontab_run_now: running already, 32 runs active, destroying */
#define CRONTAB_E_BAD_SETTING 8       /* a setting value was rejected (result -2) */
#define CRONTAB_E_NOT_SAVED 9         /* the job store could not be saved (result -3) */
#define CRONTAB_E_DIR_IN_USE 10       /* the data directory is in use (value: owner's pid, 0 unknown) */
#define CRONTAB_E_DIR_UNUSABLE 11     /* the data directory cannot be made, locked or written */
#define CRONTAB_E_STORE_UNREADABLE 12 /* crontab.json cannot be read as a whole (reload: or is missing) */
#define CRONTAB_E_NO_MEMORY 13        /* memory could not be obtained */
#define CRONTAB_E_NO_CHILD 14         /* crontab_cancel_job: no child to terminate now (result 1) */
#define CRONTAB_E_BAD_STATE 15        /* the scheduler runs already, destroying, or no data directory */
#define CRONTAB_E_SYSTEM 16           /* the system refused a resource (a thread) */
#define CRONTAB_E_NOT_AVAILABLE 17    /* not offered on this platform */
#define CRONTAB_E_INTERNAL 18         /* a fault inside the library */

/* The outcome of the most recent crontab_* call on the calling thread (every
 * function sets it except this one and crontab_version): "" after a success,
 * after a failure one English sentence naming the cause and the value, such
 * as "no job with id 7". The text lives in a per-thread buffer, valid until
 * the next crontab_* call on the same thread; it is valid UTF-8. */
CRONTAB_API const char *crontab_last_error(void);

/* The CRONTAB_E_* code of the same outcome on the calling thread:
 * CRONTAB_E_NONE after a success. Branch on this, never on the sentence. */
CRONTAB_API int crontab_last_error_code(void);

/* The number the last failure on the calling thread names, else 0: the
 * owner's process id for CRONTAB_E_DIR_IN_USE (0 when unknown), the id asked
 * for with CRONTAB_E_NOT_FOUND. */
CRONTAB_API int64_t crontab_last_error_value(void);

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
 * zero-terminated. errbuf_size <= 0 leaves errbuf untouched.
 * "@reboot" (no zone prefix) has no calendar fire time: a started scheduler
 * runs such a job once per boot of the machine, known by the kernel's boot
 * id kept in "crontab.state.json", so a restart of the host process does
 * not run it again; where the boot id cannot be read (or on the desktop
 * platform), once per scheduler start. A job added while the scheduler runs
 * waits for the next start. */
CRONTAB_API int crontab_validate_expr(const char *expr, char *errbuf, int errbuf_size);

/* Stores in *out the first fire time strictly after `after` and returns 0.
 * Returns -1 and leaves *out untouched when out is null, the expression does
 * not parse, or no fire time exists within five years, and for "@reboot"
 * (CRONTAB_E_BAD_EXPRESSION, "... has no calendar fire time"). Calendar expressions
 * are matched against the local time of their zone prefix, or else of the
 * process (its TZ as it is at the time of the call). */
CRONTAB_API int crontab_calc_next(const char *expr, int64_t after, int64_t *out);

/* Upcoming fire times after now as a compact JSON array of
 * {"unix":<int>,"iso":"YYYY-MM-DDTHH:MM:SS","offset":"+HH:MM"} (local time
 * in the expression's zone and its UTC offset, which tells apart the two instants of a local time that
 * repeats when daylight-saving time ends), count clamped to 1..100; "[]" for "@reboot". An expression that does not parse gives {"error":"<message>"}.
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
 * jobs, a user that does not exist or may not be run as) loads what it can, and the file is kept under a backup name before
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

/* Catch-up after downtime: window_sec (0..CRONTAB_CATCH_UP_MAX_SEC; 0, the
 * default, turns it off). The instance keeps, per job with a window or
 * "@reboot", the last fire time it admitted in "crontab.state.json" beside
 * the store (written at most once per scheduler pass, only for such jobs).
 * When the scheduler starts, or the wall clock steps forward, a job that
 * missed fire times since that stamp runs once, serving the latest of them,
 * if that one lies at most window_sec in the past ("admitted" with
 * "trigger": "catch_up"); otherwise nothing runs and the misses are told as
 * one "missed" event. A job without a stamp (new, or after the state file
 * was lost) does not catch up. A crash between a run's admission and its
 * stamp reaching the disk (one scheduler pass) can run that fire time again
 * at the next start.
 * Example: "0 2 * * *" with a window of 21600 runs the 02:00 job at 07:00
 * when the machine was off from 01:00 to 07:00, but not at 09:00.
 * 0, -1 (null handle, unknown id), -2 (out of range) or -3 (store not saved). */
CRONTAB_API int crontab_set_job_catch_up(crontab_t *ct, int id, int window_sec);

/* Jitter: each scheduled fire starts after a delay in [0, max_delay_sec]
 * (0..CRONTAB_JITTER_MAX_SEC; 0 turns it off), drawn at random per fire, or
 * with fixed non-zero the same for every fire: derived from the machine id
 * (/etc/machine-id) and the job's name, so it is stable across restarts and
 * differs between hosts. The fire time before the delay stays the run's
 * identity ("fire_time"); "admitted" gives the delay as "delay_ms". A
 * waiting fire holds none of the CRONTAB_MAX_ACTIVE places, and the job's
 * next fire is not considered before it starts, so fires never reorder.
 * Example: "0 * * * *" with 300 spreads a fleet's hourly job over five
 * minutes. 0, -1, -2 (out of range) or -3. */
CRONTAB_API int crontab_set_job_jitter(crontab_t *ct, int id, int max_delay_sec, int fixed);

/* The user account the job's commands run as; null or "" for none (the
 * host's own account, as before). The name must exist, and a host that does
 * not run as root may only name its own account: else -2
 * (CRONTAB_E_BAD_SETTING), checked before the id. On the desktop platform
 * every name gives -2 with CRONTAB_E_NOT_AVAILABLE. A store holding a job
 * whose user does not exist (or is another's while the host is not root)
 * leaves that job out at load, as a job that does not fit (see
 * crontab_create).
 * When each attempt begins the account is looked up again (getpwnam_r,
 * getgrouplist; without the instance lock). The child then runs, when the
 * host is root, with the account's uid, gid and supplementary groups; in
 * every case with HOME, LOGNAME and USER of the account and SHELL=/bin/sh
 * (the job's environment text may set them otherwise), and in the
 * account's home directory ("/" when that cannot be entered) unless the job
 * has a working directory, which is then entered as the user. The switch
 * happens in the child before the command starts; the host's ids never
 * change. An account that is gone by then gives an attempt with
 * CRONTAB_EXIT_NOT_STARTED and stderr "user 'NAME' does not exist".
 * Example: crontab_set_job_user(ct, id, "www-data"). 0, -1, -2 or -3. */
CRONTAB_API int crontab_set_job_user(crontab_t *ct, int id, const char *user);

/* Reads crontab.json again (after a hand edit, say) and applies the
 * difference by job id, under the instance lock, also while the scheduler
 * runs: a job only in the file is added with its id; a job only in memory
 * is removed as crontab_delete_job removes it (a command it runs goes on to
 * its end, unrecorded); a job whose stored definition differs takes the
 * file's as crontab_update_job does (every setting; its run records, counts,
 * statistics and a run going on stay, the next fire time is computed from
 * now); an unchanged job keeps everything. Each is told as an added,
 * changed ("change": "reload") or removed event with "cause": "reload",
 * then one "reloaded" event gives the counts "added", "changed", "removed"
 * and "kept". Ids never go back: the next id stays above every id seen, and
 * a job the file lists without an id gets a new one.
 * Nothing is written: the file already holds the jobs.
 * The file is opened as at crontab_create (trusted, through the directory)
 * and taken whole or not at all: when it is missing, a link, a FIFO, not
 * its owner's, larger than 8 MiB, not JSON, or holds a job the load would
 * leave out or alter (one that does not parse or fit, a duplicate id, an
 * unknown member ...), nothing changes, no backup is used, and -1 is
 * returned with crontab_last_error() "the jobs were not reloaded: " and the
 * file's name and the reason, crontab_last_error_code()
 * CRONTAB_E_STORE_UNREADABLE (CRONTAB_E_DIR_UNUSABLE when the directory no
 * longer qualifies). An instance without a data directory gives -1 with
 * CRONTAB_E_BAD_STATE; a null handle -1. 0 on success. */
CRONTAB_API int crontab_reload(crontab_t *ct);

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
 * The three reports (jobs, run log, statistics) return text in one buffer
 * owned by the instance: it stays valid until the next call of any of them
 * on the same instance (from any thread) or until crontab_destroy. The text is complete, valid JSON however
 * long it is (it may exceed 64 KiB). A null handle (or, for the run log, an
 * unknown id) gives "[]" from a per-thread buffer valid for the life of the
 * calling thread. */

/* The job table as a compact JSON array, one object per job. */
CRONTAB_API const char *crontab_get_jobs_json(crontab_t *ct);

/* The newest `limit` run records of job `id` (1..20; anything else means
 * 20) as a compact JSON array, newest first. "exit_code" is the command's
 * own code or one of the CRONTAB_EXIT_* codes; "execution" the id of the
 * execution the attempt belongs to (see Events). */
CRONTAB_API const char *crontab_get_job_logs_json(crontab_t *ct, int id, int limit);

/* Counters since the instance was created, as one compact JSON object:
 * "created_ms", "now_ms" (wall time in milliseconds), "scheduler_running",
 * "active_runs" (runs going on), "events" (the newest event's number),
 * "events_lost" (events the ring overwrote before any read had returned
 * them or passed them as `after`; an instance nobody reads loses all but the
 * newest 4096), "duration_bounds_sec" (the upper bounds of the duration
 * buckets: 1, 5, 15, 30, 60, 300, 900, 1800, 3600, 7200) and "jobs", one
 * object per job: "id", "name", "enabled"; the counts "executions" (ended,
 * the sum of "succeeded", "failed", "timed_out", "cancelled", "not_started"
 * and "status_unknown", by the outcome of their ended event), "skipped" (fire
 * times told as skipped, the sum of "skipped_running", "skipped_limit" and
 * "skipped_late" by reason; a fire time held back while the job runs is told
 * once, and may still start later), "queued", "missed" (fire times told in
 * missed events), "claimed_elsewhere", "attempts" (finished attempts),
 * "retries"; "last_success_ms" and "last_failure_ms" (when the last
 * execution ended that succeeded, or failed, timed out or did not start; 0
 * never), "running" (executions going on), "next_run" (epoch seconds, 0 for
 * none or a disabled job), "duration_counts" (executions that began, by
 * length from their start to their end: one count per bound, each for the
 * lengths above the bound before, and one for those longer than the last)
 * and "duration_sum_ms". The counters are made with the events, under the
 * same lock; a change of a job keeps them, deleting it drops them. A null
 * handle gives "{}" from a per-thread buffer. */
CRONTAB_API const char *crontab_get_stats_json(crontab_t *ct);

/* ---- Copies for threaded hosts ----
 * The same texts as the three reports above, in memory of their own that the
 * caller releases with crontab_free: no other call overwrites them, so
 * threads need no lock of their own. A null handle (or an unknown id) gives
 * "[]" ("{}" for the statistics) with the error set; null only when memory
 * cannot be obtained. */
CRONTAB_API char *crontab_copy_jobs_json(crontab_t *ct);
CRONTAB_API char *crontab_copy_job_logs_json(crontab_t *ct, int id, int limit);
CRONTAB_API char *crontab_copy_stats_json(crontab_t *ct);

/* Releases a text returned by a crontab_copy_* or crontab_read_events_json
 * call. Null is ignored. */
CRONTAB_API void crontab_free(void *text);

/* ---- Running on several machines ----
 * Instances that share a PostgreSQL database (9.5 or later) run each
 * scheduled fire time once between them. Before the first attempt of a
 * scheduled execution, on the worker's thread, the instance claims (job
 * name, scheduled fire time) in the table quilmarn_claims, made on first use
 * (columns job text, fire_time bigint epoch seconds, node text, claimed_at,
 * heartbeat_at, ended_at timestamptz; primary key (job, fire_time)). The
 * node that wins runs it; the others tell claimed_elsewhere and record
 * nothing. Runs by crontab_run_now are not claimed. Jobs are matched across
 * instances by name: give every replica the same names and schedules.
 * For a job whose policy is skip, a claim is also refused while another of
 * the job's claims has not ended and its heartbeat (beaten every 5 s by its
 * node) is younger than 30 s: a job that outlasts its interval on one node
 * is not started on another, and a dead node blocks for 30 s at most. Queue,
 * replace and allow keep their meaning on the node that runs the job; across
 * nodes a fire time goes to whichever node claims it first. The fire time
 * claimed is the one scheduled, before any jitter delay; queued, replacing,
 * catch-up and @reboot runs claim the fire time they serve.
 * A claim that has no answer within 5 s, or finds no connection (retried
 * with a back-off doubling from 0.25 s to 4 s), counts as unreachable: under
 * CRONTAB_CLUSTER_SKIP the fire time is not run here (a not_started event
 * with reason "cluster_unreachable" and a run record say so), under
 * CRONTAB_CLUSTER_RUN it runs anyway (at least once across nodes). Claims
 * older than 7 days are deleted, at most once an hour, by a node that
 * claims. The scheduler thread never waits on the database.
 * libpq (libpq.so.5) is loaded when a cluster is first joined: a host that
 * never joins needs neither libpq nor a server. */
#define CRONTAB_CLUSTER_SKIP 0 /* unreachable: the fire time is not run on this node */
#define CRONTAB_CLUSTER_RUN 1  /* unreachable: this node runs it anyway */

/* Joins the cluster whose database `conninfo` names (a libpq connection
 * string or postgresql:// URI, at most CRONTAB_CONNINFO_MAX bytes) as
 * `node` (null or "": "HOSTNAME:PID"; at most CRONTAB_NODE_MAX bytes, unique
 * among live nodes), with `when_unreachable` one of CRONTAB_CLUSTER_*.
 * Allowed while the scheduler runs: executions admitted afterwards claim; a
 * second join replaces the first. Connects in the background and returns at
 * once. 0 on success; -1 with CRONTAB_E_NOT_AVAILABLE when libpq.so.5
 * cannot be loaded or on the desktop platform, CRONTAB_E_BAD_ARGUMENT for a
 * connection string that does not parse or a bad text, CRONTAB_E_BAD_SETTING
 * for another policy value. */
CRONTAB_API int crontab_join_cluster(crontab_t *ct, const char *conninfo, const char *node,
                                     int when_unreachable);

/* Leaves the cluster: executions admitted afterwards are not claimed. May
 * wait up to 5 s for the heartbeat thread's statement in flight. 0, also
 * when no cluster was joined; -1 for a null handle. */
CRONTAB_API int crontab_leave_cluster(crontab_t *ct);

/* The cluster as JSON: {"joined":false}, or {"joined":true,"node":...,
 * "reachable":true|false|null (null before the first statement),
 * "when_unreachable":"skip"|"run","error":"" or the last failure's
 * sentence}. Released with crontab_free; null for a null handle or when
 * memory cannot be obtained. */
CRONTAB_API char *crontab_copy_cluster_json(crontab_t *ct);

/* ---- Events ----
 * Each instance tells what it decides as events, in the order it decides
 * them, numbered 1, 2, 3 ... (64-bit, never reused while the instance lives;
 * a new instance counts from 1 again, so a number kept across instances
 * means nothing).
 * The library calls nothing back: the host drains the feed. It keeps the
 * newest CRONTAB_EVENT_CAPACITY (4096) events, and beside them up to
 * CRONTAB_EVENT_TEXT_BYTES (2 MiB) of their texts (a finished attempt's
 * output, a failed save's sentence): about 3 MiB per instance at most, in
 * pages that stay untouched until events reach them. An event nobody reads
 * costs its memory and no more.
 *
 * crontab_read_events_json gives a compact JSON array of objects. Every
 * object has "seq", "time_ms" (wall time in milliseconds when it happened)
 * and "kind"; events of a job have "job_id" and "job_name"; events of one
 * execution (one admitted start of a job, with its attempts) have
 * "execution", an id that increases per instance and that the job's run
 * records carry as well. By kind:
 *   admitted     "trigger": "schedule", "queue" (a queued run starts),
 *                "replace" (the run that replaced cancelled ones starts),
 *                "catch_up" (a fire time missed while the scheduler was
 *                stopped or the clock stepped), "reboot" (an "@reboot" job
 *                at scheduler start) or "hand" (crontab_run_now);
 *                "fire_time" (epoch seconds, before any jitter delay) for
 *                all but "hand"; "delay_ms" when the job has a jitter
 *   missed       fire times of a job with a catch-up window that lay
 *                outside it and were not run: "count", "fire_time" (the
 *                latest of them)
 *   state_damaged  "crontab.state.json" could not be read at scheduler
 *                start: no catch-up and @reboot runs as on a new boot this
 *                time; "error" (its sentence)
 *   skipped      a due fire time not started now: "fire_time", "count" (of
 *                fire times) and "reason": "running" (the job runs and its
 *                policy does not allow another; told once per fire time, which
 *                stays due), "limit" (32 runs go on; the same), "late" (a run
 *                admitted late also serves these later fire times)
 *   queued       "fire_time" the waiting run serves (policy QUEUE or REPLACE)
 *   started      one per attempt whose child started: "attempt", "pid"
 *   not_started  an attempt without a child: "attempt", "reason":
 *                "no_thread", "no_child", "no_user" (the job's user
 *                could not be looked up) or "cluster_unreachable" (the
 *                claim failed under CRONTAB_CLUSTER_SKIP; the record of the
 *                finished event that follows says why)
 *   claimed_elsewhere  another node holds the execution's fire time: "node"
 *                (the winner's name), "fire_time" and "reason": "claimed" or
 *                "running" (skip policy: the job runs on "node"). It ends
 *                the execution: no run record, no ended event follows
 *   finished     one per attempt: "attempt", "record" (the run record as
 *                crontab_get_job_logs_json writes it) and "output_lost":
 *                true when later texts have overwritten this attempt's
 *                output, which "record" then gives as ""
 *   retrying     "attempt" (the next one's number), "retry_at_ms"
 *   ended        one per execution: "outcome" ("succeeded", "failed",
 *                "timed_out", "cancelled", "not_started", "status_unknown"),
 *                "attempts", "exit_code" (of the last attempt) and
 *                "retries_exhausted": true when it failed and will not be
 *                tried again (not for a cancel or an unknown status)
 *   cancelled    crontab_cancel_job reached the execution:
 *                "child_signalled"
 *   added, removed, changed ("change": "definition", "timeout", "paths",
 *                "overlap_policy", "retry", "catch_up", "jitter" or "user"): a
 *                job export saved it; with "cause": "reload" (and for changed
 *                "change": "reload") crontab_reload took it from the file
 *   reloaded     crontab_reload applied the file: "added", "changed",
 *                "removed", "kept" (jobs)
 *   save_failed  a job export could not save: "error" (its sentence),
 *                "output_lost"
 *   scheduler_started, scheduler_stopped
 *   lost         "count" events after the reader's `after` that the ring
 *                dropped before they were read (the oldest go first); it
 *                takes the number of the last of them, so the numbers a
 *                reader sees still go up by one.
 * New kinds and members may be added; hosts ignore what they do not know. */

/* Up to max_events (1..4096; anything else means 4096) events numbered
 * after `after`, oldest first, as a JSON array ("[]" when none). Pass 0 for
 * the oldest kept, crontab_get_last_event_seq() to begin from now. The
 * text is the caller's, released with crontab_free. Null for a null handle
 * or when memory cannot be obtained. */
CRONTAB_API char *crontab_read_events_json(crontab_t *ct, uint64_t after, int max_events);

/* The number of the newest event, 0 before the first (also for null). */
CRONTAB_API uint64_t crontab_get_last_event_seq(crontab_t *ct);

/* Blocks until an event numbered after `after` exists (1) or timeout_ms
 * milliseconds have passed (0); a negative timeout waits without limit. -1
 * for a null handle. Every platform. The instance must not be destroyed
 * while a thread waits in it. */
CRONTAB_API int crontab_wait_events(crontab_t *ct, uint64_t after, int timeout_ms);

/* A descriptor for poll, epoll, asyncio's add_reader or libuv's uv_poll: it
 * is readable while events newer than the last read exist. The last read is
 * the highest number that any crontab_read_events_json call on the instance
 * has returned or been given as `after`, so a single reader that drains
 * until the array is shorter than asked leaves it not readable. Read the
 * events, never the descriptor. The instance owns it (one per instance, the
 * same on every call) and closes it in crontab_destroy: remove it from the
 * host's loop before. -1 for a null handle, and always on the desktop
 * platform (CRONTAB_E_NOT_AVAILABLE), where hosts use crontab_wait_events. */
CRONTAB_API int crontab_get_events_fd(crontab_t *ct);

#ifdef __cplusplus
}
#endif

#endif /* QUILMARN_CRONTAB_H */
