// Claims, heartbeats, ends and retention of a cluster's claim rows, with the
// connections, their back-off and the reachability the status reports.
#include "sched/cron_cluster.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "proc/cron_cluster_os.h"
#include "proc/cron_os.h"
#include "quilmarn_crontab.h"
#include "sched/cron_cluster_pq.h"
#include "sched/cron_error.h"
#include "sched/cron_job.h"

namespace {

// Connections per node. Claims share them rather than open more: a new
// connection costs the server a process and the claim several milliseconds,
// while a claim holds one for a tenth of one.
constexpr int MAX_CONNECTIONS = 4;

constexpr char SCHEMA[] =
    "CREATE TABLE IF NOT EXISTS quilmarn_claims ("
    " job text NOT NULL, fire_time bigint NOT NULL, node text NOT NULL,"
    " claimed_at timestamptz NOT NULL DEFAULT now(), heartbeat_at timestamptz NOT NULL DEFAULT now(),"
    " ended_at timestamptz, PRIMARY KEY (job, fire_time))";

// One statement: the skip policy's check for a live claim of the job, the
// insert that wins or does nothing, and who holds the fire time otherwise.
// A concurrent winner not yet visible to this statement's snapshot gives no
// row; the caller then asks again.
constexpr char CLAIM[] =
    "WITH busy AS (SELECT node FROM quilmarn_claims WHERE $4::boolean AND job = $1"
    "  AND fire_time <> $2::bigint AND ended_at IS NULL"
    "  AND heartbeat_at > now() - make_interval(secs => $5::int) LIMIT 1),"
    " won AS (INSERT INTO quilmarn_claims (job, fire_time, node) SELECT $1, $2::bigint, $3"
    "  WHERE NOT EXISTS (SELECT 1 FROM busy) ON CONFLICT DO NOTHING RETURNING node)"
    " SELECT 'won', node FROM won UNION ALL SELECT 'running', node FROM busy"
    " UNION ALL SELECT 'taken', node FROM quilmarn_claims WHERE job = $1 AND fire_time = $2::bigint";
constexpr char HOLDER[] = "SELECT node FROM quilmarn_claims WHERE job = $1 AND fire_time = $2::bigint";
constexpr char END[] =
    "UPDATE quilmarn_claims SET ended_at = now() WHERE job = $1 AND fire_time = $2::bigint AND node = $3";
constexpr char BEAT[] =
    "UPDATE quilmarn_claims SET heartbeat_at = now() WHERE job = $1 AND fire_time = $2::bigint"
    " AND node = $3 AND ended_at IS NULL";
constexpr char PURGE[] =
    "DELETE FROM quilmarn_claims WHERE claimed_at < now() - make_interval(days => $1::int)";
constexpr char PROBE[] = "SELECT 1";

using rows_t = std::vector<std::vector<std::string>>;
using claim_key = std::pair<std::string, int64_t>;

}  // namespace

struct cron_cluster_t {
    std::string conninfo;
    std::string node;
    bool runs_unclaimed = false;

    std::mutex m;  // guards what follows; never held while waiting on the database
    std::vector<cron_pq_conn*> idle;
    int open = 0;                   // connections idle, in use or being made
    std::condition_variable freed;  // a connection went idle or was closed
    bool schema_ready = false;
    int reachable = -1;
    std::string error;
    int64_t retry_at_ms = 0;  // no new connection before this (monotonic)
    int64_t backoff_ms = 0;
    std::vector<claim_key> running;  // won, not ended
    std::vector<claim_key> unended;  // ended, not yet recorded
    bool claimed_since_purge = false;
    int64_t purged_at_ms = 0;
    bool stop = false;
    std::condition_variable cv;
    std::thread beat;

    ~cron_cluster_t() {
        {
            std::lock_guard<std::mutex> lk(m);
            stop = true;
        }
        cv.notify_all();
        if (beat.joinable()) beat.join();
        for (cron_pq_conn* c : idle) cron_pq_close(c);
    }

    void failed(const std::string& why) {
        std::lock_guard<std::mutex> lk(m);
        reachable = 0;
        error = why;
        backoff_ms = std::clamp(backoff_ms * 2, CRON_BACKOFF_MIN_MS, CRON_BACKOFF_MAX_MS);
        retry_at_ms = cron_os_monotonic_ms() + backoff_ms;
    }

    void succeeded() {
        std::lock_guard<std::mutex> lk(m);
        reachable = 1;
        error.clear();
        backoff_ms = 0;
        retry_at_ms = 0;
    }

