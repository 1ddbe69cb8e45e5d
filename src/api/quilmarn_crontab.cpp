// The exported functions: argument checks, the instance lock, one call into
// the core, a result code. No scheduling logic lives here.
#include "quilmarn_crontab.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "api/cron_api.h"
#include "base/cron_text.h"
#include "expr/cron_calc.h"
#include "expr/cron_describer.h"
#include "expr/cron_explain.h"
#include "expr/cron_parser.h"
#include "expr/cron_zone.h"
#include "proc/cron_os.h"
#include "sched/cron_error.h"
#include "sched/cron_exec.h"
#include "sched/cron_instance.h"
#include "sched/cron_jobs_admin.h"
#include "sched/cron_scheduler.h"

// ---- Expression services ----

namespace {

constexpr size_t NEXT_RUNS_BUF_SIZE = 8192;
constexpr size_t DESCRIBE_BUF_SIZE = 512;

// Copies a finished text into a per-thread buffer, cut to fit.
const char* put_text(char* buf, size_t size, std::string_view text) {
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
    return buf;
}

// {"error":"<message>"}: the message quotes the caller's bytes, so it is
// escaped and any ill-formed UTF-8 in it replaced, keeping the text valid JSON.
std::string next_runs_error(const char* message) {
    std::string clean = cron_utf8_sanitize(message);
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer> w(out);
    w.StartObject();
    w.Key("error");
    w.String(clean.data(), static_cast<rapidjson::SizeType>(clean.size()));
    w.EndObject();
    return std::string(out.GetString(), out.GetSize());
}

// "+HH:MM" or "-HH:MM"; the seconds of an old local mean time are dropped.
void format_offset(int64_t offset, char* out, size_t size) {
    const int64_t a = offset < 0 ? -offset : offset;
    std::snprintf(out, size, "%c%02d:%02d", offset < 0 ? '-' : '+', static_cast<int>(a / 3600 % 100),
                  static_cast<int>(a / 60 % 60));
}

// The compact array of {"unix":t,"iso":"YYYY-MM-DDTHH:MM:SS","offset":"+HH:MM"},
// or "[]" when the writer fails. The offset tells apart the two instants of a
// local time that repeats when daylight-saving time ends.
std::string next_runs_list(const cron_expr_t* expr, int count) {
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::CrtAllocator,
                      rapidjson::kWriteValidateEncodingFlag>
        w(out);
    bool ok = w.StartArray();
    const cron_tz_t tz = cron_tz_of(expr->zone);
    int64_t t = cron_os_now();
    for (int i = 0; i < count && ok; ++i) {
        t = cron_next_time(expr, t);
        if (t < 0) break;
        std::tm tm{};
        char iso[64], offset[16];
        if (!cron_tz_localtime(tz, t, &tm) || std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S", &tm) == 0)
            break;
        format_offset(cron_utc_offset(t, tm), offset, sizeof offset);
        ok = w.StartObject() && w.Key("unix") && w.Int64(t) && w.Key("iso") && w.String(iso) &&
             w.Key("offset") && w.String(offset) && w.EndObject();
    }
    ok = ok && w.EndArray();
    if (!ok) return "[]";
    return std::string(out.GetString(), out.GetSize());
}

int no_result_pointer() {
    return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_BAD_ARGUMENT, "the result pointer is null");
}

}  // namespace

const char* crontab_version(void) { return QC_VERSION; }

const char* crontab_last_error(void) { return cron_error_text(); }

int crontab_last_error_code(void) { return cron_error_code(); }

int64_t crontab_last_error_value(void) { return cron_error_value(); }

int crontab_validate_expr(const char* expr, char* errbuf, int errbuf_size) {
    return cron_api_guard(CRONTAB_ERROR, [&] {
        int rc = cron_validate(expr, errbuf, errbuf_size);
        if (rc != 0) {
            // The caller's buffer may be small or absent; this text is whole.
            char err[CRON_ERRBUF_SIZE];
            cron_validate(expr, err, sizeof err);
            cron_error_set_code(CRONTAB_E_BAD_EXPRESSION, "%s", err);
        }
        return rc;
    });
}

