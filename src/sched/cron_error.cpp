#include "sched/cron_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "quilmarn_crontab.h"
#include "base/cron_text.h"

namespace {

// Room for a full data directory path (511 bytes) and the sentence around it.
constexpr size_t kErrorSize = 1024;

// A plain array: no destructor to run when a host thread ends, and nothing to
// allocate on the failure paths that report running out of memory.
thread_local char error_text[kErrorSize];
thread_local int error_code = CRONTAB_E_NONE;
thread_local int64_t error_value = 0;

void set_text(int kind, const char* fmt, va_list ap) CRON_PRINTF_LIKE(2, 0);

void set_text(int kind, const char* fmt, va_list ap) {
    error_code = kind;
    error_value = 0;
    // Through a copy: an argument may be the current text itself.
    char text[kErrorSize];
    std::vsnprintf(text, sizeof text, fmt, ap);
    std::memcpy(error_text, text, sizeof text);
    if (cron_utf8_valid(error_text)) return;
    // Quoted caller bytes, or a cut inside a character: a host decodes this
    // text as UTF-8, so it must be well-formed.
    try {
        std::string clean = cron_utf8_sanitize(error_text);
        cron_copy_text(error_text, sizeof error_text, clean.c_str());
    } catch (...) {
        for (char* p = error_text; *p != '\0'; ++p) {
            if (static_cast<unsigned char>(*p) >= 0x80) *p = '?';
        }
    }
}

}  // namespace

void cron_error_set(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_text(CRONTAB_E_OTHER, fmt, ap);
    va_end(ap);
}

int cron_error_fail(int code, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_text(CRONTAB_E_OTHER, fmt, ap);
    va_end(ap);
    return code;
}

void cron_error_set_code(int kind, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_text(kind, fmt, ap);
    va_end(ap);
}

int cron_error_fail_code(int code, int kind, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_text(kind, fmt, ap);
    va_end(ap);
    return code;
}

void cron_error_refine(int kind) {
    if (error_code == CRONTAB_E_OTHER) error_code = kind;
}

void cron_error_set_value(int64_t value) { error_value = value; }

int cron_error_code() { return error_code; }

int64_t cron_error_value() { return error_value; }

int cron_error_no_instance() {
    return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_NO_INSTANCE,
                                "no instance given: the handle is null");
}

int cron_error_not_found(int id) {
    cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_NOT_FOUND, "no job with id %d", id);
    error_value = id;
    return CRONTAB_ERROR;
}

void cron_error_clear() {
    error_text[0] = '\0';
    error_code = CRONTAB_E_NONE;
    error_value = 0;
}

bool cron_error_is_set() { return error_text[0] != '\0'; }

const char* cron_error_text() { return error_text; }
