// The event feed: what each decision tells, in order, and how hosts drain it
// (reading after a number, waiting, the descriptor, lost events).
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#    include <poll.h>
#endif

#include "job_cmd.h"
#include "proc/cron_os.h"
#include "sched/cron_events.h"
#include "sched/cron_exec.h"
#include "sched_util.h"

using namespace sched_test;

namespace {

using value = rapidjson::Value;

// Everything read so far, in order; reads from where it stopped.
class feed_reader {
public:
    explicit feed_reader(crontab_t* ct, uint64_t after = 0) : ct_(ct), after_(after) {}

    void drain() {
        for (;;) {
            char* text = crontab_read_events_json(ct_, after_, 0);
            ASSERT_NE(text, nullptr);
            rapidjson::Document d;
            d.Parse(text);
            crontab_free(text);
            ASSERT_TRUE(d.IsArray());
            if (d.Empty()) return;
            for (auto& e : d.GetArray()) {
                // Numbers go up by one; a lost entry stands for the events it counts.
                const bool lost = std::strcmp(e["kind"].GetString(), "lost") == 0;
                EXPECT_EQ(e["seq"].GetUint64() - (lost ? e["count"].GetUint64() - 1 : 0), after_ + 1);
                after_ = e["seq"].GetUint64();
                all_.PushBack(value(e, all_.GetAllocator()), all_.GetAllocator());
            }
        }
    }

    // Index of the first event from `from` on of `kind` that `pred` accepts,
    // waiting for it with the wait export; -1 after a generous deadline.
    template <class Pred>
    int wait_for(const char* kind, Pred pred, size_t from = 0) {
        const auto end = std::chrono::steady_clock::now() + 30s;
        for (;;) {
            drain();
            for (size_t i = from; i < all_.Size(); ++i) {
                if (std::strcmp(all_[i]["kind"].GetString(), kind) == 0 && pred(all_[i]))
                    return static_cast<int>(i);
            }
            if (std::chrono::steady_clock::now() > end) return -1;
            crontab_wait_events(ct_, after_, 1000);
        }
    }
    int wait_kind(const char* kind, size_t from = 0) {
        return wait_for(
            kind, [](const value&) { return true; }, from);
    }

    // The kinds read so far from `from` on, joined by spaces.
    std::string kinds(size_t from = 0) const {
        std::string out;
        for (size_t i = from; i < all_.Size(); ++i)
            out += std::string(out.empty() ? "" : " ") + all_[i]["kind"].GetString();
        return out;
    }
    const value& operator[](size_t i) const { return all_[static_cast<rapidjson::SizeType>(i)]; }
    size_t size() const { return all_.Size(); }
    uint64_t after() const { return after_; }

private:
    crontab_t* ct_;
    uint64_t after_;
    rapidjson::Document all_{rapidjson::kArrayType};
};

class EventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        ct = make_instance();
    }
    void TearDown() override {
        cron_os_set_clock_shift(0);
        cron_exec_fail_spawns(0);
        cron_exec_fail_attempts(0);
    }
    int add(const std::string& cmd, const char* expr = "@daily", int enabled = 0) {
        int id = crontab_add_job(ct.get(), "job", expr, cmd.c_str(), enabled);
        EXPECT_GT(id, 0);
        return id;
    }
    temp_dir dir;
    instance ct;
};

