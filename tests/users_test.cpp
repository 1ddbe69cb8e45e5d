// A user per job: the child's ids, environment and directory under an
// account the test creates, the refusals, and the store. As root only.
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "quilmarn_crontab.h"
#include "test_dir.h"

namespace {

bool shell(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

// An account made for the test and removed after it, with its home.
struct account {
    std::string name;
    explicit account(std::string n) : name(std::move(n)) {
        shell("userdel -r " + name + " >/dev/null 2>&1");
        ok = shell("useradd -m -s /usr/sbin/nologin " + name + " >/dev/null 2>&1");
    }
    ~account() { shell("userdel -r " + name + " >/dev/null 2>&1"); }
    bool ok = false;
};

class Users : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root: the test creates a user account with useradd";
    }
};

// The newest run record of job `id`.
rapidjson::Document last_record(crontab_t* ct, int id) {
    rapidjson::Document doc;
    doc.Parse(crontab_get_job_logs_json(ct, id, 1));
    EXPECT_TRUE(doc.IsArray() && doc.Size() == 1);
    return doc;
}

TEST_F(Users, ChildRunsAsTheUserInItsHomeWithItsVariables) {
    account u("qc-user-a");
    ASSERT_TRUE(u.ok) << "useradd failed";
    const passwd* pw = ::getpwnam(u.name.c_str());
    ASSERT_NE(pw, nullptr);
    const std::string uid = std::to_string(pw->pw_uid), gid = std::to_string(pw->pw_gid), home = pw->pw_dir;
    crontab_t* ct = crontab_create(nullptr);
    int id =
        crontab_add_job(ct, "who", "@daily", "echo $(id -u) $(id -g) $HOME $LOGNAME $USER $SHELL $(pwd)", 1);
    ASSERT_EQ(crontab_set_job_user(ct, id, u.name.c_str()), CRONTAB_OK) << crontab_last_error();
    ASSERT_EQ(crontab_run_now(ct, id), CRONTAB_OK);
    auto rec = last_record(ct, id);
    EXPECT_EQ(rec[0]["exit_code"].GetInt(), 0) << rec[0]["stderr"].GetString();
    EXPECT_EQ(std::string(rec[0]["stdout"].GetString()),
              uid + " " + gid + " " + home + " " + u.name + " " + u.name + " /bin/sh " + home + "\n");
    // A job's own HOME and working directory win over the account's.
    ASSERT_EQ(crontab_set_job_paths(ct, id, "/tmp", "HOME=/elsewhere"), CRONTAB_OK);
    ASSERT_EQ(crontab_run_now(ct, id), CRONTAB_OK);
    rec = last_record(ct, id);
    EXPECT_EQ(std::string(rec[0]["stdout"].GetString()),
              uid + " " + gid + " /elsewhere " + u.name + " " + u.name + " /bin/sh /tmp\n");
    // Without a user the child is the host's again.
    ASSERT_EQ(crontab_set_job_user(ct, id, ""), CRONTAB_OK);
    ASSERT_EQ(crontab_run_now(ct, id), CRONTAB_OK);
    rec = last_record(ct, id);
    EXPECT_EQ(std::string(rec[0]["stdout"].GetString()).rfind("0 0 ", 0), 0u) << rec[0]["stdout"].GetString();
    crontab_destroy(ct);
}

TEST_F(Users, AccountGoneWhenTheAttemptBeginsIsNotStarted) {
    crontab_t* ct = crontab_create(nullptr);
    int id = crontab_add_job(ct, "gone", "@daily", "id -u", 1);
    {
        account u("qc-user-gone");
        ASSERT_TRUE(u.ok);
        ASSERT_EQ(crontab_set_job_user(ct, id, u.name.c_str()), CRONTAB_OK) << crontab_last_error();
    }
    ASSERT_EQ(crontab_run_now(ct, id), CRONTAB_OK);
    auto rec = last_record(ct, id);
    EXPECT_EQ(rec[0]["exit_code"].GetInt(), CRONTAB_EXIT_NOT_STARTED);
    EXPECT_STREQ(rec[0]["stderr"].GetString(), "user 'qc-user-gone' does not exist");
    crontab_destroy(ct);
}

