#include "instance.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

namespace {

// The library lets one instance own a data directory: the process that runs
// its jobs. An instance on a private copy of its store reads the same jobs.
crontab_t* open_snapshot(const char* dir, std::string* snapshot, FILE* err) {
    namespace fs = std::filesystem;
    std::string tmpl = (fs::temp_directory_path() / "quilmarn-cron-read-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
        std::fprintf(err, "quilmarn-cron: cannot read %s: no temporary directory\n", dir);
        return nullptr;
    }
    *snapshot = tmpl;
    std::error_code ec;
    const fs::path store = fs::path(dir) / "crontab.json";
    if (fs::exists(store, ec)) fs::copy_file(store, fs::path(tmpl) / "crontab.json", ec);
    crontab_t* ct = ec ? nullptr : crontab_create(tmpl.c_str());
    if (ct == nullptr) std::fprintf(err, "quilmarn-cron: cannot read %s\n", dir);
    return ct;
}

}  // namespace

open_instance::~open_instance() {
    crontab_destroy(ct);
    if (!snapshot.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(snapshot, ec);
    }
}

open_instance::open_instance(const char* dir, dir_access access, FILE* err) {
    if (dir == nullptr) {
        std::fprintf(err, "quilmarn-cron: this command needs --dir DIR\n");
        return;
    }
    struct stat st {};
    if (::lstat(dir_lock_path(dir).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::fprintf(err, "quilmarn-cron: refusing %s: it is a symbolic link\n", dir_lock_path(dir).c_str());
        return;
    }
    long daemon = 0;
    lock_role held_as = lock_role::edit;
    bool locked = false;
    switch (access) {
        case dir_access::read:
            // Beside a daemon or a run, which never change the jobs they
            // loaded, a read looks at a copy of the store; only a change is
            // waited for.
            while (!(locked = lock.try_acquire(dir, lock_role::edit, &daemon, &held_as)) &&
                   held_as == lock_role::edit) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            if (!locked) {
                ct = open_snapshot(dir, &snapshot, err);
                return;
            }
            break;
        case dir_access::change:
            locked = lock.acquire(dir, lock_role::edit, &daemon);
            if (!locked) {
                std::fprintf(err,
                             "quilmarn-cron: a daemon (pid %ld) runs the jobs in %s and would "
                             "overwrite this change at its next save; stop it first\n",
                             daemon, dir);
            }
            break;
        case dir_access::run:
            locked = lock.acquire(dir, lock_role::run, &daemon);
            if (!locked) {
                std::fprintf(err, "quilmarn-cron: a daemon (pid %ld) runs the jobs in %s; stop it first\n",
                             daemon, dir);
            }
            break;
        case dir_access::daemon:
            locked = lock.acquire(dir, lock_role::daemon, &daemon);
            if (!locked) {
                std::fprintf(err, "quilmarn-cron: a daemon (pid %ld) already runs the jobs in %s\n",
                             daemon, dir);
            }
            break;
    }
    if (!locked) return;
    ct = crontab_create(dir);
    if (ct == nullptr) std::fprintf(err, "quilmarn-cron: cannot open %s\n", dir);
}
