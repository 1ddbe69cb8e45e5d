// Helpers shared by the command runner tests.
#pragma once

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "proc/cron_proc.h"

// A result that releases its captures, with the captures as strings.
struct run_result {
    int rc = 0;
    cron_proc_result_t r{};
    run_result() = default;
    run_result(const run_result&) = delete;
    run_result& operator=(const run_result&) = delete;
    ~run_result() { cron_proc_result_free(&r); }
    std::string out() const { return std::string(r.stdout_buf, r.stdout_len); }
    std::string err() const { return std::string(r.stderr_buf, r.stderr_len); }
};

inline void run_cmd(run_result& res, const char* cmd, int32_t limit = 0, cron_run_ctl_t* ctl = nullptr,
                    const char* workdir = nullptr, const char* env = nullptr) {
    res.rc = cron_proc_run(cmd, &res.r, limit, ctl, workdir, env);
}

// Polls `cond` until it holds or `timeout` has passed; returns its last value.
template <typename F>
bool wait_until(F cond, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
