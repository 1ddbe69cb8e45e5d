// The outcome text of the most recent crontab_* call on this thread, read by
// the host through crontab_last_error. Every export clears it on entry; the
// function that detects a failure sets it. Per thread, so no lock.
#pragma once

#include <cstdint>

#if defined(__MINGW32__)
// The C++ runtime there formats through mingw's own C99 printf.
#    define CRON_PRINTF_LIKE(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#    define CRON_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#    define CRON_PRINTF_LIKE(f, a)
#endif

// Sets the text: one English sentence without a final full stop, naming the
// cause and the value ("no job with id 7"). Ill-formed UTF-8 (quoted caller
// bytes) is replaced, and a long text is cut on a character boundary. The
// code becomes CRONTAB_E_OTHER, which an outer layer may refine.
void cron_error_set(const char* fmt, ...) CRON_PRINTF_LIKE(1, 2);

// cron_error_set, then returns `code`: `return cron_error_fail(CRONTAB_ERROR,
// "no job with id %d", id);`
int cron_error_fail(int code, const char* fmt, ...) CRON_PRINTF_LIKE(2, 3);

// The same with a named code (a CRONTAB_E_* value) for the host to branch on.
void cron_error_set_code(int kind, const char* fmt, ...) CRON_PRINTF_LIKE(2, 3);
int cron_error_fail_code(int code, int kind, const char* fmt, ...) CRON_PRINTF_LIKE(3, 4);

// Names the code of a failure whose text was set without one (code still
// CRONTAB_E_OTHER): the caller knows the class of what failed beneath it.
void cron_error_refine(int kind);

// The number the failure names (the owner's process id of a directory in
// use, the id of a job not found); 0 when none. Set after the text.
void cron_error_set_value(int64_t value);
int cron_error_code();
int64_t cron_error_value();

// The text and code for a null instance handle; returns CRONTAB_ERROR.
int cron_error_no_instance();

// "no job with id N" with CRONTAB_E_NOT_FOUND and the id as value; returns
// CRONTAB_ERROR.
int cron_error_not_found(int id);

// Back to "" and CRONTAB_E_NONE (success).
void cron_error_clear();

// True while a text is set: lets an outer layer keep an inner one's cause.
bool cron_error_is_set();

// The current text; "" after a success. Valid until the next set or clear on
// this thread.
const char* cron_error_text();
