#include "reports.h"

#include <mutex>

namespace {
std::mutex report_mutex;
}

std::string cron_report_jobs(crontab_t* ct) {
    std::lock_guard<std::mutex> lk(report_mutex);
    return crontab_get_jobs_json(ct);
}

std::string cron_report_logs(crontab_t* ct, int id, int limit) {
    std::lock_guard<std::mutex> lk(report_mutex);
    return crontab_get_job_logs_json(ct, id, limit);
}
