// The job store: exact layout, round trip, the load's tolerance rules, the
// backup of stores the load could not take whole, and atomic saves.
#include <climits>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "proc/cron_os.h"
#include "quilmarn_crontab.h"
#include "sched/cron_instance.h"
#include "sched/cron_job.h"
#include "sched/cron_store.h"
#include "test_dir.h"
#include "time_util.h"

namespace {

// An instance without a store, for feeding texts to the loader.
struct scratch {
    crontab_t* ct = cron_instance_create(nullptr);
    ~scratch() { cron_instance_destroy(ct); }
    bool load(const std::string& text, int64_t now = 1700000000) { return cron_store_parse(ct, text, now); }
    std::vector<int> ids() const {
        std::vector<int> out;
        for (const cron_job_t& job : ct->jobs) {
            if (job.in_use) out.push_back(job.id);
        }
        return out;
    }
    const cron_job_t& job(int slot) const { return ct->jobs[slot]; }
};

std::string job_text(const std::string& extra = "", const std::string& name = "a") {
    return R"({"name":")" + name + R"(","expr":"* * * * *","cmd":"c")" + (extra.empty() ? "" : "," + extra) +
           "}";
}

std::string store_text(const std::vector<std::string>& jobs, const std::string& head = "") {
    std::string text = "{" + head + (head.empty() ? "" : ",") + "\"jobs\":[";
    for (size_t i = 0; i < jobs.size(); ++i) text += (i ? "," : "") + jobs[i];
    return text + "]}";
}

void save_locked(crontab_t* ct) {
    std::lock_guard<std::mutex> lk(ct->shared->lock);
    cron_persist_save(ct);
}

}  // namespace

TEST(StoreLayout, EmptyTable) {
    test_dir dir;
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_NE(ct, nullptr);
    ct->next_id = 7;
    save_locked(ct);
    EXPECT_EQ(read_file(dir.store()), "{\n    \"next_id\": 7,\n    \"jobs\": []\n}");
    crontab_destroy(ct);
}

TEST(StoreLayout, JobsByteForByte) {
    test_dir dir;
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_EQ(crontab_add_job(ct, "first", "*/5 * * * *", "echo \"hi\" \\ there", 1), 1);
    ASSERT_EQ(crontab_add_job(ct, "caf\xC3\xA9\x01", "@daily", "true", 0), 2);
    ASSERT_EQ(crontab_set_job_paths(ct, 2, dir.c_str(), "A=1\nB=2\n"), 0);
    ASSERT_EQ(crontab_set_job_timeout(ct, 2, 30), 0);
    ASSERT_EQ(crontab_set_job_overlap_policy(ct, 2, 1), 0);
    ASSERT_EQ(crontab_set_job_retry(ct, 2, 3, 60), 0);
    std::string workdir;  // as JSON text: the desktop platform's paths hold backslashes
    for (char c : dir.str()) workdir += c == '\\' ? std::string("\\\\") : std::string(1, c);
    std::string expected =
        "{\n"
        "    \"next_id\": 3,\n"
        "    \"jobs\": [\n"
        "        {\n"
        "            \"id\": 1,\n"
        "            \"name\": \"first\",\n"
        "            \"expr\": \"*/5 * * * *\",\n"
        "            \"cmd\": \"echo \\\"hi\\\" \\\\ there\",\n"
        "            \"enabled\": true,\n"
        "            \"max_runtime_sec\": 0,\n"
        "            \"workdir\": \"\",\n"
        "            \"env\": \"\",\n"
        "            \"overlap_policy\": 0,\n"
        "            \"retry_max\": 0,\n"
        "            \"retry_backoff_sec\": 0\n"
        "        },\n"
        "        {\n"
        "            \"id\": 2,\n"
        "            \"name\": \"caf\xC3\xA9\\u0001\",\n"
        "            \"expr\": \"@daily\",\n"
        "            \"cmd\": \"true\",\n"
        "            \"enabled\": false,\n"
        "            \"max_runtime_sec\": 30,\n"
        "            \"workdir\": \"" +
        workdir +
        "\",\n"
        "            \"env\": \"A=1\\nB=2\\n\",\n"
        "            \"overlap_policy\": 1,\n"
        "            \"retry_max\": 3,\n"
        "            \"retry_backoff_sec\": 60\n"
        "        }\n"
        "    ]\n"
        "}";
    EXPECT_EQ(read_file(dir.store()), expected);
    crontab_destroy(ct);
}

