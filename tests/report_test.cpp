// The job list report: members, their order and JSON types, live state, and
// the buffer the text lives in.
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "quilmarn_crontab.h"
#include "sched/cron_job.h"

namespace {

struct instance {
    crontab_t* ct = crontab_create(nullptr);
    ~instance() { crontab_destroy(ct); }
    cron_job_t& job(int id) { return *cron_job_find(ct, id); }
};

rapidjson::Document parse(const char* text) {
    rapidjson::Document doc;
    doc.Parse(text);
    EXPECT_FALSE(doc.HasParseError()) << text;
    return doc;
}

}  // namespace

TEST(JobList, NullAndEmpty) {
    EXPECT_STREQ(crontab_get_jobs_json(nullptr), "[]");
    instance in;
    const char* text = crontab_get_jobs_json(in.ct);
    EXPECT_STREQ(text, "[]");
    EXPECT_EQ(text, in.ct->shared->jobs_json_buf.c_str());
    EXPECT_NE(text, crontab_get_jobs_json(nullptr));
}

TEST(JobList, NullHandleBufferBelongsToTheThread) {
    const char* mine = crontab_get_jobs_json(nullptr);
    const char* other = nullptr;
    std::thread([&] { other = crontab_get_jobs_json(nullptr); }).join();
    EXPECT_NE(mine, other);
}

TEST(JobList, EveryMemberInOrderWithItsType) {
    instance in;
    ASSERT_EQ(crontab_add_job(in.ct, "a", "@hourly", "true", 1), 1);
    const char* text = crontab_get_jobs_json(in.ct);
    EXPECT_EQ(std::strpbrk(text, " \n"), nullptr) << "compact: " << text;
    rapidjson::Document doc = parse(text);
    ASSERT_TRUE(doc.IsArray());
    ASSERT_EQ(doc.Size(), 1u);
    const rapidjson::Value& job = doc[0];
    struct {
        const char* name;
        rapidjson::Type type;
    } expected[] = {
        {"id", rapidjson::kNumberType},
        {"name", rapidjson::kStringType},
        {"expr", rapidjson::kStringType},
        {"cmd", rapidjson::kStringType},
        {"enabled", rapidjson::kTrueType},
        {"next_run", rapidjson::kNumberType},
        {"last_run", rapidjson::kNumberType},
        {"log_count", rapidjson::kNumberType},
        {"max_runtime_sec", rapidjson::kNumberType},
        {"running", rapidjson::kFalseType},
        {"workdir", rapidjson::kStringType},
        {"envSet", rapidjson::kFalseType},
        {"env", rapidjson::kStringType},
        {"overlap_policy", rapidjson::kNumberType},
        {"queued_count", rapidjson::kNumberType},
        {"retry_max", rapidjson::kNumberType},
        {"retry_backoff_sec", rapidjson::kNumberType},
        {"catch_up_sec", rapidjson::kNumberType},
        {"jitter_sec", rapidjson::kNumberType},
        {"jitter_fixed", rapidjson::kFalseType},
        {"user", rapidjson::kStringType},
    };
    ASSERT_EQ(job.MemberCount(), std::size(expected));
    size_t i = 0;
    for (auto m = job.MemberBegin(); m != job.MemberEnd(); ++m, ++i) {
        EXPECT_STREQ(m->name.GetString(), expected[i].name);
        EXPECT_EQ(m->value.GetType(), expected[i].type) << expected[i].name;
        if (m->value.IsNumber()) {
            EXPECT_TRUE(m->value.IsInt64()) << expected[i].name;
        }
    }
    EXPECT_EQ(job["id"].GetInt(), 1);
    EXPECT_STREQ(job["expr"].GetString(), "@hourly");
    EXPECT_EQ(job["next_run"].GetInt64(), in.job(1).next_run);
}

