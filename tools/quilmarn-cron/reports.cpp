#include "reports.h"

namespace {

std::string taken(char* text) {
    // Null only when memory cannot be had: read as no report.
    std::string s = text != nullptr ? text : "";
    crontab_free(text);
    return s;
}

}  // namespace

std::string cron_report_jobs(crontab_t* ct) { return taken(crontab_copy_jobs_json(ct)); }

std::string cron_report_logs(crontab_t* ct, int id, int limit) {
    return taken(crontab_copy_job_logs_json(ct, id, limit));
}
