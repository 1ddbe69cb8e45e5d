// A complete English sentence for a parsed schedule: every restricting field,
// lists and ranges by name, steps as steps, the day-of-month/day-of-week "or",
// the zone when there is one.
#pragma once

#include <cstddef>

#include "expr/cron_parser.h"

// The longest sentence cron_explain can make is well under this (the fuzz
// target checks every valid expression against it).
constexpr size_t CRON_EXPLAIN_MAX = 2048;

// Writes the sentence into out (snprintf contract) and returns out; a null
// out returns null, size 0 writes nothing; a null or invalid record gives
// "Invalid expression".
char* cron_explain(const cron_expr_t* expr, char* out, size_t size);