TEST(StoreRoundTrip, EveryStoredMemberComesBack) {
    set_tz("UTC");
    test_dir dir;
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_EQ(crontab_add_job(ct, "one", "0 9 * * 1-5", "echo one", 1), 1);
    ASSERT_EQ(crontab_add_job(ct, "two", "@every 90s", "echo two", 0), 2);
    ASSERT_EQ(crontab_add_job(ct, "three", "@hourly", "echo three", 1), 3);
    ASSERT_EQ(crontab_delete_job(ct, 1), 0);  // leaves a gap in slot 0
    ASSERT_EQ(crontab_set_job_timeout(ct, 3, 45), 0);
    ASSERT_EQ(crontab_set_job_paths(ct, 3, dir.c_str(), "X=\xE2\x82\xAC\n\nY=2"), 0);
    ASSERT_EQ(crontab_set_job_overlap_policy(ct, 3, 2), 0);
    ASSERT_EQ(crontab_set_job_retry(ct, 3, 10, 3600), 0);
    {
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        cron_job_t* job = cron_job_find(ct, 3);
        job->last_run = 123;
        job->queued = 1;
        cron_log_entry_t entry{};
        cron_job_push_log(job, &entry);
    }
    crontab_destroy(ct);

    int64_t before = cron_os_now();
    crontab_t* again = crontab_create(dir.c_str());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->next_id, 4);
    ASSERT_TRUE(again->jobs[0].in_use);
    ASSERT_TRUE(again->jobs[1].in_use);
    EXPECT_FALSE(again->jobs[2].in_use);
    const cron_job_t& two = again->jobs[0];
    EXPECT_EQ(two.id, 2);
    EXPECT_STREQ(two.name, "two");
    EXPECT_STREQ(two.expr, "@every 90s");
    EXPECT_EQ(two.enabled, 0);
    EXPECT_EQ(two.sched.interval_sec, 90);
    const cron_job_t& three = again->jobs[1];
    EXPECT_EQ(three.id, 3);
    EXPECT_STREQ(three.cmd, "echo three");
    EXPECT_EQ(three.enabled, 1);
    EXPECT_EQ(three.max_runtime_sec, 45);
    EXPECT_EQ(std::string(three.workdir), dir.str());
    EXPECT_STREQ(three.env, "X=\xE2\x82\xAC\n\nY=2");
    EXPECT_EQ(three.overlap_policy, 2);
    EXPECT_EQ(three.retry_max, 10);
    EXPECT_EQ(three.retry_backoff_sec, 3600);
    // Run state does not survive; next_run is recomputed from the load.
    EXPECT_EQ(three.last_run, 0);
    EXPECT_EQ(three.log_count, 0);
    EXPECT_EQ(three.queued, 0);
    EXPECT_GT(three.next_run, before);
    EXPECT_EQ(three.next_run % 3600, 0);
    // Ids of deleted jobs are not handed out again after a reload.
    EXPECT_EQ(crontab_add_job(again, "four", "@daily", "true", 1), 4);
    crontab_destroy(again);
}

TEST(StoreLoad, UnreadableTextsLeaveTheTableEmpty) {
    std::string good = store_text({job_text()}, "\"next_id\":5");
    struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"byte-order mark", "\xEF\xBB\xBF" + good},
        {"zero byte after the text", good + std::string(1, '\0')},
        {"zero byte inside", good.substr(0, 5) + std::string(1, '\0') + good.substr(5)},
        {"trailing comma in array", store_text({job_text(), ""})},
        {"trailing comma in object", "{\"next_id\":5,}"},
        {"line comment", "// jobs\n" + good},
        {"block comment", "/* x */" + good},
        {"invalid UTF-8 in a string", store_text({job_text("", "\xFF")})},
        {"cut character at the very end", "{\"next_id\":\"long enough for the heap \xF1"},
        {"root is an array", "[" + good + "]"},
        {"root is a string", "\"x\""},
        {"empty text", ""},
        {"two roots", good + good},
        {"NaN", "{\"next_id\":NaN}"},
    };
    for (const auto& c : cases) {
        scratch s;
        EXPECT_FALSE(s.load(c.text)) << c.what;
        EXPECT_TRUE(s.ids().empty()) << c.what;
        EXPECT_EQ(s.ct->next_id, 1) << c.what;
    }
    scratch s;
    EXPECT_TRUE(s.load(good));
    EXPECT_EQ(s.ids(), std::vector<int>{5});
}

