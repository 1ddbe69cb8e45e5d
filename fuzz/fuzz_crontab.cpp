// Any bytes as the crontab-style text that import and edit read. The reader
// must not crash, and the jobs it gives, once the library has taken them,
// must come back the same from export's text (the round trip every edit
// makes), which must carry their digest. Jobs made otherwise (by add or an
// older tool) must come back the same too, unless export refuses them.
//
// Input: byte 0 bit 1 clear: bit 0 reads a system crontab (a user field
// after the schedule), the rest is the text. Bit 1 set: the rest is one
// job's name, expression, command, workdir and environment, split at NULs.
#include <cstdio>
#include <string>
#include <vector>

#include "crontab_text.h"
#include "fuzz_check.h"
#include "job_list.h"

namespace {

FILE* quiet = nullptr;  // the reader's messages

// The job as import adds it; false when the library refuses it.
bool add(crontab_t* ct, const job_def& d) {
    int id = crontab_add_job(ct, d.name.c_str(), d.expr.c_str(), d.cmd.c_str(), d.enabled);
    if (id <= 0) return false;
    if (crontab_set_job_timeout(ct, id, d.timeout) == CRONTAB_OK &&
        crontab_set_job_paths(ct, id, d.workdir.empty() ? nullptr : d.workdir.c_str(), d.env.c_str()) ==
            CRONTAB_OK &&
        crontab_set_job_overlap_policy(ct, id, d.overlap) == CRONTAB_OK &&
        crontab_set_job_retry(ct, id, d.retry_max, d.retry_backoff) == CRONTAB_OK) {
        return true;
    }
    crontab_delete_job(ct, id);
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet = std::fopen("/dev/null", "w");
    return quiet != nullptr ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    if (size == 0 || size > 65536) return 0;
    crontab_read_options opts;
    opts.system = (data[0] & 1) != 0;
    const bool fields = (data[0] & 2) != 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    crontab_parsed parsed;
    if (fields) {
        std::vector<std::string> f(1);
        for (char c : text) {
            if (c == '\0')
                f.emplace_back();
            else
                f.back().push_back(c);
        }
        f.resize(5);
        job_def d;
        d.name = f[0], d.expr = f[1], d.cmd = f[2], d.workdir = f[3], d.env = f[4];
        parsed.jobs.push_back(d);
    } else {
        parsed = cron_crontab_read(text, "fuzz", opts, quiet);
        FUZZ_CHECK(parsed.bad_lines >= 0);
    }

    crontab_t* ct = crontab_create(nullptr);
    FUZZ_CHECK(ct != nullptr);
    for (const job_def& d : parsed.jobs) add(ct, d);
    std::vector<job_info> jobs;
    FUZZ_CHECK(cron_read_jobs(ct, &jobs));
    crontab_destroy(ct);

    std::vector<std::string> problems;
    const std::string exported = cron_crontab_write(jobs, &problems);
    // What a crontab line cannot hold export names, and fails.
    FUZZ_CHECK(problems.empty() || fields);
    if (!problems.empty()) return 0;
    FUZZ_CHECK(cron_crontab_digest(exported) == cron_jobs_digest(jobs));
    crontab_parsed back = cron_crontab_read(exported, "export", {}, quiet);
    FUZZ_CHECK(back.bad_lines == 0);
    FUZZ_CHECK(back.jobs.size() == jobs.size());
    for (size_t i = 0; i < jobs.size(); ++i) FUZZ_CHECK(cron_same_def(back.jobs[i], cron_job_def(jobs[i])));
    return 0;
}
