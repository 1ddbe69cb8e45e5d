// The outcome text of the most recent crontab_* call on this thread, read by
// the host through crontab_last_error. Every export clears it on entry; the
// function that detects a failure sets it. Per thread, so no lock.
#pragma once

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
// bytes) is replaced, and a long text is cut on a character boundary.
void cron_error_set(const char* fmt, ...) CRON_PRINTF_LIKE(1, 2);

// cron_error_set, then returns `code`: `return cron_error_fail(CRONTAB_ERROR,
// "no job with id %d", id);`
int cron_error_fail(int code, const char* fmt, ...) CRON_PRINTF_LIKE(2, 3);

// The text for a null instance handle; returns CRONTAB_ERROR.
int cron_error_no_instance();

// Back to "" (success).
void cron_error_clear();

// True while a text is set: lets an outer layer keep an inner one's cause.
bool cron_error_is_set();

// The current text; "" after a success. Valid until the next set or clear on
// this thread.
const char* cron_error_text();
