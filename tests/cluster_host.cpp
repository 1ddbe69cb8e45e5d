// Host program of the cluster test: one node with one job, run for a while,
// telling the test through a shared file what it did with each fire time:
//   RUN <fire_time> <node>          the command started here (first attempt)
//   UNRUN <fire_time> <node>        the claim failed; the run record says so
//   LOST <fire_time> <node> <winner>
// The fire time is taken from the execution's admitted event.
//   cluster_host <data_dir> <conninfo> <node> <skip|run> <out> <seconds>
//                <clock_shift_ms> <tick|long|slow> [<lock_dir>]
// tick: "@every 1s" running `true`, policy allow. long: "@every 1s", policy
// skip, a command of 2.5 s that writes OVERLAP to <out> if another node's
// command runs at the same time. slow: "@every 1s", policy skip, `sleep 8`.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <rapidjson/document.h>

#include "proc/cron_os.h"
#include "quilmarn_crontab.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "cluster_host: %s: %s\n", what, crontab_last_error());
    std::exit(3);
}

void append(const std::string& path, const std::string& line) {
    // One write of a short line to a file opened for appending: lines of
    // several processes do not mix.
    FILE* f = std::fopen(path.c_str(), "a");
    if (f == nullptr) fail("cannot open the output file");
    std::fputs(line.c_str(), f);
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 9)
        fail("usage: cluster_host DIR CONNINFO NODE skip|run OUT SECONDS SHIFT_MS tick|long [LOCK]");
    const std::string node = argv[3], out = argv[5], mode = argv[8];
    cron_os_set_clock_shift(std::strtoll(argv[7], nullptr, 10));
    crontab_t* ct = crontab_create(argv[1]);
    if (ct == nullptr) fail("crontab_create");
    const int policy = std::strcmp(argv[4], "run") == 0 ? CRONTAB_CLUSTER_RUN : CRONTAB_CLUSTER_SKIP;
    if (crontab_join_cluster(ct, argv[2], node.c_str(), policy) != 0) fail("crontab_join_cluster");
    std::string cmd = mode == "slow" ? "sleep 8" : "true";
    if (mode == "long") {
        const std::string lock = argc > 9 ? argv[9] : "/nonexistent";
        cmd = "mkdir '" + lock + "' 2>/dev/null || echo OVERLAP >> '" + out + "'; sleep 2.5; rmdir '" + lock +
              "' 2>/dev/null; true";
    }
    const int id = crontab_add_job(ct, mode.c_str(), "@every 1s", cmd.c_str(), 1);
    if (id < 0) fail("crontab_add_job");
    if (crontab_set_job_overlap_policy(ct, id,
                                       mode != "tick" ? CRONTAB_OVERLAP_SKIP : CRONTAB_OVERLAP_ALLOW) != 0)
        fail("crontab_set_job_overlap_policy");
    if (crontab_start(ct) != 0) fail("crontab_start");
    std::printf("ready\n");
    std::fflush(stdout);

    std::map<uint64_t, int64_t> fire_of;  // execution -> fire time
    uint64_t seen = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[6]));
    while (std::chrono::steady_clock::now() < end) {
        crontab_wait_events(ct, seen, 200);
        char* text = crontab_read_events_json(ct, seen, 4096);
        if (text == nullptr) fail("crontab_read_events_json");
        rapidjson::Document doc;
        doc.Parse(text);
        crontab_free(text);
        for (const auto& e : doc.GetArray()) {
            seen = e["seq"].GetUint64();
            const std::string kind = e["kind"].GetString();
            const uint64_t ex = e.HasMember("execution") ? e["execution"].GetUint64() : 0;
            if (kind == "admitted" && e.HasMember("fire_time")) fire_of[ex] = e["fire_time"].GetInt64();
            const std::string fire = std::to_string(fire_of[ex]);
            if (kind == "started" && e["attempt"].GetInt() == 1)
                append(out, "RUN " + fire + " " + node + "\n");
            if (kind == "finished" && std::strstr(e["record"]["stderr"].GetString(), "could not be reached"))
                append(out, "UNRUN " + fire + " " + node + " " + e["record"]["stderr"].GetString() + "\n");
            if (kind == "claimed_elsewhere")
                append(out, "LOST " + fire + " " + node + " " + e["node"].GetString() + "\n");
        }
    }
    crontab_stop(ct);
    crontab_destroy(ct);
    return 0;
}
