// Host program of the crash test: opens the store in a data directory and
// changes jobs without pause, each change saved by the library, until it is
// killed. It keeps its own copy of the table and tells the test, through
// stdout, the digest of the table each change is about to produce ("P") and
// has produced ("A"), so the test can tell which contents the file may hold.
//   store_crash_host <data_dir> <seed>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "quilmarn_crontab.h"
#include "store_crash_util.h"

namespace {

void say(char kind, const crash_table& t) {
    std::printf("%c %016llx\n", kind, static_cast<unsigned long long>(crash_table_digest(t)));
    std::fflush(stdout);
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "store_crash_host: %s\n", what);
    std::exit(3);
}

int pick_id(const crash_table& t, std::mt19937& rng) {
    auto it = t.jobs.begin();
    std::advance(it, std::uniform_int_distribution<size_t>(0, t.jobs.size() - 1)(rng));
    return it->first;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) fail("usage: store_crash_host <data_dir> <seed>");
    const std::string dir = argv[1];
    std::mt19937 rng(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)));
    const char* exprs[] = {"* * * * *", "*/5 9-17 * * MON-FRI", "@daily", "@every 90s", "0 0 29 2 *"};

    crash_table t;
    if (!crash_table_read(dir + "/crontab.json", &t)) fail("store unreadable at start");
    crontab_t* ct = crontab_create(dir.c_str());
    if (ct == nullptr) fail("crontab_create failed");
    // The library loaded what the file holds.
    crash_table loaded;
    loaded.next_id = t.next_id;
    rapidjson::Document report;
    report.Parse(crontab_get_jobs_json(ct));
    if (report.HasParseError() || !crash_jobs_from(report, &loaded)) fail("job list unreadable");
    if (crash_table_digest(loaded) != crash_table_digest(t)) fail("loaded table differs from the file");
    say('A', t);

    for (unsigned n = 0;; ++n) {
        crash_table next = t;
        int op = t.jobs.size() < 8     ? 0
                 : t.jobs.size() >= 40 ? 2
                                       : std::uniform_int_distribution<int>(0, 3)(rng);
        const std::string tag = std::to_string(n) + "-" + std::to_string(rng() % 100000);
        const char* expr = exprs[rng() % 5];
        bool enabled = rng() % 2;
        int rc = 0, id = 0;
        switch (op) {
            case 0:  // add: the id is next_id, never one used before
                id = next.next_id++;
                next.jobs[id] = {"job " + tag, expr, "echo " + tag, enabled, 0};
                say('P', next);
                rc = crontab_add_job(ct, ("job " + tag).c_str(), expr, ("echo " + tag).c_str(), enabled) == id
                         ? 0
                         : -1;
                break;
            case 1:  // update: the settings stay
                id = pick_id(t, rng);
                next.jobs[id].name = "upd " + tag;
                next.jobs[id].expr = expr;
                next.jobs[id].cmd = "true " + tag;
                next.jobs[id].enabled = enabled;
                say('P', next);
                rc = crontab_update_job(ct, id, ("upd " + tag).c_str(), expr, ("true " + tag).c_str(),
                                        enabled);
                break;
            case 2:
                id = pick_id(t, rng);
                next.jobs.erase(id);
                say('P', next);
                rc = crontab_delete_job(ct, id);
                break;
            default:
                id = pick_id(t, rng);
                next.jobs[id].timeout = 1 + static_cast<int>(rng() % 1000);
                say('P', next);
                rc = crontab_set_job_timeout(ct, id, next.jobs[id].timeout);
                break;
        }
        if (rc != 0) fail("a job change failed");
        t = next;
        say('A', t);
    }
}
