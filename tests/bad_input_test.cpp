// Bad input at every export: null, empty and 10 KB texts, invalid UTF-8,
// ids, counts and limits at the ends of their types. Each call gets its
// documented failure value and leaves the table and the store as they were.
// Also every export on one instance from many threads at once, and
// crontab_destroy while runs are going on.
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "quilmarn_crontab.h"
#include "sched/cron_job.h"
#include "job_definitions.h"
#include "test_dir.h"
#include "time_util.h"

namespace {

const std::string big(10 * 1024, 'x');
const char* const bad_utf8[] = {"\xFF", "caf\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\x80z"};
const int odd_ids[] = {0, -1, INT_MIN, INT_MAX, 999};

bool valid_json(const char* text, rapidjson::Document* out = nullptr) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseValidateEncodingFlag>(text);
    if (out != nullptr) out->Swap(d);
    return text != nullptr && !d.HasParseError();
}

// The definitions the store keeps, from the job list: equal texts mean the
// table did not change.
std::string definitions(crontab_t* ct) {
    rapidjson::Document d;
    EXPECT_TRUE(valid_json(crontab_get_jobs_json(ct), &d));
    return job_definitions(d);
}

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        set_tz("Europe/Berlin");
        ct = crontab_create(dir.c_str());
        ASSERT_NE(ct, nullptr);
        id = crontab_add_job(ct, "job", "*/5 * * * *", "true", 1);
        ASSERT_GT(id, 0);
        ASSERT_EQ(crontab_set_job_paths(ct, id, dir.c_str(), "A=1"), 0);
        table = definitions(ct);
        stored = read_file(dir.store());
    }
    void TearDown() override { crontab_destroy(ct); }

    void expect_unchanged() {
        EXPECT_EQ(definitions(ct), table);
        EXPECT_EQ(read_file(dir.store()), stored);
    }

    test_dir dir;
    crontab_t* ct = nullptr;
    int id = 0;
    std::string table, stored;
};

}  // namespace

TEST(BadInputExpr, TextsNoExpressionCanBe) {
    std::vector<std::string> texts = {"", big, "* * * * * " + big, "@every " + big + "s"};
    for (const char* b : bad_utf8) {
        texts.push_back(b);
        texts.push_back(std::string("* * * * ") + b);
        texts.push_back(std::string("@") + b);
    }
    for (const std::string& t : texts) {
        SCOPED_TRACE(t.substr(0, 40));
        char err[64];
        std::memset(err, 'Z', sizeof err);
        EXPECT_EQ(crontab_validate_expr(t.c_str(), err, sizeof err), -1);
        EXPECT_LT(std::strlen(err), sizeof err);
        EXPECT_EQ(crontab_validate_expr(t.c_str(), nullptr, 100), -1);
        int64_t out = 7;
        EXPECT_EQ(crontab_calc_next(t.c_str(), 0, &out), -1);
        EXPECT_EQ(out, 7);
        // The error object quotes the caller's bytes and stays valid JSON.
        rapidjson::Document d;
        ASSERT_TRUE(valid_json(crontab_get_next_runs_json(t.c_str(), 5), &d));
        ASSERT_TRUE(d.IsObject());
        EXPECT_TRUE(d["error"].IsString());
        const char* desc = crontab_describe_expr(t.c_str());
        EXPECT_EQ(std::strncmp(desc, "Invalid expression: ", 20), 0);
        EXPECT_LT(std::strlen(desc), 512u);
    }
    int64_t out = 7;
    EXPECT_EQ(crontab_calc_next(nullptr, 0, &out), -1);
    EXPECT_EQ(crontab_calc_next("* * * * *", 0, nullptr), -1);
    EXPECT_EQ(out, 7);
    EXPECT_TRUE(valid_json(crontab_get_next_runs_json(nullptr, 5)));
    EXPECT_STREQ(crontab_describe_expr(nullptr), "Invalid expression: Expression is NULL");
}

TEST(BadInputExpr, NumbersAtTheEndsOfTheirTypes) {
    char err[8] = "keep";
    for (int size : {0, -1, INT_MIN}) {
        EXPECT_EQ(crontab_validate_expr("bad", err, size), -1);
        EXPECT_STREQ(err, "keep");
    }
    for (int64_t after : {INT64_MIN, INT64_MIN + 1, int64_t{-1}, INT64_MAX - 1, INT64_MAX}) {
        for (const char* e : {"* * * * *", "@every 1s", "@every 596523h", "0 0 29 2 *"}) {
            int64_t out = 0;
            int rc = crontab_calc_next(e, after, &out);
            if (rc == 0) {
                EXPECT_GT(out, after) << e << " after " << after;
            }
        }
    }
    for (int count : {INT_MIN, -1, 0, 1, 100, 101, INT_MAX}) {
        rapidjson::Document d;
        ASSERT_TRUE(valid_json(crontab_get_next_runs_json("* * * * *", count), &d));
        ASSERT_TRUE(d.IsArray());
        EXPECT_EQ(d.Size(), count < 1 ? 1u : count > 100 ? 100u : static_cast<unsigned>(count));
    }
}