TEST_F(EventsTest, RunNowTellsEachStepWithOneExecutionId) {
    int id = add(job_cmd().print("out").print_err("err"));
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    feed_reader f(ct.get());
    f.drain();
    ASSERT_EQ(f.kinds(), "added admitted started finished ended");
    EXPECT_EQ(f[0]["seq"].GetUint64(), 1u);
    EXPECT_STREQ(f[0]["job_name"].GetString(), "job");
    const uint64_t exec = f[1]["execution"].GetUint64();
    EXPECT_GT(exec, 0u);
    EXPECT_STREQ(f[1]["trigger"].GetString(), "hand");
    EXPECT_FALSE(f[1].HasMember("fire_time"));
    EXPECT_EQ(f[2]["attempt"].GetInt(), 1);
    EXPECT_GT(f[2]["pid"].GetInt64(), 0);
    const value& rec = f[3]["record"];
    EXPECT_STREQ(rec["stdout"].GetString(), "out\n");
    EXPECT_STREQ(rec["stderr"].GetString(), "err\n");
    EXPECT_FALSE(f[3]["output_lost"].GetBool());
    EXPECT_STREQ(f[4]["outcome"].GetString(), "succeeded");
    EXPECT_EQ(f[4]["attempts"].GetInt(), 1);
    EXPECT_FALSE(f[4]["retries_exhausted"].GetBool());
    for (size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(f[i]["execution"].GetUint64(), exec);
        EXPECT_EQ(f[i]["job_id"].GetInt(), id);
        EXPECT_LE(f[i - 1]["time_ms"].GetInt64(), f[i]["time_ms"].GetInt64());
    }
    // The run record carries the same id, so a host joins them.
    EXPECT_EQ(rec["execution"].GetUint64(), exec);
    EXPECT_EQ(logs(ct.get(), id)[0]["execution"].GetUint64(), exec);
}

TEST_F(EventsTest, JobExportsTellWhatTheyChanged) {
    int id = add("true");
    ASSERT_EQ(crontab_update_job(ct.get(), id, "renamed", "@daily", "true", 0), 0);
    ASSERT_EQ(crontab_set_job_timeout(ct.get(), id, 5), 0);
    ASSERT_EQ(crontab_set_job_paths(ct.get(), id, nullptr, "A=1"), 0);
    ASSERT_EQ(crontab_set_job_overlap_policy(ct.get(), id, CRONTAB_OVERLAP_ALLOW), 0);
    ASSERT_EQ(crontab_set_job_retry(ct.get(), id, 1, 0), 0);
    ASSERT_EQ(crontab_set_job_retry(ct.get(), id, 99, 0), CRONTAB_ERROR_SETTING);  // refused: untold
    ASSERT_EQ(crontab_delete_job(ct.get(), id), 0);
    ASSERT_EQ(crontab_start(ct.get()), 0);
    ASSERT_EQ(crontab_stop(ct.get()), 0);
    feed_reader f(ct.get());
    f.drain();
    ASSERT_EQ(f.kinds(),
              "added changed changed changed changed changed removed scheduler_started scheduler_stopped");
    const char* changes[] = {"definition", "timeout", "paths", "overlap_policy", "retry"};
    for (size_t i = 0; i < 5; ++i) EXPECT_STREQ(f[i + 1]["change"].GetString(), changes[i]);
    EXPECT_STREQ(f[1]["job_name"].GetString(), "renamed");
    EXPECT_STREQ(f[6]["job_name"].GetString(), "renamed");
    EXPECT_FALSE(f[7].HasMember("job_id"));
}

TEST_F(EventsTest, SaveThatFailsIsToldWithItsReason) {
#ifdef _WIN32
    GTEST_SKIP() << "the desktop platform refuses to remove a directory in use";
#endif
    ct.reset();
    ct = make_instance(dir.file("data").c_str());
    int id = add("true");
    fs::remove_all(dir.file("data"));  // the directory has gone
    ASSERT_EQ(crontab_set_job_timeout(ct.get(), id, 5), CRONTAB_ERROR_STORE);
    EXPECT_EQ(crontab_last_error_code(), CRONTAB_E_NOT_SAVED);
    const std::string why = crontab_last_error();
    feed_reader f(ct.get());
    f.drain();
    ASSERT_EQ(f.kinds(), "added save_failed");
    EXPECT_EQ(f[1]["error"].GetString(), why);
    EXPECT_FALSE(f[1]["output_lost"].GetBool());
}

TEST_F(EventsTest, RetriesTellEachAttemptAndTheEnd) {
    int id = add(job_cmd().exit_with(3));
    ASSERT_EQ(crontab_set_job_retry(ct.get(), id, 1, 0), 0);
    feed_reader f(ct.get(), crontab_get_last_event_seq(ct.get()));
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    f.drain();
    ASSERT_EQ(f.kinds(), "admitted started finished retrying started finished ended");
    EXPECT_EQ(f[3]["attempt"].GetInt(), 2);
    EXPECT_GE(f[3]["retry_at_ms"].GetInt64(), f[3]["time_ms"].GetInt64());
    EXPECT_EQ(f[4]["attempt"].GetInt(), 2);
    EXPECT_EQ(f[5]["record"]["attempt"].GetInt(), 2);
    EXPECT_STREQ(f[6]["outcome"].GetString(), "failed");
    EXPECT_EQ(f[6]["attempts"].GetInt(), 2);
    EXPECT_EQ(f[6]["exit_code"].GetInt(), 3);
    EXPECT_TRUE(f[6]["retries_exhausted"].GetBool());
}

