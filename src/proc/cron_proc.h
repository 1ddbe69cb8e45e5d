// The command runner: one command line as a child process of the system
// interpreter, with captured output, a time limit and cancellation. One
// implementation file per platform sits behind this header.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "proc/cron_user.h"
#include "quilmarn_crontab.h"

constexpr size_t CRON_CAPTURE_LIMIT = 65536;  // bytes kept per stream
constexpr int CRON_EXIT_TIMEOUT = 3002;       // desktop exit code for a time-limit kill
constexpr int CRON_EXIT_CANCEL = 3003;        // desktop exit code for a cancel kill
constexpr int CRON_ENV_MAX_VARS = 32;

// The desktop platform's process HANDLE of a running child; CRON_PROC_NONE
// when there is none.
using cron_proc_handle_t = intptr_t;
constexpr cron_proc_handle_t CRON_PROC_NONE = -1;

// Control block of one execution, shared by the executing thread, the runner
// on that thread, and crontab_cancel_job on a host thread. The flags are read
// without any lock; proc_handle and proc_id are read and written only under
// `mu`, which the runner also holds while it clears them before releasing the
// child, so a canceller never signals a child that has already been reaped.
struct cron_run_ctl_t {
    std::atomic<int32_t> cancel_requested{0};
    std::atomic<int32_t> proc_active{0};
#ifdef _WIN32
    cron_proc_handle_t proc_handle = CRON_PROC_NONE;  // what a cancel terminates
#endif
    uint32_t proc_id = 0;  // on POSIX a cancel signals this process's group
    int32_t job_id = 0;    // set by its owner: a cancel of a job reaches all its executions
    std::mutex mu;
    uint64_t execution = 0;  // the owner's execution id; the runner does not read it
    // Called by the runner on its own thread once a child exists, without
    // `mu` held, so the owner may take its own lock to tell of the start.
    void (*on_child)(cron_run_ctl_t* ctl, uint32_t pid) = nullptr;
};

struct cron_proc_result_t {
    int32_t exit_code;    // child's code, or a CRONTAB_EXIT_* code
    int32_t duration_ms;  // monotonic, from just before the start to the reap
    char* stdout_buf;     // CRON_CAPTURE_LIMIT + 1 bytes, zero-terminated
    char* stderr_buf;
    uint64_t stdout_len;  // at most CRON_CAPTURE_LIMIT
    uint64_t stderr_len;
    int32_t killed;  // ended by a time-limit or cancel termination
};

// Runs `cmd` and blocks until the child has ended. 0: the child ran (the
// result owns both buffers; release them with cron_proc_result_free). -1: no
// child could be run (null cmd or result, bad workdir, no resources); the
// result then owns nothing. ctl, workdir and env may be null. May throw
// std::bad_alloc while it prepares, before any child exists and with ctl
// untouched, so the caller can say why nothing ran.
// With an account (POSIX only; the desktop platform returns -1) the child
// takes it on before the command starts: its ids when account->switch_ids,
// HOME, LOGNAME, USER and SHELL=/bin/sh under the job's own variables, and
// its home (else "/") when workdir is empty.
int cron_proc_run(const char* cmd, cron_proc_result_t* result, int32_t max_runtime_sec, cron_run_ctl_t* ctl,
                  const char* workdir, const char* env, const cron_account_t* account = nullptr);

// Releases the capture buffers; safe on null and when called twice.
void cron_proc_result_free(cron_proc_result_t* result);

// Records a cancel request in ctl and terminates its child if one exists now.
// Returns 0 when a child was signalled, 1 otherwise. Safe against the runner
// finishing at the same moment.
int cron_proc_cancel(cron_run_ctl_t* ctl);

// The child's complete environment: the process environment with the job's
// NAME=VALUE lines set over it. Null when the text yields no entry (the child
// then inherits the environment). POSIX: an envp array and its strings in one
// allocation; the desktop platform: a UTF-16 block. Release with free().
#ifdef _WIN32
using cron_env_block_t = wchar_t*;
#else
using cron_env_block_t = char**;
#endif
cron_env_block_t cron_build_env_block(const char* env_text);
#ifndef _WIN32
// The same with `base_text`'s NAME=VALUE lines set under the job's: a
// variable the job's text names keeps the job's value.
cron_env_block_t cron_build_env_block_over(const char* base_text, const char* env_text);
#endif