TEST(BadInputLifecycle, DataDirectories) {
    test_dir dir;
    // Longer than its field: refused rather than cut to another directory.
    EXPECT_EQ(crontab_create((dir.str() + "/" + big).c_str()), nullptr);
    // A file where the directory should be: refused, since no save could
    // succeed, and the file is left alone.
    write_file(dir.file("plain"), "not a directory");
    crontab_t* ct = crontab_create(dir.file("plain").c_str());
    EXPECT_EQ(ct, nullptr);
    EXPECT_EQ(crontab_last_error(), "data directory " + dir.file("plain") + " is not a directory");
    EXPECT_EQ(read_file(dir.file("plain")), "not a directory");
    std::string odd = dir.str() + "/\xFF\xFE";
#ifdef _WIN32
    // Names are UTF-16 there: these bytes would become U+FFFD and name a
    // directory that "\xFE\xFF" names as well.
    EXPECT_EQ(crontab_create(odd.c_str()), nullptr);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"plain"});
#else
    // A name that is not UTF-8 is still a path.
    ct = crontab_create(odd.c_str());
    ASSERT_NE(ct, nullptr);
    EXPECT_GT(crontab_add_job(ct, "n", "@daily", "true", 1), 0);
    crontab_destroy(ct);
    EXPECT_TRUE(std::filesystem::exists(odd + "/crontab.json"));
#endif
}

TEST(BadInputNull, RunsAndReportsRefuseAMissingInstance) {
    EXPECT_EQ(crontab_start(nullptr), -1);
    EXPECT_EQ(crontab_run_now(nullptr, 1), -1);
    EXPECT_EQ(crontab_cancel_job(nullptr, 1), -1);
    EXPECT_STREQ(crontab_get_jobs_json(nullptr), "[]");
    EXPECT_STREQ(crontab_get_job_logs_json(nullptr, 1, 5), "[]");
}

TEST_F(BadInput, JobTexts) {
    std::vector<std::string> texts = {big};
    for (const char* b : bad_utf8) texts.push_back(b);
    for (const std::string& t : texts) {
        SCOPED_TRACE(t.substr(0, 40));
        const char* s = t.c_str();
        if (t != big) {  // a long name is cut, not refused
            EXPECT_EQ(crontab_add_job(ct, s, "@daily", "c", 1), -1);
            EXPECT_EQ(crontab_update_job(ct, id, s, "@daily", "c", 1), -1);
        }
        EXPECT_EQ(crontab_add_job(ct, "n", s, "c", 1), -1);
        EXPECT_EQ(crontab_add_job(ct, "n", "@daily", s, 1), -1);
        EXPECT_EQ(crontab_update_job(ct, id, "n", s, "c", 1), -1);
        EXPECT_EQ(crontab_update_job(ct, id, "n", "@daily", s, 1), -1);
        EXPECT_EQ(crontab_set_job_paths(ct, id, s, nullptr), -2);
        EXPECT_EQ(crontab_set_job_paths(ct, id, nullptr, (std::string("K=") + s).c_str()), -2);
    }
    for (int i : {0, 1, 2}) {
        const char* t[3] = {"n", "@daily", "c"};
        t[i] = nullptr;
        EXPECT_EQ(crontab_add_job(ct, t[0], t[1], t[2], 1), -1);
        EXPECT_EQ(crontab_update_job(ct, id, t[0], t[1], t[2], 1), -1);
    }
    EXPECT_EQ(crontab_update_job(ct, id, "n", "", "c", 1), -1);
    EXPECT_EQ(crontab_set_job_paths(ct, id, dir.file("missing").c_str(), nullptr), -2);
    EXPECT_EQ(crontab_set_job_paths(ct, id, nullptr, "no equals sign"), -2);
    expect_unchanged();

    // A 10 KB name is kept cut; the job works as before.
    int big_id = crontab_add_job(ct, big.c_str(), "@daily", "c", 1);
    ASSERT_GT(big_id, 0);
    rapidjson::Document d;
    ASSERT_TRUE(valid_json(crontab_get_jobs_json(ct), &d));
    EXPECT_EQ(d[1]["name"].GetStringLength(), 127u);
}

