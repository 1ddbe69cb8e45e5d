// Reloading the job store: the table takes what crontab.json holds now, job
// by job and by id, and every job that stays keeps its run state.
#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "quilmarn_crontab.h"
#include "proc/cron_os.h"
#include "sched/cron_error.h"
#include "sched/cron_jobs_admin.h"
#include "sched/cron_store.h"

namespace {

// A bare table to parse the file into: only its slots and next_id are used.
// Mapped zero-filled, so the pages of its run records are never touched.
struct table_deleter {
    void operator()(crontab_t* t) const {
        t->~crontab_t();
        cron_os_free_zeroed(t, sizeof *t);
    }
};
using table_ptr = std::unique_ptr<crontab_t, table_deleter>;

bool refuse(int kind, const std::string& why) {
    return cron_error_fail_code(false, kind, "the jobs were not reloaded: %s", why.c_str());
}

// The store's text as it is on disk, through the same trusted open as the
// load at create. False with the reason set.
bool read_text(const crontab_t* ct, std::string* text) {
    cron_os_dir_t dir;
    std::string why;
    if (!cron_os_dir_open(ct->data_dir, &dir, &why, nullptr)) return refuse(CRONTAB_E_DIR_UNUSABLE, why);
    switch (cron_store_read(dir, text)) {
        case cron_os_read_status::ok: return true;
        case cron_os_read_status::missing:
            return refuse(CRONTAB_E_STORE_UNREADABLE,
                          std::string(ct->data_dir) + "/crontab.json does not exist");
        case cron_os_read_status::failed: break;
    }
    return refuse(CRONTAB_E_STORE_UNREADABLE, cron_error_text());
}

// Parses the text into a new table whose ids start at `next_id`. A text the
// load would take only in part is refused whole: the table must stay equal
// to the file, and no job of the file may be dropped or changed unseen.
bool parse(const std::string& text, int32_t next_id, table_ptr* table) {
    void* mem = cron_os_alloc_zeroed(sizeof(crontab_t));
    if (mem == nullptr) throw std::bad_alloc();
    table->reset(new (mem) crontab_t);
    (*table)->next_id = next_id;
    std::string unreadable, lost;
    const bool whole = cron_store_parse(table->get(), text, cron_os_now(), &unreadable, &lost);
    if (!unreadable.empty()) return refuse(CRONTAB_E_STORE_UNREADABLE, unreadable);
    if (!whole) return refuse(CRONTAB_E_STORE_UNREADABLE, lost);
    return true;
}

const cron_job_t* find(const crontab_t& table, int32_t id) {
    for (const cron_job_t& job : table.jobs) {
        if (job.in_use && job.id == id) return &job;
    }
    return nullptr;
}

cron_job_t* free_slot(crontab_t* ct) {
    for (cron_job_t& job : ct->jobs) {
        if (!job.in_use) return &job;
    }
    return nullptr;
}

bool same_definition(const cron_job_t& a, const cron_job_t& b) {
    std::string x, y;
    return cron_store_format_job(a, &x) && cron_store_format_job(b, &y) && x == y;
}

// Executions of job `id` still going. A job that comes back under the id of
// a removed one whose run goes on counts that run: it ends in this job, and
// the overlap policy must see it.
int32_t runs_of(const crontab_t* ct, int32_t id) {
    int32_t n = 0;
    for (const cron_run_ctl_t* ctl : ct->shared->active) n += ctl->job_id == id ? 1 : 0;
    return n;
}

void tell(crontab_t* ct, const cron_job_t* job, cron_event_kind kind) {
    cron_event_t* ev = cron_event_push(ct, kind, job);
    ev->flag = 1;
    if (kind == cron_event_kind::changed) ev->detail = CRON_CHANGE_RELOAD;
}

// Applies the difference; the lock is held. Removals go first, so the slots
// they free take the jobs the file adds (the file holds at most 128).
void apply(crontab_t* ct, const crontab_t& disk) {
    int32_t added = 0, changed = 0, removed = 0, kept = 0;
    for (cron_job_t& job : ct->jobs) {
        if (!job.in_use || find(disk, job.id) != nullptr) continue;
        tell(ct, &job, cron_event_kind::removed);
        // A run of the job still going finds no job when it next looks and
        // releases its own counts, as after crontab_delete_job.
        cron_job_clear(&job);
        ++removed;
    }
    for (const cron_job_t& d : disk.jobs) {
        if (!d.in_use) continue;
        cron_job_t* job = cron_job_find(ct, d.id);
        if (job == nullptr) {
            job = free_slot(ct);
            if (job == nullptr) break;
            cron_job_clear(job);
            static_cast<cron_job_def_t&>(*job) = d;
            job->id = d.id;
            job->in_use = 1;
            job->running_count = runs_of(ct, d.id);
            tell(ct, job, cron_event_kind::added);
            ++added;
        } else if (same_definition(*job, d)) {
            ++kept;
        } else {
            // As crontab_update_job: records, counts, stamps and statistics
            // stay, a run going on goes on, the next fire time is the file's
            // (computed from now); a waiting run stays unless the policy is
            // now SKIP, and a waiting jitter delay is drawn again.
            const int32_t queued = job->queued;
            static_cast<cron_job_def_t&>(*job) = d;
            job->queued = d.overlap_policy == CRON_OVERLAP_SKIP ? 0 : queued;
            job->jitter_for = 0;
            tell(ct, job, cron_event_kind::changed);
            ++changed;
        }
    }
    // Ids never go back, whatever the file says.
    ct->next_id = std::max(ct->next_id, disk.next_id);
    cron_event_t* ev = cron_event_push(ct, cron_event_kind::reloaded, nullptr);
    ev->reload_counts[0] = added;
    ev->reload_counts[1] = changed;
    ev->reload_counts[2] = removed;
    ev->reload_counts[3] = kept;
}

}  // namespace

int cron_jobs_reload(crontab_t* ct) {
    if (ct == nullptr) return cron_error_no_instance();
    if (ct->data_dir[0] == '\0')
        return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_BAD_STATE,
                                    "the instance has no data directory, so no job store to reload");
    cron_shared_t& sh = *ct->shared;
    int32_t next_id;
    {
        std::lock_guard<std::mutex> lk(sh.lock);
        next_id = ct->next_id;
    }
    // Read and parsed without the lock: a job's user is looked up in the
    // account database, which may be a slow service.
    std::string text;
    table_ptr disk;
    if (!read_text(ct, &text) || !parse(text, next_id, &disk)) return CRONTAB_ERROR;
    std::lock_guard<std::mutex> lk(sh.lock);
    // A job export may have saved or used an id meanwhile: what the file
    // holds now decides.
    std::string current;
    if (!read_text(ct, &current)) return CRONTAB_ERROR;
    if (current != text || ct->next_id != next_id) {
        text = std::move(current);
        if (!parse(text, ct->next_id, &disk)) return CRONTAB_ERROR;
    }
    apply(ct, *disk);
    // Nothing is saved: the file holds the jobs already. The next save
    // compares with its text, and no backup is due for a file taken whole.
    sh.last_saved = std::move(text);
    sh.keep_backup = false;
    return CRONTAB_OK;
}
