// The instance's event feed: a ring of the last CRON_EVENT_CAPACITY events,
// each appended under the instance lock where its decision is taken, and a
// byte ring beside it for the texts of some events (a finished attempt's
// output, a failed save's sentence). Hosts drain it through the exports.
//
// Both rings are plain data inside the instance's zero-filled mapping: pages
// no event has reached stay untouched, and appending allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "quilmarn_crontab.h"

constexpr int CRON_EVENT_CAPACITY = 4096;
constexpr size_t CRON_EVENT_TEXT_BYTES = size_t{2} * 1024 * 1024;
static_assert(CRON_EVENT_CAPACITY == CRONTAB_EVENT_CAPACITY &&
              CRON_EVENT_TEXT_BYTES == CRONTAB_EVENT_TEXT_BYTES);

enum class cron_event_kind : int32_t {
    admitted = 1,
    skipped,
    queued,
    started,
    finished,
    retrying,
    ended,
    cancelled,
    not_started,
    added,
    changed,
    removed,
    save_failed,
    scheduler_started,
    scheduler_stopped,
    lost,
    missed,
    state_damaged,
    claimed_elsewhere,
    reloaded,
};

// The `detail` of an event, by kind.
enum cron_event_trigger : int32_t {
    CRON_TRIGGER_SCHEDULE,
    CRON_TRIGGER_HAND,
    CRON_TRIGGER_QUEUE,
    CRON_TRIGGER_REPLACE,
    CRON_TRIGGER_CATCH_UP,
    CRON_TRIGGER_REBOOT,
};
enum cron_event_skip : int32_t { CRON_SKIP_RUNNING, CRON_SKIP_LIMIT, CRON_SKIP_LATE };
enum cron_event_outcome : int32_t {
    CRON_OUTCOME_SUCCEEDED,
    CRON_OUTCOME_FAILED,
    CRON_OUTCOME_TIMED_OUT,
    CRON_OUTCOME_CANCELLED,
    CRON_OUTCOME_NOT_STARTED,
    CRON_OUTCOME_STATUS_UNKNOWN,
};
enum cron_event_no_start : int32_t {
    CRON_NO_START_THREAD,
    CRON_NO_START_CHILD,
    CRON_NO_START_USER,
    CRON_NO_START_CLUSTER,
};
enum cron_event_claim : int32_t { CRON_CLAIM_TAKEN, CRON_CLAIM_RUNNING };
enum cron_event_change : int32_t {
    CRON_CHANGE_DEFINITION,
    CRON_CHANGE_TIMEOUT,
    CRON_CHANGE_PATHS,
    CRON_CHANGE_OVERLAP,
    CRON_CHANGE_RETRY,
    CRON_CHANGE_CATCH_UP,
    CRON_CHANGE_JITTER,
    CRON_CHANGE_USER,
    CRON_CHANGE_RELOAD,  // the whole stored definition, from the store on disk
};

struct cron_event_t {
    uint64_t seq;
    int64_t time_ms;
    uint64_t execution;  // 0: not an execution's event
    int64_t
        fire_time;  // admitted, skipped, queued, missed, finished, claimed_elsewhere: epoch seconds (0 none); retrying: ms
    uint64_t text_pos;  // where its texts start in the byte ring
    uint32_t text_len[2];
    int32_t kind;
    int32_t job_id;  // 0: no job
    int32_t attempt;
    int32_t detail;  // one of the enums above, by kind
    int32_t count;   // skipped, missed: fire times; ended: attempts; lost: events
    int32_t flag;    // ended: retries used up; cancelled: a child was signalled; admitted: jitter;
                     // added, changed, removed: a reload made the change
    int64_t pid;     // started; admitted with flag 1: the jitter delay in ms
    // finished: the run record without its texts
    int64_t started_at;
    int64_t finished_at;
    int32_t duration_ms;
    int32_t exit_code;
    int32_t truncated;
    int32_t cancelled;
    int32_t reload_counts[4];  // reloaded: jobs added, changed, removed, kept
    char job_name[CRONTAB_NAME_MAX + 1];
};

struct cron_feed_t {
    uint64_t last_seq;      // newest event, 0 before the first
    uint64_t read_seq;      // newest event a read has returned
    uint64_t text_written;  // bytes ever written to `text`
    uint64_t lost;          // events overwritten before any read had returned them
    int64_t created_ms;     // when the instance was created
    cron_event_t ring[CRON_EVENT_CAPACITY];
    char text[CRON_EVENT_TEXT_BYTES];
};

struct crontab_t;
struct cron_job_t;

// Appends an event of `kind`, stamped with the next sequence number, the
// time and the job's id and name (job may be null), and returns it for the
// caller to fill in under the same lock hold. Wakes waiters and raises the
// descriptor. The oldest event is overwritten when the ring is full.
cron_event_t* cron_event_push(crontab_t* ct, cron_event_kind kind, const cron_job_t* job);
// The same for a job known only by id and name (deleted meanwhile).
cron_event_t* cron_event_push_as(crontab_t* ct, cron_event_kind kind, int32_t job_id, const char* name);

// Keeps up to two texts for `ev` in the byte ring (a reader learns they are
// gone once later texts have overwritten them).
void cron_event_put_text(crontab_t* ct, cron_event_t* ev, const char* a, size_t a_len,
                         const char* b = nullptr, size_t b_len = 0);
// Copies the texts of `ev`; false when the byte ring has since overwritten
// them. May throw std::bad_alloc.
bool cron_event_copy_text(const crontab_t* ct, const cron_event_t& ev, std::string* first,
                          std::string* second);

// The event with sequence number `seq`, or null when it is not (or no
// longer) in the ring.
const cron_event_t* cron_event_at(const crontab_t* ct, uint64_t seq);
// The oldest sequence number still in the ring (last_seq + 1 when empty).
uint64_t cron_event_oldest(const crontab_t* ct);

// Records that a reader has been given the events up to `seq`; lowers the
// descriptor when no newer event exists.
void cron_events_mark_read(crontab_t* ct, uint64_t seq);

// Blocks until an event after `after` exists or `timeout_ms` (negative: no
// limit) has passed: 1 or 0. Call without the lock.
int cron_events_wait(crontab_t* ct, uint64_t after, int64_t timeout_ms);

// The descriptor, made on first use; raised at once when unread events
// exist. -1 when the platform has none. Called with the lock held.
intptr_t cron_events_fd(crontab_t* ct);