TEST_F(BadInput, IdsCountsAndLimits) {
    for (int bad : odd_ids) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(crontab_update_job(ct, bad, "n", "@daily", "c", 1), -1);
        EXPECT_EQ(crontab_delete_job(ct, bad), -1);
        EXPECT_EQ(crontab_set_job_timeout(ct, bad, 5), -1);
        EXPECT_EQ(crontab_set_job_paths(ct, bad, nullptr, nullptr), -1);
        EXPECT_EQ(crontab_set_job_overlap_policy(ct, bad, 0), -1);
        EXPECT_EQ(crontab_set_job_retry(ct, bad, 1, 1), -1);
        EXPECT_EQ(crontab_set_job_catch_up(ct, bad, 60), -1);
        EXPECT_EQ(crontab_set_job_jitter(ct, bad, 60, 1), -1);
        EXPECT_EQ(crontab_run_now(ct, bad), -1);
        EXPECT_EQ(crontab_cancel_job(ct, bad), -1);
        EXPECT_STREQ(crontab_get_job_logs_json(ct, bad, 5), "[]");
    }
    for (int policy : {INT_MIN, -1, 4, INT_MAX})
        EXPECT_EQ(crontab_set_job_overlap_policy(ct, id, policy), -2);
    for (int n : {INT_MIN, -1, 11, INT_MAX}) EXPECT_EQ(crontab_set_job_retry(ct, id, n, 0), -2);
    for (int s : {INT_MIN, -1, 3601, INT_MAX}) EXPECT_EQ(crontab_set_job_retry(ct, id, 0, s), -2);
    expect_unchanged();

    // Any limit of the run log gives a valid (here empty) list.
    for (int limit : {INT_MIN, -1, 0, 1, 20, 21, INT_MAX}) {
        rapidjson::Document d;
        ASSERT_TRUE(valid_json(crontab_get_job_logs_json(ct, id, limit), &d));
        EXPECT_TRUE(d.IsArray());
    }
    // A time limit at either end of int: none for negatives, kept as given.
    EXPECT_EQ(crontab_set_job_timeout(ct, id, INT_MIN), 0);
    EXPECT_EQ(crontab_set_job_timeout(ct, id, INT_MAX), 0);
    rapidjson::Document d;
    ASSERT_TRUE(valid_json(crontab_get_jobs_json(ct), &d));
    EXPECT_EQ(d[0]["max_runtime_sec"].GetInt(), INT_MAX);
}

