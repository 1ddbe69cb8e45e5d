#include "sched/cron_job_rules.h"

#include "quilmarn_crontab.h"
#include "base/cron_text.h"
#include "proc/cron_os.h"
#include "proc/cron_proc.h"
#include "proc/cron_user.h"
#include "sched/cron_error.h"
#include "sched/cron_job.h"

namespace {

// Valid UTF-8 without zero bytes (a stored string may hold one; the field
// would end there).
bool well_formed(std::string_view s, const char* what, int kind = CRONTAB_E_BAD_ARGUMENT) {
    if (s.find('\0') != std::string_view::npos) {
        cron_error_set_code(kind, "%s contains a zero byte", what);
        return false;
    }
    if (!cron_utf8_valid(s)) {
        cron_error_set_code(kind, "%s is not valid UTF-8", what);
        return false;
    }
    return true;
}

bool fits(std::string_view s, size_t field_size, const char* what, int kind = CRONTAB_E_BAD_ARGUMENT) {
    if (s.size() < field_size) return true;
    cron_error_set_code(kind, "%s is %zu bytes long; at most %zu fit", what, s.size(), field_size - 1);
    return false;
}

}  // namespace

bool cron_rule_name(std::string_view name) { return well_formed(name, "name"); }

bool cron_rule_expr(std::string_view expr, cron_expr_t* sched) {
    if (!well_formed(expr, "expression", CRONTAB_E_BAD_EXPRESSION) ||
        !fits(expr, CRON_EXPR_SIZE, "expression", CRONTAB_E_BAD_EXPRESSION))
        return false;
    char err[CRON_ERRBUF_SIZE];
    // Zero-terminated: the view ends at the field's size, checked above.
    char text[CRON_EXPR_SIZE];
    expr.copy(text, expr.size());
    text[expr.size()] = '\0';
    if (cron_parse(text, sched, err, sizeof err) == 0) return true;
    cron_error_set_code(CRONTAB_E_BAD_EXPRESSION, "%s", err);
    return false;
}

bool cron_rule_cmd(std::string_view cmd) {
    return well_formed(cmd, "command") && fits(cmd, CRON_CMD_SIZE, "command");
}

bool cron_rule_workdir(std::string_view workdir) {
    return well_formed(workdir, "working directory", CRONTAB_E_BAD_SETTING) &&
           fits(workdir, CRON_WORKDIR_SIZE, "working directory", CRONTAB_E_BAD_SETTING);
}

bool cron_rule_workdir_exists(const char* workdir) {
    if (cron_os_is_dir(workdir)) return true;
    cron_error_set_code(CRONTAB_E_BAD_SETTING, "working directory %s is not a directory", workdir);
    return false;
}

bool cron_rule_env(std::string_view env) {
    if (!well_formed(env, "environment text", CRONTAB_E_BAD_SETTING) ||
        !fits(env, CRON_ENV_SIZE, "environment text", CRONTAB_E_BAD_SETTING))
        return false;
    int vars = 0;
    int line_no = 0;
    // Lines split only at line feeds, as the child's environment is built:
    // empty lines are allowed, a carriage return belongs to its line.
    for (size_t start = 0; start <= env.size();) {
        size_t end = env.find('\n', start);
        if (end == std::string_view::npos) end = env.size();
        std::string_view line = env.substr(start, end - start);
        start = end + 1;
        ++line_no;
        if (line.empty()) continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            cron_error_set_code(CRONTAB_E_BAD_SETTING, "environment line %d has no '='", line_no);
            return false;
        }
        if (eq == 0) {
            cron_error_set_code(CRONTAB_E_BAD_SETTING, "environment line %d has an empty name", line_no);
            return false;
        }
        if (eq > CRON_ENV_CUT_BYTES) {
            cron_error_set_code(CRONTAB_E_BAD_SETTING,
                                "environment line %d has a name of %zu bytes; at most %zu fit", line_no, eq,
                                CRON_ENV_CUT_BYTES);
            return false;
        }
        if (line.size() - eq - 1 > CRON_ENV_CUT_BYTES) {
            cron_error_set_code(CRONTAB_E_BAD_SETTING,
                                "environment line %d has a value of %zu bytes; at most %zu fit", line_no,
                                line.size() - eq - 1, CRON_ENV_CUT_BYTES);
            return false;
        }
        ++vars;
    }
    if (vars > CRON_ENV_MAX_VARS) {
        cron_error_set_code(CRONTAB_E_BAD_SETTING, "environment text sets %d variables; at most %d fit", vars,
                            CRON_ENV_MAX_VARS);
        return false;
    }
    return true;
}

bool cron_rule_overlap(int32_t policy) {
    if (policy >= CRON_OVERLAP_SKIP && policy <= CRON_OVERLAP_REPLACE) return true;
    cron_error_set_code(CRONTAB_E_BAD_SETTING,
                        "overlap policy %d is not 0 (skip), 1 (queue), 2 (allow) or 3 (replace)", policy);
    return false;
}

bool cron_rule_catch_up(int32_t window_sec) {
    if (window_sec >= 0 && window_sec <= CRONTAB_CATCH_UP_MAX_SEC) return true;
    cron_error_set_code(CRONTAB_E_BAD_SETTING, "catch-up window %d s is outside 0 to %d s", window_sec,
                        CRONTAB_CATCH_UP_MAX_SEC);
    return false;
}

bool cron_rule_jitter(int32_t max_delay_sec) {
    if (max_delay_sec >= 0 && max_delay_sec <= CRONTAB_JITTER_MAX_SEC) return true;
    cron_error_set_code(CRONTAB_E_BAD_SETTING, "jitter %d s is outside 0 to %d s", max_delay_sec,
                        CRONTAB_JITTER_MAX_SEC);
    return false;
}

bool cron_rule_flag(int32_t flag) {
    if (flag == 0 || flag == 1) return true;
    cron_error_set_code(CRONTAB_E_BAD_SETTING, "%d is not 0 or 1", flag);
    return false;
}

bool cron_rule_retry_max(int32_t retry_max) {
    if (retry_max >= 0 && retry_max <= CRON_RETRY_MAX) return true;
    cron_error_set_code(CRONTAB_E_BAD_SETTING, "retry count %d is outside 0 to %d", retry_max,
                        CRON_RETRY_MAX);
    return false;
}

bool cron_rule_backoff(int32_t retry_backoff_sec) {
    if (retry_backoff_sec >= 0 && retry_backoff_sec <= CRON_BACKOFF_MAX_SEC) return true;
    cron_error_set_code(CRONTAB_E_BAD_SETTING, "retry pause %d s is outside 0 to %d s", retry_backoff_sec,
                        CRON_BACKOFF_MAX_SEC);
    return false;
}

bool cron_rule_user(std::string_view user) {
    if (user.empty()) return true;
    if (!well_formed(user, "user name", CRONTAB_E_BAD_SETTING) ||
        !fits(user, CRON_USER_SIZE, "user name", CRONTAB_E_BAD_SETTING))
        return false;
    cron_account_t account;
    std::string why;
    const cron_user_status st = cron_user_resolve(std::string(user).c_str(), &account, &why);
    if (st == cron_user_status::ok) return true;
    cron_error_set_code(
        st == cron_user_status::not_available ? CRONTAB_E_NOT_AVAILABLE : CRONTAB_E_BAD_SETTING, "%s",
        why.c_str());
    return false;
}
