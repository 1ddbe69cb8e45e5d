#include "expr/cron_parser.h"

int cron_parse(const char*, cron_expr_t* out, char*, int) {
    if (out != nullptr) *out = cron_expr_t{};
    return -1;
}

int cron_validate(const char* expr, char* err, int err_size) {
    cron_expr_t scratch;
    return cron_parse(expr, &scratch, err, err_size);
}
