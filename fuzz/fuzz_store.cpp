// Any bytes as the store text: the loader keeps the table within its bounds
// and valid, and what it took survives a save and a reload unchanged.
#include <cstring>
#include <new>
#include <string>

#include "fuzz_check.h"
#include "base/cron_text.h"
#include "proc/cron_os.h"
#include "sched/cron_store.h"

namespace {

constexpr int64_t load_time = 1735689600;  // 2025-01-01

// Bare tables: parsing and formatting touch only the slots and next_id.
// Mapped once and emptied after each input; mapping 21 MB per input would
// cost more than the input itself.
crontab_t* new_table() {
    void* mem = cron_os_alloc_zeroed(sizeof(crontab_t));
    FUZZ_CHECK(mem != nullptr);
    return new (mem) crontab_t;
}
crontab_t* const first = new_table();
crontab_t* const second = new_table();

void empty(crontab_t* ct) {
    for (cron_job_t& j : ct->jobs)
        if (j.in_use) cron_job_clear(&j);
    ct->next_id = 1;
}

void check_text(const char* s, size_t size) {
    size_t n = strnlen(s, size);
    FUZZ_CHECK(n < size);
    FUZZ_CHECK(cron_utf8_valid(std::string_view(s, n)));
}

void check_bounds(const crontab_t* ct) {
    FUZZ_CHECK(ct->next_id >= 1);
    for (const cron_job_t& j : ct->jobs) {
        if (!j.in_use) continue;
        FUZZ_CHECK(j.in_use == 1);
        FUZZ_CHECK(j.id >= 1 && (j.id < ct->next_id || ct->next_id == INT32_MAX));
        check_text(j.name, sizeof j.name);
        check_text(j.expr, sizeof j.expr);
        check_text(j.cmd, sizeof j.cmd);
        check_text(j.workdir, sizeof j.workdir);
        check_text(j.env, sizeof j.env);
        FUZZ_CHECK(j.sched.valid == 1);
        FUZZ_CHECK(j.enabled == 0 || j.enabled == 1);
        FUZZ_CHECK(j.max_runtime_sec >= 0);
        FUZZ_CHECK(j.overlap_policy >= 0 && j.overlap_policy <= 3);
        FUZZ_CHECK(j.retry_max >= 0 && j.retry_max <= 10);
        FUZZ_CHECK(j.retry_backoff_sec >= 0 && j.retry_backoff_sec <= 3600);
        FUZZ_CHECK(j.last_run == 0 && j.log_count == 0 && j.running_count == 0 && j.queued == 0);
    }
}

void check_same(const crontab_t* a, const crontab_t* b) {
    FUZZ_CHECK(a->next_id == b->next_id);
    for (int i = 0; i < CRON_MAX_JOBS; ++i) {
        const cron_job_t& x = a->jobs[i];
        const cron_job_t& y = b->jobs[i];
        FUZZ_CHECK(x.in_use == y.in_use);
        if (!x.in_use) continue;
        FUZZ_CHECK(x.id == y.id);
        FUZZ_CHECK(std::strcmp(x.name, y.name) == 0);
        FUZZ_CHECK(std::strcmp(x.expr, y.expr) == 0);
        FUZZ_CHECK(std::strcmp(x.cmd, y.cmd) == 0);
        FUZZ_CHECK(std::strcmp(x.workdir, y.workdir) == 0);
        FUZZ_CHECK(std::strcmp(x.env, y.env) == 0);
        FUZZ_CHECK(x.enabled == y.enabled && x.max_runtime_sec == y.max_runtime_sec);
        FUZZ_CHECK(x.overlap_policy == y.overlap_policy && x.retry_max == y.retry_max &&
                   x.retry_backoff_sec == y.retry_backoff_sec);
        FUZZ_CHECK(std::memcmp(&x.sched, &y.sched, sizeof x.sched) == 0);
        FUZZ_CHECK(x.next_run == y.next_run);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    empty(first);
    empty(second);
    cron_store_parse(first, text, load_time);
    check_bounds(first);

    // Whatever was taken is written and read back as it stands.
    std::string saved;
    FUZZ_CHECK(cron_store_format(first, &saved));
    FUZZ_CHECK(cron_store_parse(second, saved, load_time));
    check_same(first, second);
    std::string again;
    FUZZ_CHECK(cron_store_format(second, &again));
    FUZZ_CHECK(again == saved);
    return 0;
}
