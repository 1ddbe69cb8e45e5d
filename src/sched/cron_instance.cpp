#include "sched/cron_instance.h"

#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "quilmarn_crontab.h"
#include "proc/cron_os.h"
#include "sched/cron_error.h"
#include "sched/cron_exec.h"
#include "sched/cron_scheduler.h"
#include "sched/cron_store.h"

namespace {

// One instance per data directory: two would hand out the same ids and
// overwrite each other's saves. Beside the store, so it names the directory
// whatever path leads there.
constexpr char LOCK_FILE[] = "crontab.lock";

bool lock_dir(crontab_t* ct, const cron_os_dir_t& dir) {
    int64_t holder = 0;
    std::string why;
    switch (cron_os_lock_at(dir, LOCK_FILE, &ct->shared->dir_lock, &holder, &why)) {
        case cron_os_lock_status::taken: return true;
        case cron_os_lock_status::held:
            if (holder > 0)
                cron_error_set_code(CRONTAB_E_DIR_IN_USE, "data directory %s is in use by process %lld",
                                    ct->data_dir, static_cast<long long>(holder));
            else
                cron_error_set_code(CRONTAB_E_DIR_IN_USE, "data directory %s is in use by another instance",
                                    ct->data_dir);
            cron_error_set_value(holder);
            return false;
        case cron_os_lock_status::failed: break;
    }
    cron_error_set("data directory %s cannot be locked: %s", ct->data_dir, why.c_str());
    return false;
}

void release(crontab_t* ct) {
    if (ct->shared != nullptr) cron_os_unlock_file(ct->shared->dir_lock);
    delete ct->shared;
    ct->~crontab_t();
    cron_os_free_zeroed(ct, sizeof *ct);
}

}  // namespace

namespace {

// The data directory as the instance keeps it: absolute, so a later chdir of
// the host changes nothing, and created with its parents. False with the
// reason in the error text.
bool prepare_dir(const char* data_dir, std::string* out) {
    if (std::strlen(data_dir) >= CRON_DATA_DIR_SIZE) {
        cron_error_set("data directory is %zu bytes long; at most %zu fit", std::strlen(data_dir),
                       CRON_DATA_DIR_SIZE - 1);
        return false;
    }
    // A name the platform can only take altered would name another directory.
    if (!cron_os_path_valid(data_dir)) {
        cron_error_set("data directory is not valid UTF-8");
        return false;
    }
    if (!cron_os_absolute(data_dir, out)) {
        cron_error_set("data directory %s cannot be made absolute: %s", data_dir,
                       cron_os_error_text().c_str());
        return false;
    }
    // A longer path cut to the field would name another directory.
    if (out->size() >= CRON_DATA_DIR_SIZE) {
        cron_error_set("data directory %s is %zu bytes long as an absolute path; at most %zu fit", data_dir,
                       out->size(), CRON_DATA_DIR_SIZE - 1);
        return false;
    }
    cron_os_mkdirs(out->c_str());
    const std::string why = cron_os_error_text();
    if (!cron_os_is_dir(out->c_str())) {
        if (cron_os_file_exists(out->c_str())) {
            cron_error_set("data directory %s is not a directory", out->c_str());
        } else {
            cron_error_set("data directory %s could not be created: %s", out->c_str(), why.c_str());
        }
        return false;
    }
    if (!cron_os_dir_writable(out->c_str())) {
        cron_error_set("data directory %s cannot be written: %s", out->c_str(), cron_os_error_text().c_str());
        return false;
    }
    return true;
}

}  // namespace

crontab_t* cron_instance_create(const char* data_dir) {
    std::string dir;
    if (data_dir != nullptr && *data_dir != '\0' && !prepare_dir(data_dir, &dir)) {
        cron_error_refine(CRONTAB_E_DIR_UNUSABLE);
        return nullptr;
    }
    void* mem = cron_os_alloc_zeroed(sizeof(crontab_t));
    if (mem == nullptr) {
        cron_error_set_code(CRONTAB_E_NO_MEMORY, "out of memory: an instance needs %zu bytes",
                            sizeof(crontab_t));
        return nullptr;
    }
    // Default-initialisation constructs the atomics and leaves the arrays as
    // the mapping gave them: zero and untouched. `crontab_t()` would clear
    // all 21 MB by hand.
    crontab_t* ct = new (mem) crontab_t;
    try {
        ct->shared = new cron_shared_t;
        ct->next_id = 1;
        // Fire times are computed from here on: a later step of the wall
        // clock is measured from this moment.
        ct->shared->clock_offset_ms = cron_os_now_ms() - cron_os_monotonic_ms();
        ct->feed.created_ms = cron_os_now_ms();
        std::memcpy(ct->data_dir, dir.c_str(), dir.size() + 1);
        // The directory is checked and its files reached through one open
        // of it; each save opens it afresh (see cron_persist_save).
        cron_os_dir_t opened;
        std::vector<std::string> exposed;
        std::string why;
        if (!dir.empty() && !cron_os_dir_open(ct->data_dir, &opened, &why, &exposed)) {
            cron_error_set_code(CRONTAB_E_DIR_UNUSABLE, "%s", why.c_str());
            release(ct);
            return nullptr;
        }
        if (!dir.empty() && !lock_dir(ct, opened)) {
            cron_error_refine(CRONTAB_E_DIR_UNUSABLE);
            release(ct);
            return nullptr;
        }
        if (!cron_persist_load(ct, opened, &exposed)) {
            cron_error_refine(CRONTAB_E_STORE_UNREADABLE);
            release(ct);
            return nullptr;
        }
        // What the load left out is kept in the file; creating succeeded.
        cron_error_clear();
        if (!exposed.empty()) {
            std::string list;
            for (const std::string& item : exposed) list += (list.empty() ? "" : ", ") + item;
            // A warning, not a failure: the code stays "none".
            cron_error_set_code(CRONTAB_E_NONE,
                                "warning: data directory %s is readable by others: %s; only its owner should "
                                "read it (chmod 700 the directory, 600 its files)",
                                ct->data_dir, list.c_str());
        }
    } catch (...) {
        release(ct);
        cron_error_set_code(CRONTAB_E_NO_MEMORY, "out of memory");
        return nullptr;
    }
    return ct;
}

void cron_instance_destroy(crontab_t* ct) {
    if (ct == nullptr) return;
    cron_scheduler_stop(ct);
    cron_shared_t& sh = *ct->shared;
    {
        std::unique_lock<std::mutex> lk(sh.lock);
        sh.destroying = true;
        sh.idle.wait_for(lk, sh.runs_grace, [&] { return ct->active_runs <= 0; });
        // Workers hold pointers into the instance and its lock: nothing is
        // released before the last of them has left.
        cron_exec_shutdown(ct);
        sh.idle.wait(lk, [&] { return sh.live_execs <= 0; });
        // Nothing to save: every job export saved its own change.
    }
    release(ct);
}
