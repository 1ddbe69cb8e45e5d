// Job statistics: counted with the events, equal to what the feed tells, kept
// across a change of the job and dropped with it.
#include <cstring>
#include <string>

#include "job_cmd.h"
#include "sched_util.h"

using namespace sched_test;

namespace {

rapidjson::Document stats(crontab_t* ct) {
    char* text = crontab_copy_stats_json(ct);
    rapidjson::Document d;
    d.Parse(text);
    crontab_free(text);
    EXPECT_TRUE(d.IsObject());
    return d;
}

// The job's object of the report; null when it is not there.
rapidjson::Document job_stats(crontab_t* ct, int id) {
    rapidjson::Document all = stats(ct);
    rapidjson::Document one;
    for (auto& j : all["jobs"].GetArray()) {
        if (j["id"].GetInt() == id) one.CopyFrom(j, one.GetAllocator());
    }
    return one;
}

// Every event of the feed so far (the test reads it whole).
rapidjson::Document feed(crontab_t* ct) {
    char* text = crontab_read_events_json(ct, 0, 0);
    rapidjson::Document d;
    d.Parse(text);
    crontab_free(text);
    return d;
}

// The sum of `member` (1 when empty) over the feed's events of `kind` for `id`.
uint64_t feed_count(crontab_t* ct, int id, const char* kind, const char* member = nullptr) {
    uint64_t n = 0;
    rapidjson::Document d = feed(ct);
    for (auto& e : d.GetArray()) {
        if (std::strcmp(e["kind"].GetString(), kind) == 0 && e.HasMember("job_id") &&
            e["job_id"].GetInt() == id)
            n += member != nullptr ? e[member].GetUint64() : 1;
    }
    return n;
}

TEST(StatsTest, OutcomesAttemptsRetriesAndDurationsFollowTheRuns) {
    instance ct = make_instance();
    const int ok =
        crontab_add_job(ct.get(), "ok", "@every 1h", std::string(job_cmd().print("ok")).c_str(), 0);
    const int bad =
        crontab_add_job(ct.get(), "bad", "@every 1h", std::string(job_cmd().exit_with(3)).c_str(), 0);
    const int slow =
        crontab_add_job(ct.get(), "slow", "@every 1h", std::string(job_cmd().sleep_ms(20000)).c_str(), 0);
    ASSERT_EQ(crontab_set_job_retry(ct.get(), bad, 1, 0), 0);
    ASSERT_EQ(crontab_set_job_timeout(ct.get(), slow, 1), 0);
    const int64_t before_ms = now_sec() * 1000;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(crontab_run_now(ct.get(), ok), 0);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(crontab_run_now(ct.get(), bad), 0);
    ASSERT_EQ(crontab_run_now(ct.get(), slow), 0);

    struct row {
        int id;
        uint64_t succeeded, failed, timed_out, attempts, retries;
    };
    for (const row& r : {row{ok, 3, 0, 0, 3, 0}, row{bad, 0, 2, 0, 4, 2}, row{slow, 0, 0, 1, 1, 0}}) {
        SCOPED_TRACE(r.id);
        rapidjson::Document j = job_stats(ct.get(), r.id);
        EXPECT_EQ(j["succeeded"].GetUint64(), r.succeeded);
        EXPECT_EQ(j["failed"].GetUint64(), r.failed);
        EXPECT_EQ(j["timed_out"].GetUint64(), r.timed_out);
        EXPECT_EQ(j["executions"].GetUint64(), r.succeeded + r.failed + r.timed_out);
        EXPECT_EQ(j["attempts"].GetUint64(), r.attempts);
        EXPECT_EQ(j["retries"].GetUint64(), r.retries);
        // The feed tells the same.
        EXPECT_EQ(j["executions"].GetUint64(), feed_count(ct.get(), r.id, "ended"));
        EXPECT_EQ(j["attempts"].GetUint64(), feed_count(ct.get(), r.id, "finished"));
        EXPECT_EQ(j["retries"].GetUint64(), feed_count(ct.get(), r.id, "retrying"));
        EXPECT_EQ(j["last_success_ms"].GetInt64() != 0, r.succeeded != 0);
        EXPECT_EQ(j["last_failure_ms"].GetInt64() != 0, r.failed + r.timed_out != 0);
        if (j["last_success_ms"].GetInt64() != 0) {
            EXPECT_GE(j["last_success_ms"].GetInt64(), before_ms);
        }
        uint64_t observed = 0;
        for (auto& n : j["duration_counts"].GetArray()) observed += n.GetUint64();
        EXPECT_EQ(observed, j["executions"].GetUint64());
    }
    // Quick runs fall in the first bucket (up to 1 s), the timed-out one in the second.
    EXPECT_EQ(job_stats(ct.get(), ok)["duration_counts"][0].GetUint64(), 3u);
    EXPECT_EQ(job_stats(ct.get(), slow)["duration_counts"][1].GetUint64(), 1u);
    EXPECT_GE(job_stats(ct.get(), slow)["duration_sum_ms"].GetUint64(), 1000u);
}

TEST(StatsTest, SkippedAndQueuedFireTimesEqualTheFeed) {
    temp_dir dir;
    const std::string release = dir.file("release");
    instance ct = make_instance();
    const int skip =
        crontab_add_job(ct.get(), "skip", "@every 1s", std::string(job_cmd().wait_for(release)).c_str(), 1);
    const int queue =
        crontab_add_job(ct.get(), "queue", "@every 1s", std::string(job_cmd().wait_for(release)).c_str(), 1);
    ASSERT_EQ(crontab_set_job_overlap_policy(ct.get(), queue, CRONTAB_OVERLAP_QUEUE), 0);
    ASSERT_EQ(crontab_start(ct.get()), 0);
    ASSERT_TRUE(wait_until([&] {
        crontab_wait_events(ct.get(), crontab_get_last_event_seq(ct.get()), 500);
        return feed_count(ct.get(), skip, "skipped") > 0 && feed_count(ct.get(), queue, "queued") > 0;
    }));
    ASSERT_EQ(crontab_stop(ct.get()), 0);
    touch(release);
    ASSERT_TRUE(wait_until([&] { return job_stats(ct.get(), skip)["running"].GetInt() == 0; }));
    rapidjson::Document s = job_stats(ct.get(), skip);
    EXPECT_EQ(s["skipped"].GetUint64(), feed_count(ct.get(), skip, "skipped", "count"));
    EXPECT_EQ(s["skipped_running"].GetUint64(), 1u);  // told once while it runs
    EXPECT_EQ(job_stats(ct.get(), queue)["queued"].GetUint64(), feed_count(ct.get(), queue, "queued"));
}

TEST(StatsTest, LostEventsAreThoseOverwrittenUnread) {
    instance ct = make_instance();
    const int id = crontab_add_job(ct.get(), "x", "@every 1h", "true", 0);
    for (int i = 0; i < CRONTAB_EVENT_CAPACITY + 99; ++i)
        ASSERT_EQ(crontab_set_job_timeout(ct.get(), id, i), 0);
    const uint64_t last = crontab_get_last_event_seq(ct.get());
    EXPECT_EQ(stats(ct.get())["events"].GetUint64(), last);
    EXPECT_EQ(stats(ct.get())["events_lost"].GetUint64(), last - CRONTAB_EVENT_CAPACITY);
    // Read to the end: what comes after is not lost however much it is.
    crontab_free(crontab_read_events_json(ct.get(), last, 1));
    for (int i = 0; i < CRONTAB_EVENT_CAPACITY; ++i) ASSERT_EQ(crontab_set_job_timeout(ct.get(), id, i), 0);
    EXPECT_EQ(stats(ct.get())["events_lost"].GetUint64(), last - CRONTAB_EVENT_CAPACITY);
}

TEST(StatsTest, AChangeKeepsTheCountersDeletingDropsThem) {
    instance ct = make_instance();
    const std::string ok = job_cmd().print("x");
    const int id = crontab_add_job(ct.get(), "x", "@every 1h", ok.c_str(), 0);
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    ASSERT_EQ(crontab_update_job(ct.get(), id, "y", "@every 2h", "false", 1), 0);
    EXPECT_EQ(job_stats(ct.get(), id)["succeeded"].GetUint64(), 1u);
    EXPECT_GT(job_stats(ct.get(), id)["next_run"].GetInt64(), now_sec());
    ASSERT_EQ(crontab_delete_job(ct.get(), id), 0);
    EXPECT_TRUE(job_stats(ct.get(), id).IsNull());
    const int again = crontab_add_job(ct.get(), "x", "@every 1h", "true", 0);
    EXPECT_EQ(job_stats(ct.get(), again)["executions"].GetUint64(), 0u);
    EXPECT_EQ(job_stats(ct.get(), again)["next_run"].GetInt64(), 0);  // disabled
    EXPECT_STREQ(crontab_get_stats_json(nullptr), "{}");
    EXPECT_EQ(crontab_last_error_code(), CRONTAB_E_NO_INSTANCE);
}

}  // namespace
