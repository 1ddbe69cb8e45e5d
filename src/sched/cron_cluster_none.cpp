// The desktop build: clusters are not offered.
#include "quilmarn_crontab.h"
#include "sched/cron_cluster.h"
#include "sched/cron_error.h"

struct cron_cluster_t {};

int cron_cluster_join(crontab_t*, const char*, const char*, int) {
    return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_NOT_AVAILABLE,
                                "clusters are not offered on this platform");
}

int cron_cluster_leave(crontab_t*) { return CRONTAB_OK; }

cron_claim_t cron_cluster_claim(cron_cluster_t*, const std::string&, int64_t, bool) { return {}; }

void cron_cluster_end(cron_cluster_t*, const std::string&, int64_t) {}

bool cron_cluster_runs_unclaimed(const cron_cluster_t*) { return false; }

cron_cluster_status_t cron_cluster_status(cron_cluster_t*) { return {}; }
