// The instance record and its job table. Everything here is read and written
// under the instance lock (shared->lock) unless a comment says otherwise.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "expr/cron_parser.h"
#include "proc/cron_proc.h"
#include "proc/cron_signal.h"
#include "quilmarn_crontab.h"
#include "sched/cron_events.h"
#include "sched/cron_stats.h"

constexpr int CRON_MAX_JOBS = 128;
constexpr int CRON_LOG_CAPACITY = 20;
constexpr int CRON_MAX_ACTIVE = 32;
constexpr int CRON_OVERLAP_SKIP = 0;
constexpr int CRON_OVERLAP_QUEUE = 1;
constexpr int CRON_OVERLAP_ALLOW = 2;
constexpr int CRON_OVERLAP_REPLACE = 3;
// Hosts pass the public names; the table stores these.
static_assert(CRON_OVERLAP_SKIP == CRONTAB_OVERLAP_SKIP && CRON_OVERLAP_QUEUE == CRONTAB_OVERLAP_QUEUE &&
              CRON_OVERLAP_ALLOW == CRONTAB_OVERLAP_ALLOW && CRON_OVERLAP_REPLACE == CRONTAB_OVERLAP_REPLACE);

constexpr size_t CRON_NAME_SIZE = 128;
constexpr size_t CRON_EXPR_SIZE = 128;
constexpr size_t CRON_CMD_SIZE = 1024;
constexpr size_t CRON_WORKDIR_SIZE = 512;
constexpr size_t CRON_ENV_SIZE = 1024;
constexpr size_t CRON_DATA_DIR_SIZE = 512;
constexpr size_t CRON_LOG_TEXT_SIZE = 4096;
constexpr size_t CRON_USER_SIZE = 64;  // a user account's name
static_assert(CRON_USER_SIZE == CRONTAB_USER_MAX + 1);
// The header's limits are these; hosts use the header's names.
static_assert(CRON_MAX_JOBS == CRONTAB_MAX_JOBS && CRON_LOG_CAPACITY == CRONTAB_LOG_CAPACITY &&
              CRON_MAX_ACTIVE == CRONTAB_MAX_ACTIVE);
static_assert(CRON_NAME_SIZE == CRONTAB_NAME_MAX + 1 && CRON_EXPR_SIZE == CRONTAB_EXPR_MAX + 1 &&
              CRON_CMD_SIZE == CRONTAB_CMD_MAX + 1 && CRON_WORKDIR_SIZE == CRONTAB_WORKDIR_MAX + 1 &&
              CRON_ENV_SIZE == CRONTAB_ENV_MAX + 1 && CRON_DATA_DIR_SIZE == CRONTAB_DATA_DIR_MAX + 1 &&
              CRON_LOG_TEXT_SIZE == CRONTAB_OUTPUT_MAX + 1);

// One run record: one attempt of an execution. The stream members are not
// called stdout/stderr because those are macros in some C libraries.
struct cron_log_entry_t {
    int64_t started_at;
    int64_t finished_at;
    int32_t duration_ms;
    int32_t exit_code;  // child's code, or a CRONTAB_EXIT_* code
    char stdout_text[CRON_LOG_TEXT_SIZE];
    char stderr_text[CRON_LOG_TEXT_SIZE];
    int32_t truncated;
    int32_t cancelled;
    int32_t attempt;
    uint64_t execution;  // the execution the attempt belongs to
    int64_t fire_time;   // the scheduled fire time it serves (before jitter); 0: by hand
};

// The part of a slot a job export may change: the definition, the settings
// and the schedule state they reset. Run records and run counts are no
// export's to write; a change whose save fails puts this part back whole.
struct cron_job_def_t {
    char name[CRON_NAME_SIZE];
    char expr[CRON_EXPR_SIZE];
    char cmd[CRON_CMD_SIZE];
    int32_t enabled;
    cron_expr_t sched;
    int64_t next_run;  // 0 or below: not computed yet
    int32_t max_runtime_sec;
    char workdir[CRON_WORKDIR_SIZE];
    char env[CRON_ENV_SIZE];
    int32_t overlap_policy;
    int32_t queued;
    int32_t retry_max;
    int32_t retry_backoff_sec;
    // Catch-up window and jitter (see cron_timing.h); 0: off.
    int32_t catch_up_sec;
    int32_t jitter_sec;
    int32_t jitter_fixed;
    char user[CRON_USER_SIZE];  // the account the child runs as; "" the host's
};

