// Events of a running scheduler. The library calls nothing back, so the
// daemon looks at the job list and the run logs: often while a job runs,
// otherwise when the next fire time comes or a client's command may have
// changed something. Each look turns what changed into event lines, keeps
// new run records for `logs`, and tells of executions that failed.
//
// What a look cannot see: a run that begins and ends between two looks is
// told as started by its record, after the fact; fire times skipped between
// two looks count once; under the ALLOW policy executions that overlap share
// one "running" flag, so only the first start of such a group is told when
// it happens (each attempt's record is still told).
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "hook.h"
#include "job_list.h"
#include "quilmarn_crontab.h"

class job_watch {
public:
    using failure_fn = std::function<void(const hook_call&)>;

    job_watch(crontab_t* ct, std::string dir, failure_fn on_failure);

    // One "loaded" line per job of the instance.
    void tell_loaded();

    // Looks once; returns how long to wait before the next look.
    std::chrono::milliseconds look();

    // At the last look a job was running or had a run waiting.
    bool busy() const { return busy_; }

private:
    struct seen {
        std::string name;
        bool running = false;
        bool queued = false;
        bool started_told = false;  // the execution in progress was told
        int64_t last_run = 0;
        int64_t skip_told = 0;  // the fire time last told as skipped
        int log_count = 0;
        size_t records = 0;  // in the run log at the last read
        bool have_newest = false;
        run_record newest;  // the newest record seen
        bool pending = false;
        run_record failed;  // a failed attempt that may still be retried
    };

    void look_at(const job_info& j, seen& s, int64_t now);
    std::vector<run_record> fresh_records(const job_info& j, seen& s);
    void tell_record(const job_info& j, seen& s, const run_record& r, const run_record* next);
    void failure(const seen& s, int id, const run_record& r);
    bool still_running(int id);
    void look_at_store();

    crontab_t* ct_;
    std::string dir_;
    failure_fn on_failure_;
    std::map<int, seen> jobs_;
    std::vector<int> live_ids_;
    bool busy_ = false;
    bool store_known_ = false;
    struct stat store_ {};
};