// All 21 exports on one instance from eight threads at once, with good and
// bad arguments mixed; each result stays within its documented values.
TEST(BadInputThreads, EveryExportAtOnce) {
    set_tz("Europe/Berlin");
    test_dir dir;
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_NE(ct, nullptr);
    for (int i = 0; i < 16; ++i) {
        ASSERT_GT(
            crontab_add_job(ct, "j", i % 2 ? "@every 1s" : "* * * * *", i % 3 ? "true" : "sleep 0.2", 1), 0);
    }
    std::mutex report_mu;  // the report text is shared by the instance's report calls
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            auto pick = [&](auto const& list) { return list[rng() % std::size(list)]; };
            const char* exprs[] = {"* * * * *", "@every 2s", nullptr, "", "\xFF", "61 * * * *", big.c_str()};
            const char* texts[] = {"n", nullptr, "", "\xC3", big.c_str()};
            const int ids[] = {1, 2, 3, 5, 8, 13, 16, 17, 0, -1, INT_MIN, INT_MAX};
            const int nums[] = {0, 1, 2, 3, -1, 11, 3601, INT_MIN, INT_MAX};
            while (std::chrono::steady_clock::now() < end) {
                int id = pick(ids), n = pick(nums), rc = 0;
                switch (rng() % 21) {
                    case 0: EXPECT_STREQ(crontab_version(), QC_VERSION); break;
                    case 1: {
                        char err[40];
                        rc = crontab_validate_expr(pick(exprs), err, static_cast<int>(rng() % 40) - 4);
                        EXPECT_TRUE(rc == 0 || rc == -1);
                        break;
                    }
                    case 2: {
                        int64_t out;
                        rc =
                            crontab_calc_next(pick(exprs), static_cast<int64_t>(rng()) << (rng() % 32), &out);
                        EXPECT_TRUE(rc == 0 || rc == -1);
                        break;
                    }
                    case 3: EXPECT_TRUE(valid_json(crontab_get_next_runs_json(pick(exprs), n % 5))); break;
                    case 4: EXPECT_NE(crontab_describe_expr(pick(exprs)), nullptr); break;
                    case 5: {  // an instance of its own, made and ended beside the shared one
                        crontab_t* other = crontab_create(nullptr);
                        ASSERT_NE(other, nullptr);
                        EXPECT_GT(crontab_add_job(other, "o", "@daily", "true", 1), 0);
                        crontab_destroy(other);
                        break;
                    }
                    case 6: rc = crontab_add_job(ct, pick(texts), pick(exprs), "true", n); break;
                    case 7: rc = crontab_update_job(ct, id, "u", pick(exprs), pick(texts), n); break;
                    case 8: rc = crontab_delete_job(ct, id); break;
                    case 9: rc = crontab_set_job_timeout(ct, id, n); break;
                    case 10:
                        rc =
                            crontab_set_job_paths(ct, id, rng() % 2 ? dir.c_str() : pick(texts), pick(texts));
                        EXPECT_TRUE(rc == 0 || rc == -1 || rc == -2);
                        rc = 0;
                        break;
                    case 11:
                        rc = crontab_set_job_overlap_policy(ct, id, n);
                        EXPECT_TRUE(rc == 0 || rc == -1 || rc == -2);
                        rc = 0;
                        break;
                    case 12:
                        rc = crontab_set_job_retry(ct, id, n, pick(nums));
                        EXPECT_TRUE(rc == 0 || rc == -1 || rc == -2);
                        rc = 0;
                        break;
                    case 13: rc = crontab_start(ct); break;
                    case 14: rc = crontab_stop(ct); break;
                    case 15: rc = crontab_is_running(ct) == 1 ? 0 : -1; break;
                    case 16: rc = crontab_run_now(ct, id); break;
                    case 17:
                        rc = crontab_cancel_job(ct, id);
                        EXPECT_TRUE(rc == 0 || rc == 1 || rc == -1);
                        rc = 0;
                        break;
                    case 18: {
                        std::lock_guard<std::mutex> lk(report_mu);
                        EXPECT_TRUE(valid_json(crontab_get_jobs_json(ct)));
                        break;
                    }
                    case 19: {
                        std::lock_guard<std::mutex> lk(report_mu);
                        EXPECT_TRUE(valid_json(crontab_get_job_logs_json(ct, id, n)));
                        break;
                    }
                    default: crontab_destroy(nullptr); break;
                }
                if (rc > 0) rc = 0;  // a new id
                EXPECT_TRUE(rc == 0 || rc == -1) << rc;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(crontab_stop(ct), 0);
    crontab_destroy(ct);
    // The store still loads.
    ct = crontab_create(dir.c_str());
    ASSERT_NE(ct, nullptr);
    EXPECT_TRUE(valid_json(crontab_get_jobs_json(ct)));
    crontab_destroy(ct);
}

// crontab_destroy while the scheduler's workers and host threads inside
// crontab_run_now are running commands: it waits for them (or, after its
// grace, cancels them), and every host thread gets its result.
TEST(BadInputThreads, DestroyWhileRunsAreGoing) {
    set_tz("Europe/Berlin");
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        test_dir dir;
        crontab_t* ct = crontab_create(dir.c_str());
        ASSERT_NE(ct, nullptr);
        // Odd rounds: commands outlast a short grace and are cancelled.
        // Even rounds: they end by themselves within the usual grace.
        const bool cancelled = round % 2;
        if (cancelled) ct->shared->runs_grace = std::chrono::milliseconds(100 * round);
        const char* long_cmd = cancelled ? "echo x; sleep 30" : "echo x; sleep 0.7";
        int by_hand = crontab_add_job(ct, "h", "@daily", long_cmd, 0);
        ASSERT_EQ(crontab_set_job_overlap_policy(ct, by_hand, CRONTAB_OVERLAP_ALLOW), 0);
        for (int i = 0; i < 8; ++i) {
            int id = crontab_add_job(ct, "s", "@every 1s", i % 2 ? "sleep 0.3" : long_cmd, 1);
            ASSERT_EQ(crontab_set_job_overlap_policy(ct, id, i % 3), 0);
            ASSERT_EQ(crontab_set_job_retry(ct, id, 2, 1), 0);
        }
        ASSERT_EQ(crontab_start(ct), 0);
        std::vector<std::thread> hosts;
        std::atomic<int> results{0};
        for (int h = 0; h < 4; ++h) {
            hosts.emplace_back([&] {
                int rc = crontab_run_now(ct, by_hand);
                EXPECT_TRUE(rc == 0 || rc == -1) << rc;
                ++results;
            });
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> lk(ct->shared->lock);
                if (ct->active_runs >= 6) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        crontab_destroy(ct);
        for (std::thread& t : hosts) t.join();
        EXPECT_EQ(results.load(), 4);
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"crontab.json"});
    }
}
