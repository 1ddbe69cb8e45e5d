// Every class of failure has its code beside its sentence, so hosts branch
// without reading the sentence.
#include <fstream>
#include <string>

#ifdef _WIN32
#    include <process.h>
#    define getpid _getpid
#else
#    include <unistd.h>
#endif

#include "job_cmd.h"
#include "sched_util.h"

using namespace sched_test;

namespace {

class ErrorCodesTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        ct = make_instance();
        id = crontab_add_job(ct.get(), "job", "@daily", "true", 0);
        ASSERT_GT(id, 0);
    }
    temp_dir dir;
    instance ct;
    int id = 0;
};

TEST_F(ErrorCodesTest, EachFailureOfAnExportHasItsCode) {
    struct row {
        const char* what;
        int (*call)(crontab_t*, int);
        int code;
    };
    const row rows[] = {
        {"no instance", [](crontab_t*, int) { return crontab_start(nullptr); }, CRONTAB_E_NO_INSTANCE},
        {"not found", [](crontab_t* c, int) { return crontab_delete_job(c, 999); }, CRONTAB_E_NOT_FOUND},
        {"null text", [](crontab_t* c, int) { return crontab_add_job(c, nullptr, "@daily", "true", 0); },
         CRONTAB_E_BAD_ARGUMENT},
        {"bad expression", [](crontab_t* c, int) { return crontab_add_job(c, "x", "61 * * * *", "true", 0); },
         CRONTAB_E_BAD_EXPRESSION},
        {"no fire time",
         [](crontab_t*, int) {
             int64_t t;
             return crontab_calc_next("0 0 30 2 *", 0, &t);
         },
         CRONTAB_E_BAD_EXPRESSION},
        {"bad setting", [](crontab_t* c, int i) { return crontab_set_job_retry(c, i, 11, 0); },
         CRONTAB_E_BAD_SETTING},
        {"bad environment",
         [](crontab_t* c, int i) { return crontab_set_job_paths(c, i, nullptr, "NOEQUALS"); },
         CRONTAB_E_BAD_SETTING},
        {"no child", [](crontab_t* c, int i) { return crontab_cancel_job(c, i); }, CRONTAB_E_NO_CHILD},
        {"scheduler twice",
         [](crontab_t* c, int) {
             crontab_start(c);
             return crontab_start(c);
         },
         CRONTAB_E_BAD_STATE},
    };
    for (const row& r : rows) {
        EXPECT_NE(r.call(ct.get(), id), CRONTAB_OK) << r.what;
        EXPECT_EQ(crontab_last_error_code(), r.code) << r.what << ": " << crontab_last_error();
    }
    crontab_stop(ct.get());
    EXPECT_EQ(crontab_delete_job(ct.get(), 999), CRONTAB_ERROR);
    EXPECT_EQ(crontab_last_error_value(), 999);
    ASSERT_GE(crontab_set_job_timeout(ct.get(), id, 1), 0);
    EXPECT_EQ(crontab_last_error_code(), CRONTAB_E_NONE);
    EXPECT_EQ(crontab_last_error_value(), 0);
}

TEST_F(ErrorCodesTest, FullTable) {
    for (int i = 1; i < CRONTAB_MAX_JOBS; ++i)
        ASSERT_GT(crontab_add_job(ct.get(), "j", "@daily", "true", 0), 0);
    EXPECT_EQ(crontab_add_job(ct.get(), "j", "@daily", "true", 0), CRONTAB_ERROR);
    EXPECT_EQ(crontab_last_error_code(), CRONTAB_E_TABLE_FULL);
}

TEST_F(ErrorCodesTest, RunRefusedWhileTheJobRuns) {
    const std::string release = dir.file("release");
    int busy =
        crontab_add_job(ct.get(), "busy", "@daily", std::string(job_cmd().wait_for(release)).c_str(), 0);
    background_run run(ct.get(), busy);
    ASSERT_TRUE(wait_until([&] { return active_runs(ct.get()) == 1; }));
    EXPECT_EQ(crontab_run_now(ct.get(), busy), CRONTAB_ERROR);
    EXPECT_EQ(crontab_last_error_code(), CRONTAB_E_REFUSED_RUN);
    std::ofstream(release).put('x');
    EXPECT_EQ(run.join(), 0);
}

TEST_F(ErrorCodesTest, DataDirectoryFailuresHaveTheirCodes) {
    const std::string data = dir.file("data");
    instance owner(crontab_create(data.c_str()));
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(crontab_create(data.c_str()), nullptr);
    EXPECT_EQ(crontab_last_error_code(), CRONTAB_E_DIR_IN_USE);
    EXPECT_EQ(crontab_last_error_value(), static_cast<int64_t>(getpid()));

    const std::string file = dir.file("file");
    std::ofstream(file).put('x');
    EXPECT_EQ(crontab_create(file.c_str()), nullptr);
    EXPECT_EQ(crontab_last_error_code(), CRONTAB_E_DIR_UNUSABLE);

    const std::string bad = dir.file("bad");
    fs::create_directory(bad);
    std::ofstream(bad + "/crontab.json") << "not json";
    EXPECT_EQ(crontab_create(bad.c_str()), nullptr);
    EXPECT_EQ(crontab_last_error_code(), CRONTAB_E_STORE_UNREADABLE);
}

}  // namespace
