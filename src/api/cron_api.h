// Helpers of the export layer.
#pragma once

// Runs `body` and returns its result; any exception becomes `failure`, since
// nothing may cross the C boundary.
template <class Body, class Result>
Result cron_api_guard(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}
