// Resident memory that one instance with 10 jobs adds to the process. The
// instance is about 21 MB of run record rings; untouched, they must cost
// nothing. Prints the figure and fails above 2 MB.
#include <cstdio>
#include <fstream>

#include "quilmarn_crontab.h"
#include "sched/cron_job.h"

namespace {

long resident_bytes() {
    long size = 0, resident = 0;
    std::ifstream statm("/proc/self/statm");
    statm >> size >> resident;
    return resident * 4096;
}

// Growth of resident memory while one instance is created, gets 10 jobs and
// reports them; the instance stays alive and is returned through *out.
long measure(crontab_t** out) {
    long before = resident_bytes();
    crontab_t* ct = crontab_create(nullptr);
    if (ct == nullptr) return -1;
    for (int i = 0; i < 10; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "job %d", i);
        if (crontab_add_job(ct, name, "*/5 * * * *", "echo hello", 1) < 0) return -1;
    }
    crontab_get_jobs_json(ct);
    *out = ct;
    return resident_bytes() - before;
}

}  // namespace

int main() {
    constexpr long kLimit = 2L * 1024 * 1024;
    // A freed heap block of the same size first: calloc would recycle and
    // clear it, which is the case an anonymous mapping avoids.
    delete[] new char[sizeof(crontab_t)];
    crontab_t* first = nullptr;
    crontab_t* second = nullptr;
    // The first figure includes the library's code pages read in on first use.
    long cold = measure(&first);
    long warm = measure(&second);
    if (cold < 0 || warm < 0) return 1;
    std::printf("instance size: %zu bytes\n", sizeof(crontab_t));
    std::printf(
        "resident growth, create + 10 adds + job list: first %ld bytes (%.2f MB), "
        "second %ld bytes (%.2f MB)\n",
        cold, cold / (1024.0 * 1024.0), warm, warm / (1024.0 * 1024.0));
    crontab_destroy(first);
    crontab_destroy(second);
    return cold < kLimit && warm < kLimit ? 0 : 1;
}
