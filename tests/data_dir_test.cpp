// The data directory as a boundary of trust: a link or a special file planted
// at a name the library uses is refused and never followed, a directory
// somebody else owns or may write is refused, and what the library creates
// is its owner's alone.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "quilmarn_crontab.h"
#include "test_dir.h"

namespace fs = std::filesystem;

namespace {

// A test that waits on a FIFO must not wait for ever: the alarm ends the
// program and so fails the test.
struct deadline {
    explicit deadline(unsigned seconds) { ::alarm(seconds); }
    ~deadline() { ::alarm(0); }
};

// A store whose second job does not parse: it loads in part, so the first
// save keeps a backup of it.
void write_partial_store(const test_dir& dir) {
    write_file(dir.store(),
               R"({"next_id": 3, "jobs": [{"id": 1, "name": "a", "expr": "@daily", "cmd": "true"},)"
               R"( {"id": 2, "name": "b", "expr": "bogus", "cmd": "true"}]})");
}

int mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return static_cast<int>(st.st_mode & 07777);
}

bool contains(const char* text, const std::string& part) {
    return std::string(text).find(part) != std::string::npos;
}

// A file outside the data directory that a planted link points at.
struct target {
    test_dir outside;
    std::string path = outside.file("precious");
    target() { write_file(path, "precious text"); }
    bool untouched() const { return fs::exists(path) && read_file(path) == "precious text"; }
};

TEST(DataDir, LinksAtTheLibrarysNamesAreRefusedAndNotFollowed) {
    // crontab.json and crontab.lock: create refuses, naming the file.
    for (const char* name : {"crontab.json", "crontab.lock"}) {
        SCOPED_TRACE(name);
        test_dir dir;
        target t;
        fs::create_symlink(t.path, dir.file(name));
        EXPECT_EQ(crontab_create(dir.c_str()), nullptr);
        EXPECT_TRUE(contains(crontab_last_error(), std::string(name) + " is a symbolic link"))
            << crontab_last_error();
        EXPECT_TRUE(t.untouched());
        // A dangling link creates nothing where it points.
        fs::remove(t.path);
        EXPECT_EQ(crontab_create(dir.c_str()), nullptr);
        EXPECT_FALSE(fs::exists(t.path));
    }
    // The backup name: the save that would copy the store there is refused.
    {
        test_dir dir;
        target t;
        write_partial_store(dir);
        fs::create_symlink(t.path, dir.file("crontab.json.bak"));
        crontab_t* ct = crontab_create(dir.c_str());
        ASSERT_NE(ct, nullptr) << crontab_last_error();
        EXPECT_EQ(crontab_add_job(ct, "c", "@daily", "true", 1), CRONTAB_ERROR_STORE);
        EXPECT_TRUE(contains(crontab_last_error(), "crontab.json.bak is a symbolic link"))
            << crontab_last_error();
        crontab_destroy(ct);
        EXPECT_TRUE(t.untouched());
    }
    // Temporary names: a stale one is removed as a name, the target stays;
    // one at this process's next names makes the save fail, not follow it.
    {
        test_dir dir;
        target t;
        fs::create_symlink(t.path, dir.file("crontab.json.tmp.999999999.0"));
        const std::string mine = dir.file("crontab.json.tmp." + std::to_string(::getpid()) + ".");
        for (int serial = 0; serial < 4096; ++serial)
            fs::create_symlink(t.path, mine + std::to_string(serial));
        crontab_t* ct = crontab_create(dir.c_str());
        ASSERT_NE(ct, nullptr) << crontab_last_error();
        EXPECT_FALSE(fs::is_symlink(dir.file("crontab.json.tmp.999999999.0")));
        EXPECT_EQ(crontab_add_job(ct, "c", "@daily", "true", 1), CRONTAB_ERROR_STORE);
        crontab_destroy(ct);
        EXPECT_TRUE(t.untouched());
    }
}

TEST(DataDir, FifosAtTheStoreAndTheBackupAreRefusedAtOnce) {
    deadline guard(60);
    {
        test_dir dir;
        ASSERT_EQ(::mkfifo(dir.store().c_str(), 0600), 0);
        EXPECT_EQ(crontab_create(dir.c_str()), nullptr);
        EXPECT_TRUE(contains(crontab_last_error(), "crontab.json is a FIFO")) << crontab_last_error();
    }
    {
        test_dir dir;
        write_partial_store(dir);
        ASSERT_EQ(::mkfifo(dir.file("crontab.json.bak").c_str(), 0600), 0);
        crontab_t* ct = crontab_create(dir.c_str());
        ASSERT_NE(ct, nullptr) << crontab_last_error();
        EXPECT_EQ(crontab_add_job(ct, "c", "@daily", "true", 1), CRONTAB_ERROR_STORE);
        EXPECT_TRUE(contains(crontab_last_error(), "crontab.json.bak is a FIFO")) << crontab_last_error();
        // The instance still answers: nothing waits inside its lock.
        EXPECT_TRUE(contains(crontab_get_jobs_json(ct), "\"name\":\"a\"")) << crontab_get_jobs_json(ct);
        crontab_destroy(ct);
    }
}

