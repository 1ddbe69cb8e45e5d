// What makes a job valid: the one set of checks that both the job exports and
// the store loader apply, so a job the exports refuse never loads and a job
// that loads could have been made by the exports. Each check returns true
// for a valid value; on false it has set the error text (cron_error_set).
// Texts are views so the loader can pass stored strings with zero bytes.
#pragma once

#include <cstdint>
#include <string_view>

#include "expr/cron_parser.h"
#include "proc/cron_proc.h"
#include "quilmarn_crontab.h"

constexpr int CRON_RETRY_MAX = 10;          // further attempts after a failed one
constexpr int CRON_BACKOFF_MAX_SEC = 3600;  // pause before each further attempt
constexpr size_t CRON_ENV_CUT_BYTES = 255;  // longest name or value a child receives
static_assert(CRON_RETRY_MAX == CRONTAB_RETRY_MAX && CRON_BACKOFF_MAX_SEC == CRONTAB_BACKOFF_MAX_SEC &&
              CRON_ENV_MAX_VARS == CRONTAB_ENV_VARS_MAX);

// A name is cut to its field, so only its encoding matters.
bool cron_rule_name(std::string_view name);

// The expression fits its field whole and parses; *sched receives the result.
bool cron_rule_expr(std::string_view expr, cron_expr_t* sched);

// The command fits its field whole: a cut command would run something else.
bool cron_rule_cmd(std::string_view cmd);

// The working directory fits its field whole ("" for none). Only the exports
// also ask that it name a directory now: one missing at load may come back.
bool cron_rule_workdir(std::string_view workdir);
bool cron_rule_workdir_exists(const char* workdir);

// Environment text ("" for none) that the child receives whole: it fits its
// field, every non-empty line is NAME=VALUE with a non-empty name, names and
// values fit CRON_ENV_CUT_BYTES, and there are at most CRON_ENV_MAX_VARS.
bool cron_rule_env(std::string_view env);

bool cron_rule_overlap(int32_t policy);
bool cron_rule_retry_max(int32_t retry_max);
bool cron_rule_backoff(int32_t retry_backoff_sec);
bool cron_rule_catch_up(int32_t window_sec);
bool cron_rule_jitter(int32_t max_delay_sec);
bool cron_rule_flag(int32_t flag);

// A user account ("" for none) that fits its field, exists, and that this
// host may run jobs as: any when it runs as root, else only its own. On the
// desktop platform every name is refused (CRONTAB_E_NOT_AVAILABLE).
bool cron_rule_user(std::string_view user);