int crontab_calc_next(const char* expr, int64_t after, int64_t* out) {
    return cron_api_guard(CRONTAB_ERROR, [&] {
        if (out == nullptr) return no_result_pointer();
        cron_expr_t parsed;
        char err[CRON_ERRBUF_SIZE];
        if (cron_parse(expr, &parsed, err, sizeof err) != 0) {
            cron_error_set_code(CRONTAB_E_BAD_EXPRESSION, "%s", err);
            return CRONTAB_ERROR;
        }
        if (parsed.reboot) {
            cron_error_set_code(CRONTAB_E_BAD_EXPRESSION,
                                "expression '%s' runs once after the machine starts and has no calendar "
                                "fire time",
                                expr);
            return CRONTAB_ERROR;
        }
        int64_t t = cron_next_time(&parsed, after);
        if (t < 0) {
            cron_error_set_code(CRONTAB_E_BAD_EXPRESSION,
                                "expression '%s' has no fire time within five years after %lld", expr,
                                static_cast<long long>(after));
            return CRONTAB_ERROR;
        }
        *out = t;
        return CRONTAB_OK;
    });
}

const char* crontab_get_next_runs_json(const char* expr, int count) {
    thread_local char buf[NEXT_RUNS_BUF_SIZE];
    buf[0] = '\0';
    cron_error_clear();
    try {
        cron_expr_t parsed;
        char err[CRON_ERRBUF_SIZE];
        if (cron_parse(expr, &parsed, err, sizeof err) != 0) {
            cron_error_set_code(CRONTAB_E_BAD_EXPRESSION, "%s", err);
            return put_text(buf, sizeof buf, next_runs_error(err));
        }
        if (count > CRON_NEXT_RUNS_MAX) count = CRON_NEXT_RUNS_MAX;
        if (count < 1) count = 1;
        return put_text(buf, sizeof buf, next_runs_list(&parsed, count));
    } catch (...) {
        // Only building the text allocates, so this is an allocation failure.
        cron_error_set_code(CRONTAB_E_NO_MEMORY, "out of memory");
        return put_text(buf, sizeof buf, R"({"error":"oom"})");
    }
}

namespace {

// The text of a parsed expression from `write`, or "Invalid expression: ..."
// with the parser's message, in the caller's per-thread buffer.
template <size_t N, class Write>
const char* expr_text(const char* expr, char (&buf)[N], Write write) {
    buf[0] = '\0';
    return cron_api_guard(static_cast<const char*>(buf), [&]() -> const char* {
        cron_expr_t parsed;
        char err[CRON_ERRBUF_SIZE];
        if (cron_parse(expr, &parsed, err, sizeof err) != 0) {
            cron_error_set_code(CRONTAB_E_BAD_EXPRESSION, "%s", err);
            std::snprintf(buf, N, "Invalid expression: %s", err);
            return buf;
        }
        return write(parsed, buf, N);
    });
}

}  // namespace

const char* crontab_describe_expr(const char* expr) {
    thread_local char buf[DESCRIBE_BUF_SIZE];
    return expr_text(expr, buf, [expr](const cron_expr_t& e, char* out, size_t size) {
        return cron_describe(&e, expr, out, size);
    });
}

const char* crontab_explain_expr(const char* expr) {
    thread_local char buf[CRON_EXPLAIN_MAX];
    return expr_text(
        expr, buf, [](const cron_expr_t& e, char* out, size_t size) { return cron_explain(&e, out, size); });
}

// ---- Instance lifecycle ----

crontab_t* crontab_create(const char* data_dir) {
    return cron_api_guard(static_cast<crontab_t*>(nullptr), [&] { return cron_instance_create(data_dir); });
}