// A user of its own for the test, removed at the end.
struct other_user {
    std::string name = "qc-trust-" + std::to_string(::getpid());
    uid_t uid = 0;
    bool made = false;
    other_user() {
        if (std::system(("useradd --system --no-create-home " + name + " 2>/dev/null").c_str()) != 0) return;
        const passwd* pw = ::getpwnam(name.c_str());
        made = pw != nullptr;
        if (made) uid = pw->pw_uid;
    }
    ~other_user() {
        if (made) [[maybe_unused]]
            int rc = std::system(("userdel " + name).c_str());
    }
};

TEST(DataDir, SomebodyElsesOrAGroupWritableDirectoryIsRefused) {
    {
        test_dir dir;
        fs::permissions(dir.str(), fs::perms(0770));
        EXPECT_EQ(crontab_create(dir.c_str()), nullptr);
        EXPECT_TRUE(
            contains(crontab_last_error(), dir.str() + " is writable by its group or others (mode 0770"))
            << crontab_last_error();
    }
    if (::geteuid() != 0) GTEST_SKIP() << "the foreign owner needs root to set up";
    other_user user;
    ASSERT_TRUE(user.made) << "useradd failed";
    const std::string whose =
        "owned by uid " + std::to_string(user.uid) + " (" + user.name + ") with mode 0700";
    {
        test_dir dir;
        fs::permissions(dir.str(), fs::perms(0700));
        ASSERT_EQ(::chown(dir.c_str(), user.uid, user.uid), 0);
        EXPECT_EQ(crontab_create(dir.c_str()), nullptr);
        EXPECT_TRUE(contains(crontab_last_error(), "data directory " + dir.str() + " is " + whose))
            << crontab_last_error();
        EXPECT_FALSE(fs::exists(dir.file("crontab.lock")));
    }
    {
        // The store of another user in one's own directory.
        test_dir dir;
        write_file(dir.store(), R"({"next_id": 1, "jobs": []})");
        fs::permissions(dir.store(), fs::perms(0700));
        ASSERT_EQ(::chown(dir.store().c_str(), user.uid, user.uid), 0);
        EXPECT_EQ(crontab_create(dir.c_str()), nullptr);
        EXPECT_TRUE(contains(crontab_last_error(), "crontab.json is " + whose)) << crontab_last_error();
    }
}

TEST(DataDir, WhatTheLibraryCreatesIsItsOwnersAloneAndExposureIsReported) {
    const mode_t old_mask = ::umask(0);
    {
        test_dir dir;
        const std::string data = dir.file("parent/data");
        crontab_t* ct = crontab_create(data.c_str());
        ASSERT_NE(ct, nullptr) << crontab_last_error();
        EXPECT_STREQ(crontab_last_error(), "");
        ASSERT_GT(crontab_add_job(ct, "a", "@daily", "true", 1), 0);
        crontab_destroy(ct);
        EXPECT_EQ(mode_of(dir.file("parent")), 0755);
        EXPECT_EQ(mode_of(data), 0700);
        EXPECT_EQ(mode_of(data + "/crontab.json"), 0600);
        EXPECT_EQ(mode_of(data + "/crontab.lock"), 0600);
        // Reopened as it is: nothing to warn about.
        ct = crontab_create(data.c_str());
        ASSERT_NE(ct, nullptr) << crontab_last_error();
        EXPECT_STREQ(crontab_last_error(), "");
        crontab_destroy(ct);
    }
    {
        // The backup of a partly loaded store, in a directory others may read.
        test_dir dir;
        write_partial_store(dir);
        fs::permissions(dir.str(), fs::perms(0755));
        fs::permissions(dir.store(), fs::perms(0644));
        crontab_t* ct = crontab_create(dir.c_str());
        ASSERT_NE(ct, nullptr) << crontab_last_error();
        EXPECT_TRUE(contains(crontab_last_error(), "warning: data directory " + dir.str() +
                                                       " is readable by others: the directory (mode 0755), "
                                                       "crontab.json (mode 0644)"))
            << crontab_last_error();
        ASSERT_GT(crontab_add_job(ct, "c", "@daily", "true", 1), 0);
        crontab_destroy(ct);
        EXPECT_EQ(mode_of(dir.file("crontab.json.bak")), 0600);
        EXPECT_EQ(mode_of(dir.store()), 0600);
    }
    ::umask(old_mask);
}

}  // namespace
