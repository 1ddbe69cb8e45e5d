// Catch-up after downtime, jitter, the replace policy and @reboot: decisions
// taken from the state file at scheduler start, under an injected clock and
// boot id.
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "proc/cron_os.h"
#include "sched/cron_timing.h"
#include "sched_util.h"

using namespace sched_test;

namespace {

using value = rapidjson::Value;

// A counter of the job's statistics; -1 when the job is not reported.
int64_t stat_of(crontab_t* ct, int id, const char* member) {
    char* text = crontab_copy_stats_json(ct);
    rapidjson::Document d;
    d.Parse(text);
    crontab_free(text);
    if (!d.IsObject() || !d.HasMember("jobs")) return -1;
    for (const value& j : d["jobs"].GetArray()) {
        if (j["id"].GetInt() == id) return j[member].GetInt64();
    }
    return -1;
}

// Every event of an instance read so far, waited for with the wait export.
class events {
public:
    explicit events(crontab_t* ct) : ct_(ct) {}
    // The first event from `from` on of `kind` (of job `id` when given), or
    // null after a generous deadline.
    const value* wait(const char* kind, int id = 0, const char* trigger = nullptr) {
        const auto end = std::chrono::steady_clock::now() + 30s;
        for (;;) {
            drain();
            for (const value& e : all_.GetArray()) {
                if (std::strcmp(e["kind"].GetString(), kind) == 0 &&
                    (id == 0 || e["job_id"].GetInt() == id) &&
                    (trigger == nullptr || std::strcmp(e["trigger"].GetString(), trigger) == 0))
                    return &e;
            }
            if (std::chrono::steady_clock::now() > end) return nullptr;
            crontab_wait_events(ct_, after_, 1000);
        }
    }
    int count(const char* kind) {
        drain();
        int n = 0;
        for (const value& e : all_.GetArray()) n += std::strcmp(e["kind"].GetString(), kind) == 0;
        return n;
    }

private:
    void drain() {
        char* text = crontab_read_events_json(ct_, after_, 0);
        ASSERT_NE(text, nullptr);
        rapidjson::Document d;
        d.Parse(text);
        crontab_free(text);
        for (auto& e : d.GetArray()) {
            after_ = e["seq"].GetUint64();
            all_.PushBack(value(e, all_.GetAllocator()), all_.GetAllocator());
        }
    }
    crontab_t* ct_;
    uint64_t after_ = 0;
    rapidjson::Document all_{rapidjson::kArrayType};
};

class TimingTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        cron_timing_set_boot_id("boot-1");
    }
    void TearDown() override {
        cron_os_set_clock_shift(0);
        cron_timing_set_boot_id(nullptr);
    }
    // Shifts the clock to 30 s into a minute; returns that minute's start.
    static int64_t half_minute() {
        cron_os_set_clock_shift(0);
        const int64_t real = cron_os_now_ms();
        const int64_t target = (real / 60000 + 1) * 60000 + 30000;
        cron_os_set_clock_shift(target - real);
        return target / 1000 - 30;
    }
    static void write_state(const temp_dir& d, const std::string& text) {
        std::ofstream(d.file("crontab.state.json"), std::ios::trunc) << text;
        fs::permissions(d.file("crontab.state.json"), fs::perms::owner_read | fs::perms::owner_write);
    }
    // A job every minute with a catch-up window, saved, its instance gone.
    static int saved_job(const temp_dir& d, int window) {
        instance ct = make_instance(d.str().c_str());
        const int id = crontab_add_job(ct.get(), "nightly", "* * * * *", "true", 1);
        EXPECT_EQ(crontab_set_job_catch_up(ct.get(), id, window), 0);
        return id;
    }
    temp_dir dir;
};