// A damaged or hostile store nested a million levels deep once overflowed
// the stack of the host calling crontab_create.
TEST(StoreLoad, DeepNestingIsReadWithoutRecursion) {
    for (const std::string& text :
         {R"({"next_id":3,"jobs":)" + std::string(1000000, '['),
          std::string(1000000, '[') + std::string(1000000, ']'),
          store_text({job_text(R"("x":)" + std::string(500000, '[') + std::string(500000, ']'))})}) {
        scratch s;
        EXPECT_FALSE(s.load(text));
    }
    // Deep nesting inside an unknown member is still only an unknown member.
    scratch s;
    EXPECT_FALSE(s.load(store_text({job_text(R"("x":[[[[1]]]])")}, "\"next_id\":2")));
    EXPECT_EQ(s.ids(), std::vector<int>{2});
}

TEST(StoreLoad, IdsAndNextId) {
    struct {
        const char* what;
        std::string text;
        std::vector<int> ids;
        int next_id;
        bool whole;
    } cases[] = {
        {"next_id 0", "{\"next_id\":0}", {}, 1, false},
        {"next_id negative", "{\"next_id\":-4}", {}, 1, false},
        {"next_id string", "{\"next_id\":\"9\"}", {}, 1, false},
        {"next_id 9.0", "{\"next_id\":9.0}", {}, 1, false},
        {"empty root", "{}", {}, 1, true},
        {"no jobs member", "{\"next_id\":9}", {}, 9, true},
        {"jobs not an array", "{\"next_id\":9,\"jobs\":{}}", {}, 9, false},
        {"stored ids raise next_id",
         store_text({job_text("\"id\":3"), job_text("\"id\":7")}),
         {3, 7},
         8,
         true},
        {"missing id takes next_id", store_text({job_text()}, "\"next_id\":5"), {5}, 6, true},
        {"id 0 takes next_id", store_text({job_text("\"id\":0")}, "\"next_id\":5"), {5}, 6, false},
        {"id as string takes next_id",
         store_text({job_text("\"id\":\"2\"")}, "\"next_id\":5"),
         {5},
         6,
         false},
        // One id must name one job: the first wins, and the file is kept.
        {"duplicate ids: the first loads",
         store_text({job_text("\"id\":4"), job_text("\"id\":4")}),
         {4},
         5,
         false},
        // A new id comes from above every id in the file.
        {"assigned after the stored ids", store_text({job_text(), job_text("\"id\":1")}), {2, 1}, 3, true},
        {"ids of jobs not loaded stay used",
         store_text({job_text("\"id\":2"), R"({"id":9,"name":"x","expr":"bad","cmd":"c"})"}),
         {2},
         10,
         false},
        {"low 32 bits of a large id", store_text({job_text("\"id\":4294967298")}), {2}, 3, false},
    };
    for (const auto& c : cases) {
        scratch s;
        EXPECT_EQ(s.load(c.text), c.whole) << c.what;
        EXPECT_EQ(s.ids(), c.ids) << c.what;
        EXPECT_EQ(s.ct->next_id, c.next_id) << c.what;
    }
}

TEST(StoreLoad, LargestIdLeavesNoIdToHandOut) {
    scratch s;
    EXPECT_FALSE(s.load(store_text({job_text("\"id\":2147483647"), job_text()})));
    EXPECT_EQ(s.ids(), std::vector<int>{INT_MAX});
    EXPECT_EQ(s.ct->next_id, INT_MAX);
    EXPECT_EQ(crontab_add_job(s.ct, "n", "@daily", "true", 1), -1);
}

