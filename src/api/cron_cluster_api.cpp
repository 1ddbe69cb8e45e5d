// The cluster's exports: joining, leaving and its state as JSON.
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "quilmarn_crontab.h"
#include "api/cron_api.h"
#include "api/cron_report_json.h"
#include "base/cron_text.h"
#include "sched/cron_cluster.h"
#include "sched/cron_error.h"
#include "sched/cron_job.h"

namespace {

bool text_ok(const char* text, size_t max, const char* what) {
    if (text == nullptr) return true;
    const size_t n = strnlen(text, max + 1);
    if (n > max) {
        cron_error_set_code(CRONTAB_E_BAD_ARGUMENT, "the %s is longer than %zu bytes", what, max);
        return false;
    }
    if (!cron_utf8_valid(std::string_view(text, n))) {
        cron_error_set_code(CRONTAB_E_BAD_ARGUMENT, "the %s is not valid UTF-8", what);
        return false;
    }
    return true;
}

}  // namespace

int crontab_join_cluster(crontab_t* ct, const char* conninfo, const char* node, int when_unreachable) {
    return cron_api_guard(CRONTAB_ERROR, [&] {
        if (ct == nullptr) return cron_error_no_instance();
        if (conninfo == nullptr)
            return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_BAD_ARGUMENT,
                                        "the connection string is null");
        if (!text_ok(conninfo, CRONTAB_CONNINFO_MAX, "connection string") ||
            !text_ok(node, CRONTAB_NODE_MAX, "node name"))
            return CRONTAB_ERROR;
        if (when_unreachable != CRONTAB_CLUSTER_SKIP && when_unreachable != CRONTAB_CLUSTER_RUN)
            return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_BAD_SETTING,
                                        "the policy when the database is unreachable is %d; "
                                        "CRONTAB_CLUSTER_SKIP (0) or CRONTAB_CLUSTER_RUN (1)",
                                        when_unreachable);
        return cron_cluster_join(ct, conninfo, node, when_unreachable);
    });
}

int crontab_leave_cluster(crontab_t* ct) {
    return cron_api_guard(CRONTAB_ERROR, [&] {
        if (ct == nullptr) return cron_error_no_instance();
        return cron_cluster_leave(ct);
    });
}

char* crontab_copy_cluster_json(crontab_t* ct) {
    return cron_api_guard(static_cast<char*>(nullptr), [&]() -> char* {
        if (ct == nullptr) {
            cron_error_no_instance();
            return nullptr;
        }
        std::shared_ptr<cron_cluster_t> cl;
        {
            std::lock_guard<std::mutex> lk(ct->shared->lock);
            cl = ct->shared->cluster;
        }
        rapidjson::StringBuffer buf;
        cron_report_writer w(buf);
        w.StartObject();
        w.Key("joined");
        w.Bool(cl != nullptr);
        if (cl != nullptr) {
            const cron_cluster_status_t st = cron_cluster_status(cl.get());
            const std::string node = cron_utf8_sanitize(st.node);
            const std::string error = cron_utf8_sanitize(st.error);
            w.Key("node");
            w.String(node.c_str());
            w.Key("reachable");
            if (st.reachable < 0)
                w.Null();
            else
                w.Bool(st.reachable == 1);
            w.Key("when_unreachable");
            w.String(st.runs_unclaimed ? "run" : "skip");
            w.Key("error");
            w.String(error.c_str());
        }
        w.EndObject();
        return cron_report_copy(std::string_view(buf.GetString(), buf.GetSize()));
    });
}