TEST_F(EventsTest, AttemptWithoutAChildIsToldNotStarted) {
    int id = add("true");
    feed_reader f(ct.get(), crontab_get_last_event_seq(ct.get()));
    cron_exec_fail_attempts(1);
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    f.drain();
    ASSERT_EQ(f.kinds(), "admitted not_started finished ended");
    EXPECT_STREQ(f[1]["reason"].GetString(), "no_child");
    EXPECT_EQ(f[2]["record"]["exit_code"].GetInt(), CRONTAB_EXIT_NOT_STARTED);
    EXPECT_STREQ(f[3]["outcome"].GetString(), "not_started");
}

TEST_F(EventsTest, ScheduledRunWithoutAThreadIsToldNotStarted) {
    add("true", "@every 1s", 1);
    cron_exec_fail_spawns(1);
    feed_reader f(ct.get());
    ASSERT_EQ(crontab_start(ct.get()), 0);
    int i = f.wait_kind("not_started");
    ASSERT_GE(i, 0);
    ASSERT_EQ(crontab_stop(ct.get()), 0);
    EXPECT_STREQ(f[i]["reason"].GetString(), "no_thread");
    const uint64_t exec = f[i]["execution"].GetUint64();
    int a = f.wait_for("admitted", [&](const value& e) { return e["execution"].GetUint64() == exec; });
    ASSERT_GE(a, 0);
    ASSERT_LT(a, i);
    const value& admitted = f[a];
    EXPECT_STREQ(admitted["trigger"].GetString(), "schedule");
    EXPECT_GT(admitted["fire_time"].GetInt64(), 0);
    int end = f.wait_kind("ended", i);
    ASSERT_GE(end, 0);
    EXPECT_EQ(f[end]["execution"].GetUint64(), admitted["execution"].GetUint64());
    EXPECT_STREQ(f[end]["outcome"].GetString(), "not_started");
}

TEST_F(EventsTest, CancelIsToldAndEndsTheExecution) {
    int id = add(job_cmd().sleep_ms(30000));
    feed_reader f(ct.get());
    background_run run(ct.get(), id);
    ASSERT_GE(f.wait_kind("started"), 0);
    ASSERT_EQ(crontab_cancel_job(ct.get(), id), 0);
    ASSERT_EQ(run.join(), 0);
    int i = f.wait_kind("cancelled");
    ASSERT_GE(i, 0);
    EXPECT_TRUE(f[i]["child_signalled"].GetBool());
    int end = f.wait_kind("ended", i);
    ASSERT_GE(end, 0);
    EXPECT_STREQ(f[end]["outcome"].GetString(), "cancelled");
    EXPECT_FALSE(f[end]["retries_exhausted"].GetBool());
    EXPECT_EQ(f[end]["execution"].GetUint64(), f[i]["execution"].GetUint64());
}

TEST_F(EventsTest, RunningJobQueuesOrSkipsItsFireTime) {
    const std::string release = dir.file("release");
    int queue = add(job_cmd().wait_for(release), "@every 1s", 1);
    int skip = add(job_cmd().wait_for(release), "@every 1s", 1);
    ASSERT_EQ(crontab_set_job_overlap_policy(ct.get(), queue, CRONTAB_OVERLAP_QUEUE), 0);
    feed_reader f(ct.get());
    ASSERT_EQ(crontab_start(ct.get()), 0);
    auto of = [](int id) { return [id](const value& e) { return e["job_id"].GetInt() == id; }; };
    int queued = f.wait_for("queued", of(queue));
    int skipped = f.wait_for("skipped", of(skip));
    std::ofstream(release).put('x');
    ASSERT_GE(queued, 0);
    ASSERT_GE(skipped, 0);
    EXPECT_GT(f[queued]["fire_time"].GetInt64(), 0);
    EXPECT_STREQ(f[skipped]["reason"].GetString(), "running");
    EXPECT_EQ(f[skipped]["count"].GetInt(), 1);
    // The queued run starts when the first ends, serving its fire time.
    int admitted = f.wait_for(
        "admitted", [&](const value& e) { return std::strcmp(e["trigger"].GetString(), "queue") == 0; });
    ASSERT_GE(admitted, 0);
    EXPECT_EQ(f[admitted]["fire_time"].GetInt64(), f[queued]["fire_time"].GetInt64());
    ASSERT_EQ(crontab_stop(ct.get()), 0);
}

