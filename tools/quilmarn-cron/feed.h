// The library's event feed, drained: each event becomes one log line (in
// the order and with the time the library gave it), each finished attempt's
// record goes to the runs file, and each execution that failed after its
// retries goes to the --on-failure hook. Nothing is inferred from reports.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <utility>

#include "hook.h"
#include "quilmarn_crontab.h"
#include "run_log.h"

class event_feed {
public:
    using failure_fn = std::function<void(const hook_call&)>;

    // `runs` (may be null) keeps the records; `log_lines` writes the lines.
    event_feed(crontab_t* ct, runs_store* runs, bool log_lines, failure_fn on_failure = {});

    // Handles every event after the last one handled (from `after` at first).
    void drain();
    void start_after(uint64_t after) { after_ = after; }
    // The number of the last event handled: its record, if any, is on disk.
    uint64_t handled() const { return after_; }

private:
    void handle(const void* event_object);
    // Writes a record once: a `finished` event and a look at the ring after
    // a `lost` one may both bring it.
    void keep(int id, const run_record& r);
    void recover_lost();

    crontab_t* ct_;
    runs_store* runs_;
    bool log_;
    failure_fn on_failure_;
    uint64_t after_ = 0;
    // The last attempt of each execution still going, for the hook's input.
    std::map<uint64_t, hook_call> last_attempt_;
    // The newest records written of each job, as (execution, attempt).
    std::map<int, std::set<std::pair<uint64_t, int>>> kept_;
};
