// Claims of scheduled fire times in a PostgreSQL table shared by the
// instances of a cluster, so that each fire time runs on one of them.
//
// A claim is one statement on the worker's own thread, never under the
// instance lock; the scheduler thread never touches the database. The
// instance keeps a shared_ptr to its cluster (shared->cluster, read under the
// lock): an execution takes a copy before it claims, so a leave while a claim
// is on its way waits for nothing and frees the cluster after the last copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct crontab_t;
struct cron_cluster_t;

constexpr int64_t CRON_CLAIM_LIMIT_MS = 5000;  // a slower claim counts as the database unreachable
constexpr int64_t CRON_HEARTBEAT_MS = 5000;    // heartbeats of running claims
constexpr int CRON_CLAIM_STALE_SEC = 30;  // an unended claim without a heartbeat this long stops blocking
constexpr int CRON_CLAIM_KEEP_DAYS = 7;   // rows older than this are deleted
constexpr int64_t CRON_RETENTION_EVERY_MS = 3600 * 1000;
constexpr int64_t CRON_BACKOFF_MIN_MS = 250;   // after a failure, no new connection before this
constexpr int64_t CRON_BACKOFF_MAX_MS = 4000;  // doubling up to this

enum class cron_claim_outcome {
    won,          // this node runs the fire time
    taken,        // another node (or this one before) claimed it
    running,      // skip policy: an unended claim of the job is alive on `node`
    unreachable,  // no answer within the limit; `why` says what failed
};

struct cron_claim_t {
    cron_claim_outcome outcome = cron_claim_outcome::unreachable;
    std::string node;  // the winner, for taken and running
    std::string why;   // for unreachable
};

// The exports' work. Call without the instance lock.
int cron_cluster_join(crontab_t* ct, const char* conninfo, const char* node, int when_unreachable);
int cron_cluster_leave(crontab_t* ct);

// Claims (job, fire_time) for this node. `exclusive`: the job's policy is
// skip, so a live unended claim of another of its fire times refuses it. May
// throw std::bad_alloc.
cron_claim_t cron_cluster_claim(cron_cluster_t* cl, const std::string& job, int64_t fire_time,
                                bool exclusive);
// Records the end of a won claim; when the database cannot take it now, the
// heartbeat thread tries again.
void cron_cluster_end(cron_cluster_t* cl, const std::string& job, int64_t fire_time);
// Whether the instance runs fire times it could not claim.
bool cron_cluster_runs_unclaimed(const cron_cluster_t* cl);

struct cron_cluster_status_t {
    std::string node;
    std::string error;   // the last failure's sentence, "" after a success
    int reachable = -1;  // 1 the last statement succeeded, 0 it failed, -1 none yet
    bool runs_unclaimed = false;
};
cron_cluster_status_t cron_cluster_status(cron_cluster_t* cl);