TEST(StoreLoad, SettingsTakeIntegersInRangeOnly) {
    struct {
        const char* member;
        const char* value;
        int32_t cron_job_t::*field;
        int32_t expected;
        bool whole;
    } cases[] = {
        {"max_runtime_sec", "30", &cron_job_t::max_runtime_sec, 30, true},
        {"max_runtime_sec", "-0", &cron_job_t::max_runtime_sec, 0, true},
        {"max_runtime_sec", "-5", &cron_job_t::max_runtime_sec, 0, false},
        {"max_runtime_sec", "30.0", &cron_job_t::max_runtime_sec, 0, false},
        {"max_runtime_sec", "3e1", &cron_job_t::max_runtime_sec, 0, false},
        {"max_runtime_sec", "30.5", &cron_job_t::max_runtime_sec, 0, false},
        {"max_runtime_sec", "\"30\"", &cron_job_t::max_runtime_sec, 0, false},
        {"max_runtime_sec", "4294967326", &cron_job_t::max_runtime_sec, 30, false},
        {"max_runtime_sec", "18446744073709551615", &cron_job_t::max_runtime_sec, 0, false},
        {"max_runtime_sec", "18446744073709551616", &cron_job_t::max_runtime_sec, 0, false},
        {"overlap_policy", "2", &cron_job_t::overlap_policy, 2, true},
        {"overlap_policy", "3", &cron_job_t::overlap_policy, 3, true},
        {"overlap_policy", "4", &cron_job_t::overlap_policy, 0, false},
        {"catch_up_sec", "2678400", &cron_job_t::catch_up_sec, 2678400, true},
        {"catch_up_sec", "-1", &cron_job_t::catch_up_sec, 0, false},
        {"jitter_sec", "86401", &cron_job_t::jitter_sec, 0, false},
        {"jitter_fixed", "2", &cron_job_t::jitter_fixed, 0, false},
        {"overlap_policy", "-1", &cron_job_t::overlap_policy, 0, false},
        {"retry_max", "10", &cron_job_t::retry_max, 10, true},
        {"retry_max", "11", &cron_job_t::retry_max, 0, false},
        {"retry_backoff_sec", "3600", &cron_job_t::retry_backoff_sec, 3600, true},
        {"retry_backoff_sec", "3601", &cron_job_t::retry_backoff_sec, 0, false},
        {"enabled", "true", &cron_job_t::enabled, 1, true},
        {"enabled", "false", &cron_job_t::enabled, 0, true},
        {"enabled", "1", &cron_job_t::enabled, 0, false},
        {"enabled", "\"true\"", &cron_job_t::enabled, 0, false},
    };
    for (const auto& c : cases) {
        scratch s;
        std::string what = std::string(c.member) + ": " + c.value;
        EXPECT_EQ(s.load(store_text({job_text("\"" + std::string(c.member) + "\":" + c.value)})), c.whole)
            << what;
        ASSERT_EQ(s.ids().size(), 1u) << what;
        EXPECT_EQ(s.job(0).*c.field, c.expected) << what;
    }
    scratch s;
    EXPECT_TRUE(s.load(store_text({job_text()})));
    EXPECT_EQ(s.job(0).enabled, 0);  // a missing "enabled" loads disabled
}

TEST(StoreLoad, UnusableElementsAreSkippedAndLaterOnesLoad) {
    std::string long_expr;  // parses, but does not fit the 127-byte field
    for (int m = 0; m < 40; ++m) long_expr += std::to_string(m) + (m < 39 ? "," : " ");
    for (int h = 0; h < 24; ++h) long_expr += std::to_string(h) + (h < 23 ? "," : " * * *");
    ASSERT_GT(long_expr.size(), 127u);
    ASSERT_EQ(cron_validate(long_expr.c_str(), nullptr, 0), 0);
    std::string skipped[] = {
        "5",
        "{}",
        "[]",
        R"({"expr":"* * * * *","cmd":"c"})",
        R"({"name":5,"expr":"* * * * *","cmd":"c"})",
        R"({"name":"a","cmd":"c"})",
        R"({"name":"a","expr":"* * * * *","cmd":null})",
        R"({"name":"a","expr":"not an expression","cmd":"c"})",
        R"({"name":"a","expr":")" + long_expr + R"(","cmd":"c"})",
        R"({"name":"a","expr":"* * * * *","cmd":")" + std::string(1024, 'x') + "\"}",
        job_text("\"workdir\":\"" + std::string(512, 'w') + "\""),
        job_text("\"env\":\"" + std::string(1024, 'e') + "\""),
        // Environment text the child would not receive whole.
        job_text("\"env\":\"=x\""),
        job_text("\"env\":\"A=" + std::string(256, 'v') + "\""),
        job_text("", "\\udc00"),
        R"({"name":"a","expr":"* * * * *\u0000","cmd":"c"})",
    };
    for (const std::string& bad : skipped) {
        scratch s;
        EXPECT_FALSE(s.load(store_text({bad, job_text("\"id\":9")}))) << bad;
        EXPECT_EQ(s.ids(), std::vector<int>{9}) << bad;
    }
}