// As root any account may be named; as another user only its own. The
// second half runs in a child that has dropped to the created account.
TEST_F(Users, RefusedNames) {
    account u("qc-user-b");
    ASSERT_TRUE(u.ok);
    crontab_t* ct = crontab_create(nullptr);
    int id = crontab_add_job(ct, "j", "@daily", "true", 1);
    const struct {
        const char* user;
        int rc;
        int code;
    } cases[] = {
        {"qc-no-such-user", CRONTAB_ERROR_SETTING, CRONTAB_E_BAD_SETTING},
        {"a-name-longer-than-the-sixty-three-bytes-a-user-name-may-have-here", CRONTAB_ERROR_SETTING,
         CRONTAB_E_BAD_SETTING},
        {"root", CRONTAB_OK, CRONTAB_E_NONE},
        {"", CRONTAB_OK, CRONTAB_E_NONE},
        {nullptr, CRONTAB_OK, CRONTAB_E_NONE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(crontab_set_job_user(ct, id, c.user), c.rc) << (c.user ? c.user : "null");
        EXPECT_EQ(crontab_last_error_code(), c.code) << (c.user ? c.user : "null");
    }
    EXPECT_STREQ((crontab_set_job_user(ct, id, "qc-no-such-user"), crontab_last_error()),
                 "user 'qc-no-such-user' does not exist");
    EXPECT_EQ(crontab_set_job_user(ct, 999, "root"), CRONTAB_ERROR);
    crontab_destroy(ct);

    const passwd* pw = ::getpwnam(u.name.c_str());
    ASSERT_NE(pw, nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0) ::_exit(10);
        crontab_t* mine = crontab_create(nullptr);
        int job = crontab_add_job(mine, "j", "@daily", "true", 1);
        int bits = 0;
        if (crontab_set_job_user(mine, job, "root") != CRONTAB_ERROR_SETTING ||
            crontab_last_error_code() != CRONTAB_E_BAD_SETTING)
            bits |= 1;
        if (crontab_set_job_user(mine, job, u.name.c_str()) != CRONTAB_OK) bits |= 2;
        ::_exit(bits);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: another user was taken, 2: its own was refused, 10: no drop";
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

TEST_F(Users, StoreKeepsTheUserAndLeavesOutAJobWhoseUserIsGone) {
    test_dir dir;
    crontab_t* ct = crontab_create(dir.c_str());
    int with = crontab_add_job(ct, "with", "@daily", "true", 1);
    crontab_add_job(ct, "without", "@daily", "true", 1);
    ASSERT_EQ(crontab_set_job_user(ct, with, "root"), CRONTAB_OK);
    crontab_destroy(ct);
    std::string text = read_file(dir.store());
    // Only the job with a user has the member.
    EXPECT_EQ(text.find("\"user\""), text.rfind("\"user\"")) << text;

    ct = crontab_create(dir.c_str());
    rapidjson::Document jobs;
    jobs.Parse(crontab_get_jobs_json(ct));
    ASSERT_EQ(jobs.Size(), 2u);
    EXPECT_STREQ(jobs[0]["user"].GetString(), "root");
    EXPECT_STREQ(jobs[1]["user"].GetString(), "");
    crontab_destroy(ct);

    const std::string gone = std::string(text).replace(text.find("\"root\""), 6, "\"qc-no-such-user\"");
    std::ofstream(dir.store(), std::ios::binary | std::ios::trunc) << gone;
    ct = crontab_create(dir.c_str());
    jobs.Parse(crontab_get_jobs_json(ct));
    ASSERT_EQ(jobs.Size(), 1u);
    EXPECT_STREQ(jobs[0]["name"].GetString(), "without");
    // The first change keeps the file as it was.
    ASSERT_EQ(crontab_set_job_timeout(ct, jobs[0]["id"].GetInt(), 5), CRONTAB_OK);
    EXPECT_EQ(read_file(dir.file("crontab.json.bak")), gone);
    crontab_destroy(ct);
}

}  // namespace