// After a step of the clock the run of the first fire time in the gap serves
// the others too: they are told as one skip with their number.
TEST_F(EventsTest, LateRunTellsTheFireTimesItServes) {
    int id = add("true", "* * * * *", 1);
    feed_reader f(ct.get());
    cron_os_set_clock_shift(600 * 1000);
    ASSERT_EQ(crontab_start(ct.get()), 0);
    int skipped = f.wait_for("skipped", [&](const value& e) { return e["job_id"].GetInt() == id; });
    ASSERT_EQ(crontab_stop(ct.get()), 0);
    cron_os_set_clock_shift(0);
    ASSERT_GE(skipped, 1);
    const value& admitted = f[skipped - 1];
    ASSERT_STREQ(admitted["kind"].GetString(), "admitted");
    EXPECT_STREQ(f[skipped]["reason"].GetString(), "late");
    EXPECT_EQ(f[skipped]["fire_time"].GetInt64(), admitted["fire_time"].GetInt64() + 60);
    // Ten minutes on, from a first fire time less than a minute ahead.
    EXPECT_GE(f[skipped]["count"].GetInt(), 9);
    EXPECT_LE(f[skipped]["count"].GetInt(), 10);
}

// Every due job finds the 32 places taken by runs started by hand.
TEST_F(EventsTest, FullTableOfRunsSkipsADueJob) {
    const std::string release = dir.file("release");
    int busy = add(job_cmd().wait_for(release));
    ASSERT_EQ(crontab_set_job_overlap_policy(ct.get(), busy, CRONTAB_OVERLAP_ALLOW), 0);
    feed_reader f(ct.get());
    std::vector<std::unique_ptr<background_run>> runs;
    for (int i = 0; i < CRONTAB_MAX_ACTIVE; ++i)
        runs.push_back(std::make_unique<background_run>(ct.get(), busy));
    ASSERT_TRUE(wait_until([&] { return active_runs(ct.get()) == CRONTAB_MAX_ACTIVE; }));
    int due = add("true", "@every 1s", 1);
    ASSERT_EQ(crontab_start(ct.get()), 0);
    int skipped = f.wait_for("skipped", [&](const value& e) { return e["job_id"].GetInt() == due; });
    std::ofstream(release).put('x');
    for (auto& r : runs) EXPECT_EQ(r->join(), 0);
    ASSERT_EQ(crontab_stop(ct.get()), 0);
    ASSERT_GE(skipped, 0);
    EXPECT_STREQ(f[skipped]["reason"].GetString(), "limit");
}

// Under ALLOW each execution has its own id, start and end.
TEST_F(EventsTest, OverlappingExecutionsEachTellTheirOwnSteps) {
    const std::string release = dir.file("release");
    int id = add(job_cmd().wait_for(release));
    ASSERT_EQ(crontab_set_job_overlap_policy(ct.get(), id, CRONTAB_OVERLAP_ALLOW), 0);
    feed_reader f(ct.get());
    background_run a(ct.get(), id), b(ct.get(), id);
    int first = f.wait_kind("started");
    ASSERT_GE(first, 0);
    int second = f.wait_kind("started", first + 1);
    ASSERT_GE(second, 0);
    std::ofstream(release).put('x');
    ASSERT_EQ(a.join(), 0);
    ASSERT_EQ(b.join(), 0);
    const uint64_t e1 = f[first]["execution"].GetUint64(), e2 = f[second]["execution"].GetUint64();
    EXPECT_NE(e1, e2);
    EXPECT_NE(f[first]["pid"].GetInt64(), f[second]["pid"].GetInt64());
    for (uint64_t e : {e1, e2}) {
        auto of = [e](const value& v) { return v["execution"].GetUint64() == e; };
        EXPECT_GE(f.wait_for("finished", of), 0);
        EXPECT_GE(f.wait_for("ended", of), 0);
    }
}

