#include "expr/cron_describer.h"

char* cron_describe(const cron_expr_t*, const char*, char* out, size_t) { return out; }
