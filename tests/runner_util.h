// Helpers shared by the command runner tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "proc/cron_proc.h"

// Starting a process costs far more on the desktop platform (and under
// Wine): tests that only repeat runs do fewer there.
#ifdef _WIN32
constexpr bool kSlowStart = true;
#else
constexpr bool kSlowStart = false;
#endif

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
inline void run_cmd(run_result& res, const std::string& cmd, int32_t limit = 0, cron_run_ctl_t* ctl = nullptr,
                    const char* workdir = nullptr, const char* env = nullptr) {
    run_cmd(res, cmd.c_str(), limit, ctl, workdir, env);
}

// No child is left published in the control block.
inline void expect_cleared(cron_run_ctl_t& ctl) {
    EXPECT_EQ(ctl.proc_active.load(), 0);
    std::lock_guard<std::mutex> lk(ctl.mu);
    EXPECT_EQ(ctl.proc_id, 0u);
#ifdef _WIN32
    EXPECT_EQ(ctl.proc_handle, CRON_PROC_NONE);
#endif
}

// The process id a child wrote to `file`, or 0 while its line is incomplete.
inline long read_pid(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line) || in.eof()) return 0;
    return std::atol(line.c_str());
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

// Runs `cmd` until its 1 s time limit ends it or, with `cancel`, until a
// cancel from this thread does, sent once `started` holds.
template <typename F>
void run_terminated(run_result& res, const std::string& cmd, bool cancel, F started) {
    cron_run_ctl_t ctl;
    std::thread t([&] { run_cmd(res, cmd, cancel ? 0 : 1, cancel ? &ctl : nullptr); });
    if (cancel) {
        bool up = wait_until([&] { return started() && ctl.proc_active.load() == 1; });
        EXPECT_TRUE(up);
        EXPECT_EQ(cron_proc_cancel(&ctl), up ? 0 : 1);
    }
    t.join();
}
