// A host that reaps child processes itself. Ignoring SIGCHLD makes the
// kernel reap every child of the process at once, so this is a program of
// its own.
#include <csignal>

#include "sched_util.h"

using namespace sched_test;

namespace {

TEST(ReapedChildTest, StatusIsUnknownAndNeverRetried) {
    std::signal(SIGCHLD, SIG_IGN);
    instance ct = make_instance();
    int id = crontab_add_job(ct.get(), "job", "@daily", "echo out; echo err >&2; exit 0", 0);
    ASSERT_EQ(crontab_set_job_retry(ct.get(), id, 3, 0), 0);
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    auto log = logs(ct.get(), id);
    ASSERT_EQ(log.Size(), 1u);
    EXPECT_EQ(log[0]["exit_code"].GetInt(), -4);
    EXPECT_STREQ(log[0]["stderr"].GetString(),
                 "exit status not available: the host reaps child processes\nerr\n");
    EXPECT_STREQ(log[0]["stdout"].GetString(), "out\n");
}

}  // namespace