TEST_F(TimingTest, CatchUpRunsOnceForTheLatestMissedFireTimeInsideTheWindow) {
    struct row {
        int missed;  // fire times missed since the stamp
        int window;
        bool runs;
    };
    for (const row& r : {row{1, 120, true}, row{3, 120, true}, row{3, 10, false}}) {
        SCOPED_TRACE(r.missed);
        temp_dir d;
        const int id = saved_job(d, r.window);
        const int64_t minute = half_minute();
        write_state(d, R"({"boot_id":"boot-1","jobs":[{"id":)" + std::to_string(id) + R"(,"fire":)" +
                           std::to_string(minute - 60 * r.missed) + "}]}");
        instance ct = make_instance(d.str().c_str());
        events ev(ct.get());
        ASSERT_EQ(crontab_start(ct.get()), 0);
        if (r.runs) {
            const value* admitted = ev.wait("admitted", id);
            ASSERT_NE(admitted, nullptr);
            EXPECT_STREQ((*admitted)["trigger"].GetString(), "catch_up");
            EXPECT_EQ((*admitted)["fire_time"].GetInt64(), minute);
            ASSERT_NE(ev.wait("ended", id), nullptr);
            EXPECT_EQ(newest_int(ct.get(), id, "fire_time"), minute);
            EXPECT_EQ(ev.count("admitted"), 1);
            EXPECT_EQ(ev.count("missed"), 0);
            // The fire times it passed over count as late skips, none as missed.
            EXPECT_EQ(stat_of(ct.get(), id, "skipped_late"), r.missed - 1);
            EXPECT_EQ(stat_of(ct.get(), id, "missed"), 0);
        } else {
            const value* missed = ev.wait("missed", id);
            ASSERT_NE(missed, nullptr);
            EXPECT_EQ((*missed)["count"].GetInt(), 3);
            EXPECT_EQ((*missed)["fire_time"].GetInt64(), minute);
            EXPECT_EQ(ev.count("admitted"), 0);
            EXPECT_EQ(job_int(ct.get(), id, "next_run"), minute + 60);
            EXPECT_EQ(stat_of(ct.get(), id, "missed"), 3);
        }
    }
}

TEST_F(TimingTest, DamagedStateFileMeansNoCatchUpAndLosesNoJob) {
    const int id = saved_job(dir, 3600);
    const int64_t minute = half_minute();
    write_state(dir, "{\"jobs\": [");
    instance ct = make_instance(dir.str().c_str());
    events ev(ct.get());
    ASSERT_EQ(crontab_start(ct.get()), 0);
    ASSERT_NE(ev.wait("state_damaged"), nullptr);
    EXPECT_EQ(job_int(ct.get(), id, "next_run"), minute + 60);  // not the missed one
    EXPECT_EQ(ev.count("admitted"), 0);
}

TEST_F(TimingTest, JitterDrawsStayWithinTheMaximum) {
    int64_t largest = 0;
    for (int i = 0; i < 1000; ++i) {
        const int64_t d = cron_jitter_draw_ms(5);
        ASSERT_GE(d, 0);
        ASSERT_LE(d, 5000);
        largest = std::max(largest, d);
    }
    EXPECT_GT(largest, 2500);  // spread, not a constant
    const int64_t fixed = cron_jitter_fixed_ms("0123abcd", "backup", 3600);
    EXPECT_EQ(cron_jitter_fixed_ms("0123abcd", "backup", 3600), fixed);
    EXPECT_NE(cron_jitter_fixed_ms("4567ef01", "backup", 3600), fixed);
    EXPECT_LE(fixed, 3600 * 1000);
}

TEST_F(TimingTest, JitteredRunStartsAfterItsFireTimeWhichStaysItsIdentity) {
    instance ct = make_instance();
    const int id = crontab_add_job(ct.get(), "j", "@every 2s", "true", 1);
    ASSERT_EQ(crontab_set_job_jitter(ct.get(), id, 1, 0), 0);
    events ev(ct.get());
    ASSERT_EQ(crontab_start(ct.get()), 0);
    const value* a = ev.wait("admitted", id);
    ASSERT_NE(a, nullptr);
    const int64_t delay = (*a)["delay_ms"].GetInt64();
    EXPECT_GE(delay, 0);
    EXPECT_LE(delay, 1000);
    EXPECT_GE((*a)["time_ms"].GetInt64(), (*a)["fire_time"].GetInt64() * 1000 + delay);
    EXPECT_EQ((*a)["fire_time"].GetInt64() % 2, 0);
}