    // A pooled connection or a new one (with the table made on first use);
    // `reused` tells which. Null during the back-off after a failure, with
    // `waiting` set: that is no new failure and does not lengthen it. With
    // every connection in use it waits for one until the deadline.
    cron_pq_conn* acquire(int64_t deadline, bool* reused, bool* waiting, std::string* why) {
        {
            std::unique_lock<std::mutex> lk(m);
            for (;;) {
                if (!idle.empty()) {
                    cron_pq_conn* c = idle.back();
                    idle.pop_back();
                    *reused = true;
                    return c;
                }
                if (cron_os_monotonic_ms() < retry_at_ms) {
                    *waiting = true;
                    *why = error.empty() ? "the database could not be reached" : error;
                    return nullptr;
                }
                if (open < MAX_CONNECTIONS) break;
                const int64_t left = deadline - cron_os_monotonic_ms();
                if (left <= 0) {
                    *why = "no connection to the database became free in time";
                    return nullptr;
                }
                freed.wait_for(lk, std::chrono::milliseconds(left));
            }
            ++open;
        }
        *reused = false;
        cron_pq_conn* c = cron_pq_connect(conninfo.c_str(), deadline, why);
        if (c == nullptr) {
            discard(nullptr);
            return nullptr;
        }
        bool ready;
        {
            std::lock_guard<std::mutex> lk(m);
            ready = schema_ready;
        }
        if (!ready) {
            rows_t rows;
            bool broken = false;
            // Nodes that start together race to create the table: the loser's
            // error goes away on the second try.
            if (!cron_pq_exec(c, SCHEMA, {}, deadline, &rows, why, &broken) &&
                (broken || !cron_pq_exec(c, SCHEMA, {}, deadline, &rows, why, &broken))) {
                discard(c);
                return nullptr;
            }
            std::lock_guard<std::mutex> lk(m);
            schema_ready = true;
        }
        return c;
    }

    void release(cron_pq_conn* c) {
        {
            std::lock_guard<std::mutex> lk(m);
            idle.push_back(c);  // never allocates: reserved for MAX_CONNECTIONS at join
        }
        freed.notify_one();
    }

    void drop_idle() {
        std::vector<cron_pq_conn*> stale;
        stale.reserve(MAX_CONNECTIONS);  // becomes the pool's, which never allocates
        {
            std::lock_guard<std::mutex> lk(m);
            stale.swap(idle);
        }
        for (cron_pq_conn* c : stale) discard(c);
    }

    // Closes a connection that must not be used again (or gives back the
    // place of one that could not be made).
    void discard(cron_pq_conn* c) {
        cron_pq_close(c);
        {
            std::lock_guard<std::mutex> lk(m);
            --open;
        }
        freed.notify_one();
    }

    // One statement before `deadline`. A pooled connection that the server
    // dropped (a restart) is replaced once while time is left.
    bool exec(const char* sql, const std::vector<std::string>& params, int64_t deadline, rows_t* rows,
              std::string* why) {
        for (int round = 0; round < 2; ++round) {
            bool reused = false, waiting = false;
            cron_pq_conn* c = acquire(deadline, &reused, &waiting, why);
            if (waiting) return false;
            if (c == nullptr) break;
            bool broken = false;
            const bool ok = cron_pq_exec(c, sql, params, deadline, rows, why, &broken);
            if (broken) {
                discard(c);
            } else {
                release(c);
            }
            if (ok) {
                succeeded();
                return true;
            }
            if (!broken || !reused) break;
            // A pooled connection the server dropped (a restart): the others
            // of the pool went with it, and each would cost a claim.
            drop_idle();
        }
        failed(*why);
        return false;
    }
};

namespace {

std::string text_of(int64_t v) { return std::to_string(v); }

// The heartbeat thread: records ends the database missed, beats the running
// claims, deletes old rows once an hour when this node claims, and otherwise
// keeps the reachability current with a probe.
void heartbeat_thread(cron_cluster_t* cl) {
    std::unique_lock<std::mutex> lk(cl->m);
    bool first = true;
    while (!cl->stop) {
        if (!first) cl->cv.wait_for(lk, std::chrono::milliseconds(CRON_HEARTBEAT_MS));
        first = false;
        if (cl->stop) break;
        std::vector<claim_key> ends, beats;
        try {
            ends.swap(cl->unended);
            beats = cl->running;
        } catch (...) {
            continue;
        }
        const bool purge =
            cl->claimed_since_purge && cron_os_monotonic_ms() - cl->purged_at_ms >= CRON_RETENTION_EVERY_MS;
        lk.unlock();
        try {
            rows_t rows;
            std::string why;
            const int64_t deadline = cron_os_monotonic_ms() + CRON_CLAIM_LIMIT_MS;
            bool ok = true;
            std::vector<claim_key> missed;
            for (const claim_key& k : ends) {
                if (!ok || !cl->exec(END, {k.first, text_of(k.second), cl->node}, deadline, &rows, &why)) {
                    ok = false;
                    missed.push_back(k);
                }
            }
            for (const claim_key& k : beats) {
                ok = ok && cl->exec(BEAT, {k.first, text_of(k.second), cl->node}, deadline, &rows, &why);
            }
            if (ok && purge && cl->exec(PURGE, {text_of(CRON_CLAIM_KEEP_DAYS)}, deadline, &rows, &why)) {
                std::lock_guard<std::mutex> g(cl->m);
                cl->purged_at_ms = cron_os_monotonic_ms();
                cl->claimed_since_purge = false;
            }
            if (ok && ends.empty() && beats.empty()) cl->exec(PROBE, {}, deadline, &rows, &why);
            std::lock_guard<std::mutex> g(cl->m);
            cl->unended.insert(cl->unended.end(), missed.begin(), missed.end());
        } catch (...) {
            // No memory: the next round tries again.
        }
        lk.lock();
    }
}

}  // namespace

