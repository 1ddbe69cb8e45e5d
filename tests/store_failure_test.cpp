// Saves that really fail: a data directory that became a file, a read-only
// mount, a file system that is full. Each failing export returns -3, names
// the cause, and leaves the job list equal to the file on disk.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "job_definitions.h"
#include "quilmarn_crontab.h"
#include "test_dir.h"

namespace {

std::string listed(crontab_t* ct) {
    rapidjson::Document d;
    d.Parse(crontab_get_jobs_json(ct));
    return job_definitions(d);
}

std::string stored(const std::string& path) {
    rapidjson::Document file;
    file.Parse(read_file(path).c_str());
    if (!file.IsObject() || !file.HasMember("jobs")) return "unreadable";
    rapidjson::Document jobs;
    jobs.CopyFrom(file["jobs"], jobs.GetAllocator());
    return job_definitions(jobs);
}

// One of each export against a store that cannot be written: every one -3
// with the reason, the table as before, the file as before.
void expect_every_change_undone(crontab_t* ct, const std::string& store, int id, const char* cause) {
    const std::string table = listed(ct);
    ASSERT_EQ(stored(store), table);
    const std::string reason = std::string("the job store could not be saved: ") + cause;
    const std::string long_cmd(1000, 'x');
    int results[] = {
        crontab_add_job(ct, "new", "@daily", long_cmd.c_str(), 1),
        crontab_update_job(ct, id, "renamed", "@hourly", long_cmd.c_str(), 0),
        crontab_set_job_timeout(ct, id, 99),
        crontab_set_job_paths(ct, id, "/", "A=1"),
        crontab_set_job_overlap_policy(ct, id, CRONTAB_OVERLAP_ALLOW),
        crontab_set_job_retry(ct, id, 3, 5),
        crontab_delete_job(ct, id),
    };
    for (int r : results) EXPECT_EQ(r, CRONTAB_ERROR_STORE);
    EXPECT_EQ(crontab_last_error(), reason);
    EXPECT_EQ(listed(ct), table);
    EXPECT_EQ(stored(store), table);
}

// A mount of our own over `path`, undone at the end; skipped where mounting
// is not permitted.
struct mount_point {
    std::string path;
    bool mounted = false;
    ~mount_point() {
        if (mounted) ::umount2(path.c_str(), MNT_DETACH);
    }
};

}  // namespace

TEST(StoreFailure, DataDirectoryBecameAFile) {
    test_dir parent;
    const std::string dir = parent.file("data");
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_NE(ct, nullptr);
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "true", 1), 1);
    std::filesystem::remove_all(dir);
    write_file(dir, "a file now");
    const std::string table = listed(ct);
    EXPECT_EQ(crontab_set_job_timeout(ct, 1, 5), CRONTAB_ERROR_STORE);
    EXPECT_EQ(crontab_last_error(), "the job store could not be saved: data directory " + dir +
                                        " cannot be opened: Not a directory");
    EXPECT_EQ(listed(ct), table);
    // The id of a failed add stays used: the next add gets a new one.
    EXPECT_EQ(crontab_add_job(ct, "b", "@daily", "true", 1), CRONTAB_ERROR_STORE);
    std::filesystem::remove(dir);
    std::filesystem::create_directory(dir);
    EXPECT_EQ(crontab_add_job(ct, "c", "@daily", "true", 1), 3);
    EXPECT_EQ(stored(dir + "/crontab.json"), listed(ct));
    crontab_destroy(ct);
}

TEST(StoreFailure, ReadOnlyDirectory) {
    test_dir dir;
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_NE(ct, nullptr);
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "true", 1), 1);
    // Mode bits do not stop root; a read-only bind mount stops anyone.
    mount_point ro{dir.str()};
    if (::geteuid() == 0) {
        if (::mount(ro.path.c_str(), ro.path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            crontab_destroy(ct);
            GTEST_SKIP() << "mount not permitted: " << std::strerror(errno);
        }
        ro.mounted = true;
        ASSERT_EQ(::mount(nullptr, ro.path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
        expect_every_change_undone(ct, dir.store(), 1, "Read-only file system");
    } else {
        ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
        expect_every_change_undone(ct, dir.store(), 1, "Permission denied");
        ::chmod(dir.c_str(), 0755);
    }
    crontab_destroy(ct);
    // Nor does create take a directory it cannot write to.
    if (ro.mounted) {
        EXPECT_EQ(crontab_create(dir.c_str()), nullptr);
        EXPECT_EQ(crontab_last_error(),
                  "data directory " + dir.str() + " cannot be written: Read-only file system");
    }
}

TEST(StoreFailure, FullFileSystem) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
    test_dir dir;
    mount_point tiny{dir.str()};
    if (::mount("qc-tiny", tiny.path.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0)
        GTEST_SKIP() << "mount not permitted: " << std::strerror(errno);
    tiny.mounted = true;
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_NE(ct, nullptr);
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "true", 1), 1);
    // Fill what is left.
    FILE* filler = std::fopen(dir.file("filler").c_str(), "wb");
    ASSERT_NE(filler, nullptr);
    const std::string block(4096, 'f');
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() && std::fflush(filler) == 0) {
    }
    std::fclose(filler);
    expect_every_change_undone(ct, dir.store(), 1, "No space left on device");
    // Room again: the next change is saved.
    std::filesystem::remove(dir.file("filler"));
    EXPECT_EQ(crontab_set_job_timeout(ct, 1, 7), 0);
    EXPECT_EQ(stored(dir.store()), listed(ct));
    crontab_destroy(ct);
}

// Directories no save could ever write to are refused at create.
TEST(StoreFailure, CreateRefusesDirectoriesNoSaveCouldWrite) {
    test_dir dir;
    std::filesystem::create_directory(dir.file("crontab.json"));
    write_file(dir.file("file"), "x");
    struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {dir.str(), dir.store() + " is a directory"},
        {dir.file("file/sub"),
         "data directory " + dir.file("file/sub") + " could not be created: Not a directory"},
        {dir.file(std::string(256, 'n')),
         "data directory " + dir.file(std::string(256, 'n')) + " could not be created: File name too long"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(crontab_create(c.path.c_str()), nullptr) << c.reason;
        EXPECT_EQ(crontab_last_error(), c.reason);
    }
}