TEST_F(TimingTest, ReplaceCancelsTheLongRunAndStartsTheNewOne) {
    instance ct = make_instance(dir.str().c_str());
    const std::string flag = dir.file("flag");
    const std::string cmd = "if [ -e " + flag + " ]; then echo second; else touch " + flag + "; sleep 60; fi";
    const int id = crontab_add_job(ct.get(), "long", "@every 1s", cmd.c_str(), 1);
    ASSERT_EQ(crontab_set_job_overlap_policy(ct.get(), id, CRONTAB_OVERLAP_REPLACE), 0);
    events ev(ct.get());
    ASSERT_EQ(crontab_start(ct.get()), 0);
    const value* started = ev.wait("started", id);
    ASSERT_NE(started, nullptr);
    const pid_t pid = static_cast<pid_t>((*started)["pid"].GetInt64());
    ASSERT_NE(ev.wait("cancelled", id), nullptr);
    ASSERT_NE(ev.wait("admitted", id, "replace"), nullptr);
    ASSERT_TRUE(wait_until([&] { return newest_text(ct.get(), id, "stdout") == "second\n"; }));
    crontab_stop(ct.get());
    EXPECT_EQ(::kill(pid, 0), -1);  // the long child is gone
    EXPECT_EQ(errno, ESRCH);
    rapidjson::Document log = logs(ct.get(), id);
    bool cancelled = false;
    for (auto& rec : log.GetArray())
        cancelled = cancelled || rec["exit_code"].GetInt() == CRONTAB_EXIT_CANCELLED;
    EXPECT_TRUE(cancelled);
}

TEST_F(TimingTest, RebootJobRunsOncePerBoot) {
    int id = 0;
    {
        instance ct = make_instance(dir.str().c_str());
        id = crontab_add_job(ct.get(), "boot", "@reboot", "true", 1);
        events ev(ct.get());
        ASSERT_EQ(crontab_start(ct.get()), 0);
        const value* a = ev.wait("admitted", id);
        ASSERT_NE(a, nullptr);
        EXPECT_STREQ((*a)["trigger"].GetString(), "reboot");
        ASSERT_TRUE(wait_until(
            [&] { return read_file(dir.file("crontab.state.json")).find("reboot") != std::string::npos; }));
    }
    {
        instance ct = make_instance(dir.str().c_str());
        ASSERT_EQ(crontab_start(ct.get()), 0);
        EXPECT_LE(job_int(ct.get(), id, "next_run"), 0);  // same boot: not due
    }
    cron_timing_set_boot_id("boot-2");
    instance ct = make_instance(dir.str().c_str());
    events ev(ct.get());
    ASSERT_EQ(crontab_start(ct.get()), 0);
    ASSERT_NE(ev.wait("admitted", id), nullptr);
}

TEST_F(TimingTest, RebootHasNoCalendarFireTime) {
    EXPECT_EQ(crontab_validate_expr("@reboot", nullptr, 0), 0);
    EXPECT_EQ(crontab_validate_expr("CRON_TZ=UTC @reboot", nullptr, 0), -1);
    EXPECT_STREQ(crontab_describe_expr("@REBOOT"), "Once after the machine starts");
    EXPECT_STREQ(crontab_explain_expr("@reboot"), "Once after the machine starts");
    int64_t t = 7;
    EXPECT_EQ(crontab_calc_next("@reboot", 0, &t), -1);
    EXPECT_EQ(crontab_last_error_code(), CRONTAB_E_BAD_EXPRESSION);
    EXPECT_NE(std::string(crontab_last_error()).find("no calendar fire time"), std::string::npos);
    EXPECT_EQ(t, 7);
    EXPECT_STREQ(crontab_get_next_runs_json("@reboot", 3), "[]");
}

}  // namespace
