// Helpers of the export layer.
#pragma once

#include <new>
#include <type_traits>

#include "quilmarn_crontab.h"
#include "sched/cron_error.h"

// A failure that no layer below explained still gets a sentence: a host must
// never read "" after a failed call.
// The results -2 and -3 name their class whatever text a layer below set.
inline void cron_api_note(int result) {
    if (result < 0 && !cron_error_is_set()) cron_error_set("the call failed with result %d", result);
    if (result == CRONTAB_ERROR_SETTING) cron_error_refine(CRONTAB_E_BAD_SETTING);
    if (result == CRONTAB_ERROR_STORE) cron_error_refine(CRONTAB_E_NOT_SAVED);
}
template <class T>
void cron_api_note(T* result) {
    if (result == nullptr && !cron_error_is_set()) cron_error_set("the call failed");
}

// Runs `body` and returns its result; any exception becomes `failure`, since
// nothing may cross the C boundary. The calling thread's error text starts
// empty and ends naming the cause of a failure.
template <class Body, class Result>
Result cron_api_guard(Result failure, Body&& body) noexcept {
    cron_error_clear();
    try {
        Result r = body();
        cron_api_note(r);
        return r;
    } catch (const std::bad_alloc&) {
        cron_error_set_code(CRONTAB_E_NO_MEMORY, "out of memory");
    } catch (...) {
        cron_error_set_code(CRONTAB_E_INTERNAL, "internal error");
    }
    return failure;
}
