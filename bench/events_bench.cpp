// The event feed: the cost of one append under the instance lock, and of
// draining 100,000 events as a host does (read after the last number, free).
#include <cstring>
#include <mutex>

#include <benchmark/benchmark.h>

#include "bench_args.h"

#include "quilmarn_crontab.h"
#include "sched/cron_events.h"
#include "sched/cron_job.h"

namespace {

constexpr char kOutput[] = "backup done: 1234 files\n";

// Arg 0: a job change; arg 1: an attempt's end with its record and output.
void push(crontab_t* ct, const cron_job_t* job, bool finished) {
    if (!finished) {
        cron_event_push(ct, cron_event_kind::changed, job)->detail = CRON_CHANGE_TIMEOUT;
        return;
    }
    cron_event_t* ev = cron_event_push(ct, cron_event_kind::finished, job);
    ev->execution = 1;
    ev->attempt = 1;
    ev->started_at = ev->finished_at = 1765199873;
    cron_event_put_text(ct, ev, kOutput, sizeof kOutput - 1, "", 0);
}

void BM_EventAppend(benchmark::State& state) {
    crontab_t* ct = crontab_create(nullptr);
    const int id = crontab_add_job(ct, "backup", "@daily", "true", 0);
    const cron_job_t* job = cron_job_find(ct, id);
    std::unique_lock<std::mutex> lk(ct->shared->lock);
    // Once round the ring first: the steady state, every page touched.
    for (int i = 0; i < CRON_EVENT_CAPACITY; ++i) push(ct, job, state.range(0) != 0);
    for (auto _ : state) push(ct, job, state.range(0) != 0);
    state.SetItemsProcessed(state.iterations());
    lk.unlock();
    crontab_destroy(ct);
}

void BM_Drain100k(benchmark::State& state) {
    crontab_t* ct = crontab_create(nullptr);
    const int id = crontab_add_job(ct, "backup", "@daily", "true", 0);
    const cron_job_t* job = cron_job_find(ct, id);
    constexpr int kTotal = 100000, kBatch = 1000;
    for (auto _ : state) {
        uint64_t after = crontab_get_last_event_seq(ct);
        for (int done = 0; done < kTotal; done += kBatch) {
            {
                std::lock_guard<std::mutex> lk(ct->shared->lock);
                for (int i = 0; i < kBatch; ++i) push(ct, job, state.range(0) != 0);
            }
            char* text = crontab_read_events_json(ct, after, kBatch);
            benchmark::DoNotOptimize(text);
            after += kBatch;
            crontab_free(text);
        }
    }
    state.SetItemsProcessed(state.iterations() * kTotal);
    crontab_destroy(ct);
}

}  // namespace

BENCHMARK(BM_EventAppend)->Arg(0)->Arg(1);
BENCHMARK(BM_Drain100k)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
int main(int argc, char** argv) {
    bench_initialize(argc, argv, "1");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