int cron_cluster_join(crontab_t* ct, const char* conninfo, const char* node, int when_unreachable) {
    std::string why;
    if (!cron_pq_load(&why))
        return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_NOT_AVAILABLE, "cannot join a cluster: %s",
                                    why.c_str());
    if (!cron_pq_conninfo_valid(conninfo, &why))
        return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_BAD_ARGUMENT,
                                    "the connection string is not valid: %s", why.c_str());
    auto cl = std::make_shared<cron_cluster_t>();
    cl->idle.reserve(MAX_CONNECTIONS);
    cl->conninfo = conninfo;
    cl->node = node != nullptr && node[0] != '\0' ? std::string(node) : cron_os_node_name();
    cl->runs_unclaimed = when_unreachable == CRONTAB_CLUSTER_RUN;
    try {
        cl->beat = std::thread(heartbeat_thread, cl.get());
    } catch (const std::system_error& e) {
        return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_SYSTEM,
                                    "the cluster's heartbeat thread could not be created: %s",
                                    e.code().message().c_str());
    }
    std::shared_ptr<cron_cluster_t> old;
    {
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        old = std::exchange(ct->shared->cluster, std::move(cl));
    }
    return CRONTAB_OK;  // `old`, when any, goes once its claims in flight let it go
}

int cron_cluster_leave(crontab_t* ct) {
    std::shared_ptr<cron_cluster_t> old;
    {
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        old = std::move(ct->shared->cluster);
    }
    return CRONTAB_OK;
}

cron_claim_t cron_cluster_claim(cron_cluster_t* cl, const std::string& job, int64_t fire_time,
                                bool exclusive) {
    cron_claim_t out;
    const int64_t deadline = cron_os_monotonic_ms() + CRON_CLAIM_LIMIT_MS;
    const std::vector<std::string> params{job, text_of(fire_time), cl->node, exclusive ? "t" : "f",
                                          text_of(CRON_CLAIM_STALE_SEC)};
    rows_t rows;
    if (!cl->exec(CLAIM, params, deadline, &rows, &out.why)) return out;
    const char* order[] = {"won", "running", "taken"};
    for (const char* kind : order) {
        for (const auto& r : rows) {
            if (r.size() < 2 || r[0] != kind) continue;
            out.outcome = kind == order[0]   ? cron_claim_outcome::won
                          : kind == order[1] ? cron_claim_outcome::running
                                             : cron_claim_outcome::taken;
            out.node = r[1];
            break;
        }
        if (out.outcome != cron_claim_outcome::unreachable) break;
    }
    if (out.outcome == cron_claim_outcome::unreachable) {
        // Lost to a claim made while this statement ran.
        out.outcome = cron_claim_outcome::taken;
        if (cl->exec(HOLDER, {job, text_of(fire_time)}, deadline, &rows, &out.why) && !rows.empty())
            out.node = rows[0][0];
    }
    if (out.outcome == cron_claim_outcome::won) {
        std::lock_guard<std::mutex> lk(cl->m);
        cl->running.emplace_back(job, fire_time);
        cl->claimed_since_purge = true;
    }
    return out;
}

void cron_cluster_end(cron_cluster_t* cl, const std::string& job, int64_t fire_time) {
    {
        std::lock_guard<std::mutex> lk(cl->m);
        const claim_key k{job, fire_time};
        cl->running.erase(std::remove(cl->running.begin(), cl->running.end(), k), cl->running.end());
    }
    rows_t rows;
    std::string why;
    const int64_t deadline = cron_os_monotonic_ms() + CRON_CLAIM_LIMIT_MS;
    if (cl->exec(END, {job, text_of(fire_time), cl->node}, deadline, &rows, &why)) return;
    std::lock_guard<std::mutex> lk(cl->m);
    cl->unended.emplace_back(job, fire_time);
}

bool cron_cluster_runs_unclaimed(const cron_cluster_t* cl) { return cl->runs_unclaimed; }

cron_cluster_status_t cron_cluster_status(cron_cluster_t* cl) {
    cron_cluster_status_t st;
    st.node = cl->node;
    st.runs_unclaimed = cl->runs_unclaimed;
    std::lock_guard<std::mutex> lk(cl->m);
    st.reachable = cl->reachable;
    st.error = cl->error;
    return st;
}