TEST_F(EventsTest, ReaderThatFallsBehindIsToldExactlyHowManyItLost) {
    int id = add("true");  // event 1
    feed_reader f(ct.get(), 10);
    const int changes = CRONTAB_EVENT_CAPACITY + 100;
    for (int i = 0; i < changes; ++i) ASSERT_EQ(crontab_set_job_timeout(ct.get(), id, i), 0);
    f.drain();
    // Events 11 .. 1 + changes - 4096 were dropped before this reader came.
    const uint64_t last = 1 + changes;
    const uint64_t oldest = last - CRONTAB_EVENT_CAPACITY + 1;
    ASSERT_EQ(f.size(), static_cast<size_t>(CRONTAB_EVENT_CAPACITY + 1));
    EXPECT_STREQ(f[0]["kind"].GetString(), "lost");
    EXPECT_EQ(f[0]["count"].GetUint64(), oldest - 11);
    EXPECT_EQ(f[0]["seq"].GetUint64(), oldest - 1);
    EXPECT_EQ(f[1]["seq"].GetUint64(), oldest);
    EXPECT_EQ(f.after(), last);
}

TEST_F(EventsTest, LateReaderIsToldTheOutputIsGoneNeverAnothers) {
    int id = add(job_cmd().print("mine"));
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    {
        // Later texts overwrite the whole byte ring.
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        std::string other(4000, 'x');
        for (size_t n = 0; n <= CRON_EVENT_TEXT_BYTES; n += other.size()) {
            cron_event_put_text(ct.get(), cron_event_push(ct.get(), cron_event_kind::save_failed, nullptr),
                                other.data(), other.size());
        }
    }
    feed_reader f(ct.get());
    int i = f.wait_kind("finished");
    ASSERT_GE(i, 0);
    EXPECT_TRUE(f[i]["output_lost"].GetBool());
    EXPECT_STREQ(f[i]["record"]["stdout"].GetString(), "");
    EXPECT_EQ(f[i]["record"]["exit_code"].GetInt(), 0);
}

TEST_F(EventsTest, WaitReturnsWhenAnEventComesOrTheTimeIsUp) {
    const uint64_t last = crontab_get_last_event_seq(ct.get());
    EXPECT_EQ(crontab_wait_events(ct.get(), last, 0), 0);
    EXPECT_EQ(crontab_wait_events(ct.get(), last, 20), 0);
    std::thread t([&] { add("true"); });
    EXPECT_EQ(crontab_wait_events(ct.get(), last, -1), 1);
    t.join();
    EXPECT_EQ(crontab_wait_events(nullptr, 0, 0), CRONTAB_ERROR);
    EXPECT_EQ(crontab_last_error_code(), CRONTAB_E_NO_INSTANCE);
}

#ifndef _WIN32
TEST_F(EventsTest, DescriptorIsReadableUntilTheEventsAreRead) {
    auto readable = [](int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    int id = add("true");
    int fd = crontab_get_events_fd(ct.get());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(crontab_get_events_fd(ct.get()), fd);
    EXPECT_TRUE(readable(fd));  // the event before it was asked for counts
    feed_reader f(ct.get());
    f.drain();
    EXPECT_FALSE(readable(fd));
    ASSERT_EQ(crontab_set_job_timeout(ct.get(), id, 1), 0);
    ASSERT_EQ(crontab_set_job_timeout(ct.get(), id, 2), 0);
    EXPECT_TRUE(readable(fd));
    char* part = crontab_read_events_json(ct.get(), f.after(), 1);  // one of two: still readable
    crontab_free(part);
    EXPECT_TRUE(readable(fd));
    f.drain();
    EXPECT_FALSE(readable(fd));
}
#else
TEST_F(EventsTest, DescriptorIsNotAvailableOnTheDesktopPlatform) {
    EXPECT_EQ(crontab_get_events_fd(ct.get()), -1);
    EXPECT_EQ(crontab_last_error_code(), CRONTAB_E_NOT_AVAILABLE);
}
#endif

}  // namespace
