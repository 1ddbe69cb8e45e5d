// English description of a parsed schedule.
#pragma once

#include <cstddef>

#include "expr/cron_parser.h"

// Writes the description into out (snprintf contract) and returns out; a null
// out returns null, size 0 writes nothing. `expr_text` is not consulted.
char* cron_describe(const cron_expr_t* expr, const char* expr_text, char* out, size_t size);
