// Exports called from several threads at once on one instance, and one
// instance per data directory. Run under ThreadSanitizer.
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#    include <process.h>
#else
#    include <unistd.h>
#endif

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "quilmarn_crontab.h"
#include "sched/cron_job.h"
#include "sched/cron_store.h"
#include "test_dir.h"
#include "time_util.h"

// With TZ unset, glibc re-reads the zone on every mktime under a lock of its
// own that ThreadSanitizer cannot see; a set zone is read once.
class JobsConcurrency : public ::testing::Test {
protected:
    void SetUp() override { set_tz("Europe/Berlin"); }
};

TEST_F(JobsConcurrency, ManyThreadsOneInstance) {
    test_dir dir;
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_NE(ct, nullptr);
    constexpr int kWriters = 4;
    constexpr int kJobsEach = 24;
    std::atomic<int> writers_left{kWriters};
    std::vector<std::vector<int>> kept(kWriters);
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < kJobsEach; ++i) {
                std::string name = "w" + std::to_string(w) + "-" + std::to_string(i);
                int id = crontab_add_job(ct, name.c_str(), "*/5 * * * *", "true", 1);
                ASSERT_GT(id, 0);
                EXPECT_EQ(crontab_update_job(ct, id, name.c_str(), "@hourly", "false", i % 2), 0);
                EXPECT_EQ(crontab_set_job_timeout(ct, id, i), 0);
                EXPECT_EQ(crontab_set_job_paths(ct, id, dir.c_str(), "K=v"), 0);
                EXPECT_EQ(crontab_set_job_overlap_policy(ct, id, i % 3), 0);
                EXPECT_EQ(crontab_set_job_retry(ct, id, i % 11, i), 0);
                EXPECT_EQ(crontab_stop(ct), 0);
                EXPECT_EQ(crontab_is_running(ct), 0);
                if (i % 2) {
                    EXPECT_EQ(crontab_delete_job(ct, id), 0);
                } else {
                    kept[w].push_back(id);
                }
            }
            --writers_left;
        });
    }
    // One reader: the report text is shared by all report calls of the
    // instance, so readers on several threads would race on it by design.
    threads.emplace_back([&] {
        while (writers_left > 0) {
            rapidjson::Document doc;
            doc.Parse(crontab_get_jobs_json(ct));
            ASSERT_TRUE(doc.IsArray());
        }
    });
    for (std::thread& t : threads) t.join();

    std::set<int> ids;
    for (const auto& list : kept) ids.insert(list.begin(), list.end());
    EXPECT_EQ(ids.size(), size_t{kWriters * kJobsEach / 2});
    rapidjson::Document doc;
    doc.Parse(crontab_get_jobs_json(ct));
    ASSERT_EQ(doc.Size(), ids.size());
    for (const auto& job : doc.GetArray()) EXPECT_EQ(ids.count(job["id"].GetInt()), 1u);
    EXPECT_EQ(ct->next_id, kWriters * kJobsEach + 1);

    // The store holds exactly the table.
    std::string table;
    ASSERT_TRUE(cron_store_format(ct, &table));
    EXPECT_EQ(read_file(dir.store()), table);
    crontab_destroy(ct);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"crontab.json"});
}

long own_pid() {
#ifdef _WIN32
    return _getpid();
#else
    return getpid();
#endif
}

TEST_F(JobsConcurrency, OneInstancePerDataDirectory) {
    test_dir dir;
    crontab_t* a = crontab_create(dir.c_str());
    ASSERT_NE(a, nullptr);
    ASSERT_GT(crontab_add_job(a, "j", "@daily", "true", 1), 0);
    // A second instance, also on another thread of the same process, would
    // hand out id 1 again and overwrite the first one's saves.
    crontab_t* b = nullptr;
    std::string why;
    std::thread([&] {
        b = crontab_create(dir.c_str());
        why = crontab_last_error();
    }).join();
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(why, "data directory " + dir.str() + " is in use by process " + std::to_string(own_pid()));
    crontab_destroy(a);
    // Free again once the owner is gone.
    b = crontab_create(dir.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(crontab_add_job(b, "j", "@daily", "true", 1), 2);
    crontab_destroy(b);
}

// An execution holds the instance while it runs: destroy must outwait both
// its run count and its last touch of the instance.
TEST_F(JobsConcurrency, DestroyWaitsUntilNoExecutionCanTouchTheInstance) {
    test_dir dir;
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "c", 1), 1);
    cron_shared_t* sh = ct->shared;
    {
        std::lock_guard<std::mutex> lk(sh->lock);
        ct->active_runs = 1;
        sh->live_execs = 1;
    }
    std::atomic<bool> returned{false};
    std::thread execution([&] {
        std::unique_lock<std::mutex> lk(sh->lock);
        // Stand-in for a worker: it finishes its run once destroy waits.
        while (!sh->destroying) {
            lk.unlock();
            std::this_thread::yield();
            lk.lock();
        }
        ct->active_runs = 0;
        sh->idle.notify_all();
        lk.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        lk.lock();
        EXPECT_FALSE(returned);
        cron_job_find(ct, 1)->retry_max = 7;  // still reachable
        sh->live_execs = 0;
        sh->idle.notify_all();
    });
    const std::string stored = read_file(dir.store());
    crontab_destroy(ct);
    returned = true;
    execution.join();
    // Destroy writes nothing: only job exports save.
    EXPECT_EQ(read_file(dir.store()), stored);
}
