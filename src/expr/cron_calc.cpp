#include "expr/cron_calc.h"

int64_t cron_next_time(const cron_expr_t*, int64_t) { return -1; }
