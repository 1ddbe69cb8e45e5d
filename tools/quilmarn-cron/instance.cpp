#include "instance.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

#include "dir_files.h"

namespace {

const char STORE[] = "crontab.json";
constexpr size_t STORE_MAX = 8u << 20;  // the library's bound on a store

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
    // Read as every file of the directory is: no link, no FIFO, bounded.
    unique_fd from = cron_dir_open(dir), to = cron_dir_open(tmpl);
    std::string text;
    int rc = from && to ? cron_dir_read(from.get(), STORE, STORE_MAX, &text) : errno;
    if (rc == 0) rc = cron_dir_create(to.get(), STORE, text);
    crontab_t* ct = rc == 0 || rc == ENOENT ? crontab_create(tmpl.c_str()) : nullptr;
    if (rc != 0 && rc != ENOENT) {
        std::fprintf(err, "quilmarn-cron: cannot read the jobs: %s\n",
                     cron_dir_error(dir, STORE, rc).c_str());
    } else if (ct == nullptr) {
        std::fprintf(err, "quilmarn-cron: cannot read %s\n", dir);
    }
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

namespace {

constexpr auto OWNER_WAIT = std::chrono::seconds(5);  // for another command to leave the directory

lock_role role_of(dir_access access) {
    switch (access) {
        case dir_access::run: return lock_role::run;
        case dir_access::daemon: return lock_role::daemon;
        default: return lock_role::edit;
    }
}

const char* doing(lock_role role) {
    switch (role) {
        case lock_role::run: return "runs a job there";
        case lock_role::daemon: return "is its daemon";
        default: return "changes its jobs";
    }
}

}  // namespace

open_instance::open_instance(const char* dir, dir_access access, FILE* err, bool to_daemon) {
    if (dir == nullptr) {
        std::fprintf(err, "quilmarn-cron: this command needs --dir DIR\n");
        return;
    }
    struct stat st {};
    if (::lstat(dir_lock_path(dir).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::fprintf(err, "quilmarn-cron: refusing %s: it is a symbolic link\n", dir_lock_path(dir).c_str());
        return;
    }
    // The library's lock keeps a second owner out; another command soon
    // leaves, so it is waited for a little, then named.
    const auto until = std::chrono::steady_clock::now() + OWNER_WAIT;
    for (;;) {
        ct = crontab_create(dir);
        if (ct != nullptr) {
            // A directory others can read opens with a warning: say it, once per command.
            if (const char* warning = crontab_last_error(); *warning != '\0')
                std::fprintf(err, "quilmarn-cron: %s\n", warning);
            // The lock is ours, so every writer of the tool's temporaries is
            // gone: what a killed one left goes.
            if (unique_fd dirfd = cron_dir_open(dir); dirfd) cron_dir_remove_stale(dirfd.get());
            cron_owner_note(dir, role_of(access));
            return;
        }
        const std::string why = crontab_last_error();
        if (crontab_last_error_code() != CRONTAB_E_DIR_IN_USE) {
            std::fprintf(err, "quilmarn-cron: cannot open %s: %s\n", dir, why.c_str());
            return;
        }
        // 0: an owner that has not named itself yet, starting: waited for.
        const long owner = static_cast<long>(crontab_last_error_value());
        lock_role role = lock_role::edit;
        const bool known = owner != 0 && cron_owner_role(dir, owner, &role);
        if (access == dir_access::read && known && role != lock_role::edit) {
            // A daemon or a run never changes the jobs it loaded: a read
            // looks at a copy of the store.
            ct = open_snapshot(dir, &snapshot, err);
            return;
        }
        if (known && role == lock_role::daemon) {
            char text[512];
            std::snprintf(text, sizeof text, "a daemon (pid %ld) %s the jobs in %s", owner,
                          access == dir_access::daemon ? "already runs" : "runs", dir);
            if (to_daemon) {
                daemon_refusal = text;
            } else {
                std::fprintf(err, "quilmarn-cron: %s\n", text);
            }
            return;
        }
        // A run serves the socket too, while it lasts: the command goes there.
        if (known && role == lock_role::run && to_daemon) {
            daemon_refusal = why + "; it runs a job there and does not answer on its socket";
            return;
        }
        if (std::chrono::steady_clock::now() > until) {
            std::fprintf(err, "quilmarn-cron: %s%s%s\n", why.c_str(), known ? "; it " : "",
                         known ? doing(role) : "");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
