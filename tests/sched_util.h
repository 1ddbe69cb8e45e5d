// Helpers shared by the execution, scheduler and run log tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "quilmarn_crontab.h"
#include "sched/cron_job.h"

namespace sched_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A fresh directory, removed with everything in it at the end.
class temp_dir {
public:
    temp_dir() {
        std::random_device rd;
        for (;;) {
            path_ = fs::temp_directory_path() / ("qc-sched-" + std::to_string(rd()));
            if (fs::create_directory(path_)) break;
        }
    }
    ~temp_dir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string str() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

struct destroyer {
    void operator()(crontab_t* ct) const { crontab_destroy(ct); }
};
using instance = std::unique_ptr<crontab_t, destroyer>;

inline instance make_instance(const char* dir = nullptr) {
    instance ct(crontab_create(dir));
    EXPECT_NE(ct, nullptr);
    return ct;
}

// Polls `cond` until it holds or `timeout` has passed; returns its last value.
template <typename F>
bool wait_until(F cond, std::chrono::milliseconds timeout = 30s) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return cond();
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

inline int64_t now_sec() { return static_cast<int64_t>(std::time(nullptr)); }

// The run log of a job, parsed; newest record first.
inline rapidjson::Document logs(crontab_t* ct, int id, int limit = 20) {
    rapidjson::Document d;
    d.Parse(crontab_get_job_logs_json(ct, id, limit));
    EXPECT_FALSE(d.HasParseError());
    EXPECT_TRUE(d.IsArray());
    return d;
}

inline size_t log_count(crontab_t* ct, int id) { return logs(ct, id).Size(); }

// The job's object of the job list, or null when it is not listed.
inline rapidjson::Document job_info(crontab_t* ct, int id) {
    rapidjson::Document all;
    all.Parse(crontab_get_jobs_json(ct));
    rapidjson::Document one;
    if (all.HasParseError() || !all.IsArray()) return one;
    for (auto& job : all.GetArray()) {
        if (job["id"].GetInt() == id) one.CopyFrom(job, one.GetAllocator());
    }
    return one;
}

// An integer member of the job's object in the job list.
inline int64_t job_int(crontab_t* ct, int id, const char* member) {
    rapidjson::Document j = job_info(ct, id);
    return j[member].GetInt64();
}

// A member of the job's newest run record, as text or number.
inline std::string newest_text(crontab_t* ct, int id, const char* member) {
    rapidjson::Document log = logs(ct, id);
    return log.Empty() ? std::string()
                       : std::string(log[0][member].GetString(), log[0][member].GetStringLength());
}
inline int64_t newest_int(crontab_t* ct, int id, const char* member) {
    rapidjson::Document log = logs(ct, id);
    return log.Empty() ? -1000 : log[0][member].GetInt64();
}

inline bool job_running(crontab_t* ct, int id) {
    rapidjson::Document j = job_info(ct, id);
    return j.IsObject() && j["running"].GetBool();
}

inline int32_t active_runs(crontab_t* ct) {
    std::lock_guard<std::mutex> lk(ct->shared->lock);
    return ct->active_runs;
}

inline int32_t live_execs(crontab_t* ct) {
    std::lock_guard<std::mutex> lk(ct->shared->lock);
    return ct->shared->live_execs;
}

inline bool exists(const std::string& path) { return fs::exists(path); }

inline void touch(const std::string& path) { std::ofstream(path).put('x'); }

inline std::string read_file(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// crontab_run_now on a thread of its own.
class background_run {
public:
    background_run(crontab_t* ct, int id)
        : thread_([this, ct, id] {
              result_ = crontab_run_now(ct, id);
              done_ = true;
          }) {}
    ~background_run() {
        if (thread_.joinable()) thread_.join();
    }
    bool done() const { return done_; }
    int join() {
        thread_.join();
        return result_;
    }

private:
    std::atomic<int> result_{-100};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace sched_test