TEST(StoreLoad, TextsAndKeys) {
    scratch s;
    std::string name200(200, 'n');
    EXPECT_FALSE(s.load(store_text({job_text("", name200)})));
    EXPECT_EQ(std::string(s.job(0).name), name200.substr(0, 127));

    // A character that does not fit whole is left out.
    scratch cut;
    std::string name = std::string(126, 'n') + "\xC3\xA9";
    EXPECT_FALSE(cut.load(store_text({job_text("", name)})));
    EXPECT_EQ(std::string(cut.job(0).name), std::string(126, 'n'));

    // The first of two equal keys counts.
    scratch dup;
    EXPECT_FALSE(dup.load(R"({"jobs":[{"name":"first","name":"second","expr":"@daily","cmd":"c",)"
                          R"("workdir":"","workdir":5}],"jobs":[]})"));
    ASSERT_EQ(dup.ids().size(), 1u);
    EXPECT_STREQ(dup.job(0).name, "first");

    // Unknown keys are ignored, but the next save would not keep them.
    scratch extra;
    EXPECT_FALSE(extra.load(store_text({job_text("\"note\":\"x\"")}, "\"version\":2")));
    EXPECT_EQ(extra.ids().size(), 1u);
}

TEST(StoreLoad, AtMost128JobsInArrayOrder) {
    std::vector<std::string> jobs;
    for (int i = 1; i <= 130; ++i) jobs.push_back(job_text("\"id\":" + std::to_string(i)));
    scratch s;
    EXPECT_FALSE(s.load(store_text(jobs)));
    std::vector<int> expected;
    for (int i = 1; i <= 128; ++i) expected.push_back(i);
    EXPECT_EQ(s.ids(), expected);
    // The ids of the jobs left out are not handed out again.
    EXPECT_EQ(s.ct->next_id, 131);
}

TEST(StoreLoad, NextRunFromTheMomentOfLoading) {
    set_tz("UTC");
    scratch s;
    int64_t now = utc(2024, 3, 1, 10, 17);
    ASSERT_TRUE(s.load(store_text({R"({"name":"a","expr":"0 * * * *","cmd":"c","enabled":false})"}), now));
    EXPECT_EQ(s.job(0).next_run, utc(2024, 3, 1, 11, 0));
    EXPECT_EQ(s.job(0).last_run, 0);
}

TEST(StoreSave, NoDataDirectoryNoFile) {
    test_dir dir;
    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.str());
    for (const char* none : {static_cast<const char*>(nullptr), ""}) {
        crontab_t* ct = crontab_create(none);
        ASSERT_NE(ct, nullptr);
        EXPECT_EQ(crontab_add_job(ct, "a", "@daily", "true", 1), 1);
        crontab_destroy(ct);
    }
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(StoreSave, UnchangedTextIsNotRewrittenWhileTheFileExists) {
    test_dir dir;
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "true", 1), 1);
    write_file(dir.store(), "sentinel");
    save_locked(ct);
    EXPECT_EQ(read_file(dir.store()), "sentinel");
    std::filesystem::remove(dir.store());
    save_locked(ct);
    EXPECT_NE(read_file(dir.store()).find("\"id\": 1"), std::string::npos);
    crontab_destroy(ct);
}

TEST(StoreSave, InvalidTextNeverReachesTheFile) {
    test_dir dir;
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "true", 1), 1);
    std::string saved = read_file(dir.store());
    std::string formatted;
    {
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        std::strcpy(cron_job_find(ct, 1)->name, "bad \xC3");
        EXPECT_FALSE(cron_store_format(ct, &formatted));
    }
    EXPECT_EQ(crontab_set_job_timeout(ct, 1, 5), -3);
    EXPECT_EQ(read_file(dir.store()), saved);
    EXPECT_EQ(crontab_update_job(ct, 1, "good", "@daily", "true", 1), 0);
    EXPECT_NE(read_file(dir.store()).find("\"name\": \"good\""), std::string::npos);
    crontab_destroy(ct);
}

// Scheduler ticks, the end of a run, create and destroy write nothing: a
// read-only use leaves the store as it was.
TEST(StoreSave, OnlyJobExportsWrite) {
    test_dir dir;
    // Compact, and with more jobs than the table takes: any rewrite shows.
    std::string original =
        R"({"next_id":4,"jobs":[{"id":3,"name":"a","expr":"@every 1s","cmd":"true","enabled":true})";
    for (int id = 4; id < 203; ++id)
        original += R"(,{"id":)" + std::to_string(id) + R"(,"name":"b","expr":"@daily","cmd":"c"})";
    original += "]}";
    write_file(dir.store(), original);
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_NE(ct, nullptr);
    ASSERT_EQ(crontab_start(ct), 0);
    // Until a scheduled run has ended and been recorded.
    auto logged = [&] {
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        return cron_job_find(ct, 3)->log_count > 0;
    };
    for (int i = 0; i < 3000 && !logged(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(logged());
    ASSERT_EQ(crontab_run_now(ct, 3), 0);
    crontab_destroy(ct);
    EXPECT_EQ(read_file(dir.store()), original);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"crontab.json"});
}

