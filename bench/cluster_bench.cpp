// Cost of clusters. A claim's round trip (one statement on a warm
// connection), its median and p99, over each connection string given; then
// dispatch latency (the child's start event minus its fire time) of 16
// "@every 1s" jobs with a cluster joined and without.
//   cluster_bench SECONDS CONNINFO [CONNINFO...]
// bench/cluster_bench.py starts a private server and passes a Unix socket and
// a TCP loopback connection string.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "quilmarn_crontab.h"
#include "sched/cron_cluster.h"
#include "sched/cron_job.h"

namespace {

using clock_type = std::chrono::steady_clock;

void print(const char* what, std::vector<double> v) {
    if (v.empty()) {
        std::printf("  %-28s no samples\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    auto pct = [&](double p) { return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))]; };
    std::printf("  %-28s p50 %8.3f ms   p99 %8.3f ms   max %8.3f ms   (%zu)\n", what, pct(0.5), pct(0.99),
                v.back(), v.size());
}

void claims(const char* conninfo, int round) {
    crontab_t* ct = crontab_create(nullptr);
    if (ct == nullptr || crontab_join_cluster(ct, conninfo, "bench", CRONTAB_CLUSTER_SKIP) != 0) {
        std::printf("  cannot join: %s\n", crontab_last_error());
        std::exit(1);
    }
    cron_cluster_t* cl = ct->shared->cluster.get();
    const int64_t base =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count() *
        1000000;  // fire times no earlier run has claimed
    std::vector<double> ms;
    for (int i = 0; i < 2100; ++i) {
        const auto t0 = clock_type::now();
        const cron_claim_t c = cron_cluster_claim(cl, "bench", base + round * 10000 + i, false);
        const double d = std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
        if (c.outcome != cron_claim_outcome::won) {
            std::printf("  claim failed: %s\n", c.why.c_str());
            std::exit(1);
        }
        cron_cluster_end(cl, "bench", base + round * 10000 + i);
        if (i >= 100) ms.push_back(d);  // the first ones open the connection
    }
    print(conninfo, ms);
    crontab_destroy(ct);
}

std::vector<double> dispatch(const char* conninfo, int seconds) {
    crontab_t* ct = crontab_create(nullptr);
    if (conninfo != nullptr) crontab_join_cluster(ct, conninfo, nullptr, CRONTAB_CLUSTER_SKIP);
    for (int i = 0; i < 16; ++i) {
        const std::string name = "job" + std::to_string(i) + (conninfo != nullptr ? "c" : "");
        const int id = crontab_add_job(ct, name.c_str(), "@every 1s", "true", 1);
        crontab_set_job_overlap_policy(ct, id, CRONTAB_OVERLAP_ALLOW);
    }
    crontab_start(ct);
    std::map<uint64_t, int64_t> fire;
    std::vector<double> ms;
    uint64_t seen = 0;
    const auto end = clock_type::now() + std::chrono::seconds(seconds);
    while (clock_type::now() < end) {
        crontab_wait_events(ct, seen, 200);
        char* text = crontab_read_events_json(ct, seen, 4096);
        rapidjson::Document d;
        d.Parse(text);
        crontab_free(text);
        for (const auto& e : d.GetArray()) {
            seen = e["seq"].GetUint64();
            const std::string kind = e["kind"].GetString();
            if (kind == "admitted" && e.HasMember("fire_time"))
                fire[e["execution"].GetUint64()] = e["fire_time"].GetInt64();
            if (kind == "started")
                ms.push_back(
                    static_cast<double>(e["time_ms"].GetInt64() - fire[e["execution"].GetUint64()] * 1000));
        }
    }
    crontab_destroy(ct);
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::printf("usage: cluster_bench SECONDS CONNINFO [CONNINFO...]\n");
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    std::printf("claim round trip (one statement, warm connection):\n");
    for (int i = 2; i < argc; ++i) claims(argv[i], i);
    std::printf("dispatch, start event minus fire time, 16 jobs @every 1s, %d s each:\n", seconds);
    print("without a cluster", dispatch(nullptr, seconds));
    print("with a cluster (first)", dispatch(argv[2], seconds));
    return 0;
}
