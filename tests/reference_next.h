// The minute-stepping next-time search: one local-time conversion per minute.
// Slow but plainly right; the fast search must agree with it exactly.
#pragma once

#include <cstdint>

#include "expr/cron_parser.h"

int64_t reference_next_time(const cron_expr_t* expr, int64_t after);
