// crontab_reload: a hand edit of crontab.json reaches the jobs in memory,
// job by job, without disturbing what runs; a file it cannot take whole
// changes nothing.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "job_cmd.h"
#include "sched_util.h"

using namespace sched_test;

namespace {

// The events after `after`, as "kind:job_id:cause" words; "reloaded" with
// its counts.
std::string events_after(crontab_t* ct, uint64_t after) {
    char* text = crontab_read_events_json(ct, after, 0);
    rapidjson::Document d;
    d.Parse(text);
    crontab_free(text);
    std::string out;
    for (const auto& e : d.GetArray()) {
        const std::string kind = e["kind"].GetString();
        if (kind != "added" && kind != "changed" && kind != "removed" && kind != "reloaded") continue;
        out += out.empty() ? "" : " ";
        out += kind;
        if (kind == "reloaded") {
            for (const char* k : {"added", "changed", "removed", "kept"})
                out += ":" + std::to_string(e[k].GetInt());
            continue;
        }
        out += ":" + std::to_string(e["job_id"].GetInt());
        if (e.HasMember("cause")) out += std::string(":") + e["cause"].GetString();
    }
    return out;
}

std::string to_text(const rapidjson::Document& d) {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    d.Accept(w);
    return buf.GetString();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class Reload : public ::testing::Test {
protected:
    int add(const char* name, const std::string& cmd, int enabled = 0) {
        return crontab_add_job(ct.get(), name, "@daily", cmd.c_str(), enabled);
    }
    temp_dir dir;
    instance ct = make_instance(dir.file("data").c_str());
    std::string store = dir.file("data/crontab.json");
};

TEST_F(Reload, HandEditIsAppliedByIdWhileAnotherJobRuns) {
    const std::string go = dir.file("go");
    const int running = add("running", job_cmd().wait_for(go).print("late"));
    const int kept = add("kept", job_cmd().print("k"));
    const int edited = add("edited", job_cmd().print("before"));
    const int gone = add("gone", job_cmd().print("g"));
    ASSERT_EQ(crontab_run_now(ct.get(), kept), 0);
    ASSERT_EQ(crontab_run_now(ct.get(), edited), 0);
    background_run run(ct.get(), running);
    ASSERT_TRUE(wait_until([&] { return job_running(ct.get(), running); }));

    rapidjson::Document d;
    d.Parse(read_file(store).c_str());
    ASSERT_TRUE(d.IsObject());
    auto& jobs = d["jobs"];
    for (auto it = jobs.Begin(); it != jobs.End();) {
        if ((*it)["id"].GetInt() == gone) {
            it = jobs.Erase(it);
            continue;
        }
        if ((*it)["id"].GetInt() == edited) {
            (*it)["cmd"].SetString(std::string(job_cmd().print("after")).c_str(), d.GetAllocator());
            (*it)["retry_max"].SetInt(2);
        }
        ++it;
    }
    rapidjson::Document added;
    added.Parse(R"({"id":50,"name":"added","expr":"@hourly","cmd":"true","enabled":true})");
    jobs.PushBack(rapidjson::Value(added, d.GetAllocator()), d.GetAllocator());
    const std::string edit = to_text(d);
    write_file(store, edit);

    const uint64_t before = crontab_get_last_event_seq(ct.get());
    ASSERT_EQ(crontab_reload(ct.get()), 0) << crontab_last_error();
    EXPECT_EQ(events_after(ct.get(), before), "removed:" + std::to_string(gone) +
                                                  ":reload changed:" + std::to_string(edited) +
                                                  ":reload added:50:reload reloaded:1:1:1:2");
    EXPECT_EQ(read_file(store), edit);  // nothing written

    EXPECT_EQ(job_int(ct.get(), edited, "retry_max"), 2);
    EXPECT_EQ(log_count(ct.get(), edited), 1u);  // run state stays with a change
    EXPECT_EQ(newest_text(ct.get(), kept, "stdout"), "k\n");
    EXPECT_GT(job_int(ct.get(), 50, "next_run"), now_sec());
    ASSERT_EQ(crontab_run_now(ct.get(), edited), 0);
    EXPECT_EQ(newest_text(ct.get(), edited, "stdout"), "after\n");

    // The run that went on through the reload ends in its job's records.
    touch(go);
    EXPECT_EQ(run.join(), 0);
    EXPECT_EQ(newest_text(ct.get(), running, "stdout"), "late\n");
    // Ids stay above every id seen.
    EXPECT_EQ(add("next", "true"), 51);

    // The file holds what the add saved: a reload keeps every job.
    const uint64_t again = crontab_get_last_event_seq(ct.get());
    ASSERT_EQ(crontab_reload(ct.get()), 0);
    EXPECT_EQ(events_after(ct.get(), again), "reloaded:0:0:0:5");
}

TEST_F(Reload, JobWithoutIdNeverTakesAnIdUsedBefore) {
    add("first", "true");
    const int second = add("second", "true");
    // The second job replaced by one without an id, the counter set back.
    write_file(store, R"({"next_id":1,"jobs":[{"id":1,"name":"first","expr":"@daily","cmd":"true"},)"
                      R"({"name":"other","expr":"@daily","cmd":"true"}]})");
    const uint64_t before = crontab_get_last_event_seq(ct.get());
    ASSERT_EQ(crontab_reload(ct.get()), 0) << crontab_last_error();
    EXPECT_EQ(events_after(ct.get(), before), "removed:" + std::to_string(second) + ":reload added:" +
                                                  std::to_string(second + 1) + ":reload reloaded:1:0:1:1");
}

TEST_F(Reload, FileItCannotTakeWholeChangesNothing) {
    const int id = add("job", job_cmd().print("x"), 1);
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    const std::string good = read_file(store);
    const std::string jobs = std::string(crontab_get_jobs_json(ct.get()));
    struct bad_file {
        const char* what;
        std::string text;  // empty: a symbolic link to the good file
        const char* says;
    };
    const bad_file cases[] = {
        {"bad JSON", R"({"jobs":[{"id":1,)", "crontab.json line 1"},
        {"a job the load would leave out",
         R"({"jobs":[{"id":1,"name":"job","expr":"61 * * * *","cmd":"x"}]})", "crontab.json job 1 ('job')"},
        {"a link", "", "symbolic link"},
    };
    for (const bad_file& c : cases) {
        SCOPED_TRACE(c.what);
#ifdef _WIN32
        if (c.text.empty()) continue;  // links need a privilege there
#endif
        fs::remove(store);
        if (c.text.empty()) {
            write_file(dir.file("elsewhere.json"), good);
            fs::create_symlink(dir.file("elsewhere.json"), store);
        } else {
            write_file(store, c.text);
        }
        const uint64_t before = crontab_get_last_event_seq(ct.get());
        EXPECT_EQ(crontab_reload(ct.get()), CRONTAB_ERROR);
        EXPECT_EQ(crontab_last_error_code(), CRONTAB_E_STORE_UNREADABLE);
        EXPECT_NE(std::strstr(crontab_last_error(), c.says), nullptr) << crontab_last_error();
        EXPECT_EQ(crontab_get_last_event_seq(ct.get()), before);
        EXPECT_EQ(std::string(crontab_get_jobs_json(ct.get())), jobs);
        EXPECT_EQ(log_count(ct.get(), id), 1u);
    }
}

}  // namespace
