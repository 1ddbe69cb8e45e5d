// Next fire time of a parsed schedule.
#pragma once

#include <cstdint>
#include <ctime>

#include "expr/cron_parser.h"

constexpr int64_t CRON_SEARCH_MAX_STEPS = 2635200;  // 1830 days of minutes
constexpr int CRON_SEARCH_MAX_YEARS = 5;
constexpr int CRON_NEXT_RUNS_MAX = 100;

// First fire time strictly after `after`, or -1 for a null or invalid record,
// a failed calendar conversion, or nothing within five years. Calendar
// expressions match local wall-clock time; "@every" aligns to the epoch.
int64_t cron_next_time(const cron_expr_t* expr, int64_t after);

// The UTC offset in seconds of the instant t whose local fields are tm.
int64_t cron_utc_offset(int64_t t, const std::tm& tm);