// One job slot. Plain data without constructors: a free slot is all zero, and
// the instance's untouched slots must stay untouched pages.
struct cron_job_t : cron_job_def_t {
    int32_t id;
    int64_t last_run;
    cron_log_entry_t logs[CRON_LOG_CAPACITY];
    int32_t log_count;
    int32_t log_head;
    int32_t in_use;
    int32_t running_count;
    int64_t queued_fire;  // the fire time a queued run serves
    int64_t skip_noted;   // the last due fire time told as skipped
    // Catch-up, jitter and @reboot state (see cron_timing.h).
    int64_t stamp;           // the last fire time admitted, as kept in the state file; 0 none
    int32_t catch_up_due;    // next_run is a missed fire time: 1 to decide, 2 decided to run
    int32_t reboot_ran;      // an @reboot job has run in this boot
    int64_t jitter_for;      // the fire time whose delay is drawn; 0 none
    int64_t jitter_at_ms;    // when that fire may start
    cron_job_stats_t stats;  // since the job was added; a change keeps them
};

// The heap part of an instance: the lock and everything that needs a
// constructor. Created by crontab_create, released last by crontab_destroy.
struct cron_cluster_t;

struct cron_shared_t {
    std::mutex lock;
    std::mutex stop_lock;                 // serialises stops; taken before `lock`, never inside it
    std::condition_variable wake;         // ends the scheduler's pause early on stop
    std::condition_variable idle;         // notified when active_runs or live_execs drops
    std::thread sched_thread;             // joinable while `running` is 1
    std::string jobs_json_buf;            // text of the last report call
    std::string last_saved;               // last store text that reached the disk
    bool keep_backup = false;             // the loaded store was not taken whole
    bool destroying = false;              // no new executions may begin
    int32_t live_execs = 0;               // executions that may still touch the instance;
                                          // lowering it is an execution's last touch
    std::vector<cron_run_ctl_t*> active;  // control blocks of executions in progress
    bool rescan = false;                  // a finished run may have made a job admissible
    int64_t clock_offset_ms = 0;          // wall minus monotonic clock when last looked at
    intptr_t dir_lock = -1;               // the data directory's lock (cron_os_lock_t), or -1
    // How long destroy waits for runs to end by themselves before it cancels
    // them; only tests shorten it.
    std::chrono::milliseconds runs_grace{std::chrono::seconds(60)};
    std::condition_variable events_cv;           // notified on each event while event_waiters > 0
    int32_t event_waiters = 0;                   // threads in crontab_wait_events
    cron_signal_t events_fd = CRON_SIGNAL_NONE;  // made by the first crontab_get_events_fd
    bool events_fd_raised = false;               // events_fd is readable
    bool state_dirty = false;                    // a stamp changed since the state file was written
    std::string boot_id;                         // of this boot; "" when it cannot be read
    std::string machine_id;                      // for fixed jitter; "" when it cannot be read
    std::shared_ptr<cron_cluster_t> cluster;     // joined cluster, or null (see cron_cluster.h)

    cron_shared_t() = default;
    cron_shared_t(const cron_shared_t&) = delete;
    cron_shared_t& operator=(const cron_shared_t&) = delete;
    ~cron_shared_t() { cron_signal_close(events_fd); }
};

struct crontab_t {
    char data_dir[CRON_DATA_DIR_SIZE];  // empty: no persistence
    cron_job_t jobs[CRON_MAX_JOBS];
    int32_t next_id;
    std::atomic<int32_t> running;         // scheduler thread exists
    std::atomic<int32_t> stop_requested;  // scheduler thread must leave
    int32_t active_runs;                  // admitted, unfinished runs
    cron_shared_t* shared;
    uint64_t last_execution;  // id of the newest execution, 0 before the first
    cron_feed_t feed;         // last in the mapping: its unreached pages stay untouched
};

// The in-use slot holding `id`, or null. Search again after every re-lock:
// the job may have been deleted meanwhile.
cron_job_t* cron_job_find(crontab_t* ct, int32_t id);

// Frees the slot: all of it zero, its record pages handed back untouched.
void cron_job_clear(cron_job_t* job);

// Appends a copy of `entry` to the job's ring of the last 20 records.
void cron_job_push_log(cron_job_t* job, const cron_log_entry_t* entry);

// next_run = first fire time after `now`, or -1 when there is none.
void cron_recompute_next(cron_job_t* job, int64_t now);

// Lowers a counter by one, never below 0.
inline void cron_decrement(int32_t& counter) {
    if (counter > 0) --counter;
}