// A store that cannot be read as a whole is never replaced: create refuses
// it, says where it breaks, and touches no file.
TEST(StoreLoad, UnreadableStoreIsRefusedAndLeftAlone) {
    struct {
        std::string text;
        const char* reason;
    } cases[] = {
        {"{\n    \"next_id\": 2\n    \"jobs\": []\n}",
         "crontab.json line 3, column 5: missing a comma or '}' after an object member"},
        {"{\"jobs\": [\"caf\xC3\xA9\", \"\xFF\"]}", "crontab.json line 1, column 20: not valid UTF-8"},
        {"{\"jobs\": []}" + std::string(1, '\0'), "crontab.json line 1, column 13: a zero byte"},
        {"\xEF\xBB\xBF{}", "crontab.json begins with a byte-order mark"},
        {"[]", "crontab.json does not hold a JSON object"},
        {"{\"jobs\": []}" + std::string(8 * 1024 * 1024, ' '), "crontab.json is larger than 8 MiB"},
    };
    for (const auto& c : cases) {
        test_dir dir;
        write_file(dir.store(), c.text);
        EXPECT_EQ(crontab_create(dir.c_str()), nullptr) << c.reason;
        EXPECT_STREQ(crontab_last_error(), c.reason);
        EXPECT_EQ(read_file(dir.store()), c.text) << c.reason;
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"crontab.json"}) << c.reason;
    }
}

TEST(StoreBackup, StoreNotTakenWholeIsKeptBeforeTheFirstSave) {
    const std::string partly = store_text({"5", job_text("\"id\":3")});
    for (const std::string& original : {partly, std::string("{\"next_id\":\"x\"}")}) {
        test_dir dir;
        write_file(dir.store(), original);
        write_file(dir.file("crontab.json.bak"), "older backup");
        crontab_t* ct = crontab_create(dir.c_str());
        ASSERT_NE(ct, nullptr);
        // Loading alone writes nothing.
        EXPECT_EQ(read_file(dir.store()), original);
        int id = crontab_add_job(ct, "new", "@daily", "true", 1);
        ASSERT_GT(id, 0);
        // An earlier, different backup stays; the copy takes the next name.
        EXPECT_EQ(read_file(dir.file("crontab.json.bak")), "older backup");
        EXPECT_EQ(read_file(dir.file("crontab.json.bak.1")), original);
        rapidjson::Document doc;
        doc.Parse(read_file(dir.store()).c_str());
        EXPECT_TRUE(doc.IsObject());
        // Only the first save keeps a copy.
        ASSERT_EQ(crontab_set_job_timeout(ct, id, 9), 0);
        crontab_destroy(ct);
        EXPECT_EQ(dir.entries(),
                  (std::vector<std::string>{"crontab.json", "crontab.json.bak", "crontab.json.bak.1"}));
    }
    // A second partial load keeps its store too; a copy already kept is not
    // made again.
    test_dir dir;
    const std::string other = store_text({"6", job_text("\"id\":4")});
    for (const std::string& text : {partly, other, partly}) {
        write_file(dir.store(), text);
        crontab_t* ct = crontab_create(dir.c_str());
        ASSERT_NE(ct, nullptr);
        ASSERT_GT(crontab_add_job(ct, "n", "@daily", "true", 1), 0);
        crontab_destroy(ct);
    }
    EXPECT_EQ(read_file(dir.file("crontab.json.bak")), partly);
    EXPECT_EQ(read_file(dir.file("crontab.json.bak.1")), other);
    EXPECT_EQ(dir.entries(),
              (std::vector<std::string>{"crontab.json", "crontab.json.bak", "crontab.json.bak.1"}));
}

TEST(StoreBackup, CleanOrMissingStoreGetsNoBackup) {
    test_dir dir;
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "true", 1), 1);
    crontab_destroy(ct);
    ct = crontab_create(dir.c_str());
    ASSERT_EQ(crontab_add_job(ct, "b", "@daily", "true", 1), 2);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(crontab_set_job_timeout(ct, 2, i), 0);
    crontab_destroy(ct);
    // No backup and no temporary file left behind by any save.
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"crontab.json"});
}