TEST(JobList, LiveState) {
    instance in;
    ASSERT_EQ(crontab_add_job(in.ct, "say \"hi\"\\", "@daily", "c", 0), 1);
    ASSERT_EQ(crontab_add_job(in.ct, "b", "@daily", "c", 1), 2);
    ASSERT_EQ(crontab_set_job_paths(in.ct, 2, nullptr, "A=1\nB=2"), 0);
    ASSERT_EQ(crontab_set_job_timeout(in.ct, 2, 30), 0);
    ASSERT_EQ(crontab_set_job_overlap_policy(in.ct, 2, 2), 0);
    ASSERT_EQ(crontab_set_job_retry(in.ct, 2, 3, 15), 0);
    {
        std::lock_guard<std::mutex> lk(in.ct->shared->lock);
        cron_job_t& b = in.job(2);
        b.running_count = 2;
        b.queued = 1;
        b.last_run = 5000000000;  // beyond 32 bits
        cron_log_entry_t entry{};
        for (int i = 0; i < 25; ++i) cron_job_push_log(&b, &entry);
    }
    rapidjson::Document doc = parse(crontab_get_jobs_json(in.ct));
    ASSERT_EQ(doc.Size(), 2u);
    const rapidjson::Value& a = doc[0];
    EXPECT_STREQ(a["name"].GetString(), "say \"hi\"\\");
    EXPECT_FALSE(a["enabled"].GetBool());
    EXPECT_FALSE(a["running"].GetBool());
    EXPECT_EQ(a["last_run"].GetInt64(), 0);
    EXPECT_EQ(a["log_count"].GetInt(), 0);
    EXPECT_FALSE(a["envSet"].GetBool());
    EXPECT_STREQ(a["env"].GetString(), "");
    EXPECT_EQ(a["queued_count"].GetInt(), 0);
    const rapidjson::Value& b = doc[1];
    EXPECT_TRUE(b["running"].GetBool());
    EXPECT_EQ(b["queued_count"].GetInt(), 1);
    EXPECT_EQ(b["last_run"].GetInt64(), 5000000000);
    EXPECT_EQ(b["log_count"].GetInt(), 20);
    EXPECT_TRUE(b["envSet"].GetBool());
    EXPECT_STREQ(b["env"].GetString(), "A=1\nB=2");
    EXPECT_EQ(b["max_runtime_sec"].GetInt(), 30);
    EXPECT_EQ(b["overlap_policy"].GetInt(), 2);
    EXPECT_EQ(b["retry_max"].GetInt(), 3);
    EXPECT_EQ(b["retry_backoff_sec"].GetInt(), 15);
    EXPECT_NE(std::string(crontab_get_jobs_json(in.ct)).find("\"env\":\"A=1\\nB=2\""), std::string::npos);
}

TEST(JobList, LongerThan64KiBStaysWhole) {
    instance in;
    std::string cmd(1000, 'c');
    for (int i = 0; i < CRON_MAX_JOBS; ++i) {
        ASSERT_GT(crontab_add_job(in.ct, "job", "@daily", cmd.c_str(), 1), 0);
    }
    const char* text = crontab_get_jobs_json(in.ct);
    EXPECT_GT(std::strlen(text), 65536u);
    rapidjson::Document doc = parse(text);
    ASSERT_TRUE(doc.IsArray());
    EXPECT_EQ(doc.Size(), static_cast<rapidjson::SizeType>(CRON_MAX_JOBS));
}

TEST(JobList, InvalidTextGivesAnEmptyList) {
    instance in;
    ASSERT_EQ(crontab_add_job(in.ct, "a", "@daily", "c", 1), 1);
    {
        std::lock_guard<std::mutex> lk(in.ct->shared->lock);
        std::strcpy(in.job(1).cmd, "\xFF");
    }
    const char* text = crontab_get_jobs_json(in.ct);
    EXPECT_STREQ(text, "[]");
    EXPECT_EQ(text, in.ct->shared->jobs_json_buf.c_str());
}

// Both reports write the one buffer of the instance: the job list's text is
// replaced by a later run log of the same instance.
TEST(JobList, SharesTheReportBufferWithTheRunLog) {
    instance in;
    ASSERT_EQ(crontab_add_job(in.ct, "a", "@daily", "c", 1), 1);
    {
        std::lock_guard<std::mutex> lk(in.ct->shared->lock);
        cron_log_entry_t entry{};
        entry.attempt = 1;
        cron_job_push_log(&in.job(1), &entry);
    }
    const char* list = crontab_get_jobs_json(in.ct);
    std::string list_text = list;
    // An unknown job's "[]" comes from elsewhere and leaves the list alone.
    EXPECT_STREQ(crontab_get_job_logs_json(in.ct, 99, 5), "[]");
    EXPECT_EQ(std::string(list), list_text);
    const char* logs = crontab_get_job_logs_json(in.ct, 1, 5);
    EXPECT_EQ(logs, list);
    EXPECT_NE(std::string(list), list_text);
    EXPECT_TRUE(parse(list)[0].HasMember("exit_code"));
}