void crontab_destroy(crontab_t* ct) {
    cron_api_guard(CRONTAB_OK, [&] {
        cron_instance_destroy(ct);
        return CRONTAB_OK;
    });
}

int crontab_stop(crontab_t* ct) {
    return cron_api_guard(CRONTAB_ERROR, [&] {
        if (ct == nullptr) return cron_error_no_instance();
        return cron_scheduler_stop(ct);
    });
}

int crontab_is_running(crontab_t* ct) {
    return cron_api_guard(0, [&] {
        if (ct == nullptr) {
            cron_error_no_instance();
            return 0;
        }
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        return static_cast<int>(ct->running.load());
    });
}

// ---- Job management ----

int crontab_add_job(crontab_t* ct, const char* name, const char* expr, const char* cmd, int enabled) {
    return cron_api_guard(CRONTAB_ERROR, [&] { return cron_jobs_add(ct, name, expr, cmd, enabled); });
}

int crontab_update_job(crontab_t* ct, int id, const char* name, const char* expr, const char* cmd,
                       int enabled) {
    return cron_api_guard(CRONTAB_ERROR, [&] { return cron_jobs_update(ct, id, name, expr, cmd, enabled); });
}

int crontab_delete_job(crontab_t* ct, int id) {
    return cron_api_guard(CRONTAB_ERROR, [&] { return cron_jobs_delete(ct, id); });
}

int crontab_set_job_timeout(crontab_t* ct, int id, int max_runtime_sec) {
    return cron_api_guard(CRONTAB_ERROR, [&] { return cron_jobs_set_timeout(ct, id, max_runtime_sec); });
}

int crontab_set_job_paths(crontab_t* ct, int id, const char* workdir, const char* env) {
    return cron_api_guard(CRONTAB_ERROR, [&] { return cron_jobs_set_paths(ct, id, workdir, env); });
}

int crontab_set_job_overlap_policy(crontab_t* ct, int id, int policy) {
    return cron_api_guard(CRONTAB_ERROR, [&] { return cron_jobs_set_overlap(ct, id, policy); });
}

int crontab_set_job_catch_up(crontab_t* ct, int id, int window_sec) {
    return cron_api_guard(CRONTAB_ERROR, [&] { return cron_jobs_set_catch_up(ct, id, window_sec); });
}

int crontab_set_job_jitter(crontab_t* ct, int id, int max_delay_sec, int fixed) {
    return cron_api_guard(CRONTAB_ERROR, [&] { return cron_jobs_set_jitter(ct, id, max_delay_sec, fixed); });
}

int crontab_set_job_retry(crontab_t* ct, int id, int retry_max, int retry_backoff_sec) {
    return cron_api_guard(CRONTAB_ERROR,
                          [&] { return cron_jobs_set_retry(ct, id, retry_max, retry_backoff_sec); });
}

int crontab_set_job_user(crontab_t* ct, int id, const char* user) {
    return cron_api_guard(CRONTAB_ERROR, [&] { return cron_jobs_set_user(ct, id, user); });
}

int crontab_reload(crontab_t* ct) {
    return cron_api_guard(CRONTAB_ERROR, [&] { return cron_jobs_reload(ct); });
}

// ---- Scheduler and runs ----

int crontab_start(crontab_t* ct) {
    return cron_api_guard(CRONTAB_ERROR, [&] {
        if (ct == nullptr) return cron_error_no_instance();
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        return cron_scheduler_start(ct);
    });
}

int crontab_run_now(crontab_t* ct, int id) {
    return cron_api_guard(CRONTAB_ERROR, [&] {
        if (ct == nullptr) return cron_error_no_instance();
        return cron_exec_run_now(ct, id);
    });
}

int crontab_cancel_job(crontab_t* ct, int id) {
    return cron_api_guard(CRONTAB_ERROR, [&] {
        if (ct == nullptr) return cron_error_no_instance();
        return cron_exec_cancel(ct, id);
    });
}
