#include "logs_view.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <vector>

#include "dir_files.h"
#include "job_list.h"
#include "run_log.h"

namespace {

const char kStore[] = "crontab.json";  // a change to it may rename jobs

using by_job = std::map<int, std::vector<run_record>>;  // oldest first

struct logged {
    int job_id;
    const run_record* record;
};

// Job names by id; empty when the store cannot be read.
std::map<int, std::string> store_names(const std::string& dir) {
    std::vector<std::pair<int, std::string>> jobs;
    runs_job_names(dir, &jobs);
    return {jobs.begin(), jobs.end()};
}

int64_t ended_ms(const run_record& r) { return r.finished_ms != 0 ? r.finished_ms : r.finished_at * 1000; }

// The newest `count` records, newest first. Each job's file order is kept;
// between jobs the later end goes first (to the millisecond where the
// record has it), then the later execution, then the higher id, so that
// the order never depends on how the files were listed.
std::vector<logged> newest(const by_job& all, size_t count) {
    std::vector<std::pair<int, const std::vector<run_record>*>> jobs;
    std::vector<size_t> left;  // records not yet taken of each job, newest last
    for (const auto& [id, records] : all) {
        jobs.emplace_back(id, &records);
        // As `logs JOB`: the records a job keeps, not the longer file.
        left.push_back(records.size());
    }
    std::vector<size_t> floor(jobs.size());
    for (size_t k = 0; k < jobs.size(); ++k) {
        floor[k] = left[k] > CRONTAB_LOG_CAPACITY ? left[k] - CRONTAB_LOG_CAPACITY : 0;
    }
    std::vector<logged> out;
    while (out.size() < count) {
        size_t best = jobs.size();
        for (size_t k = 0; k < jobs.size(); ++k) {
            if (left[k] == floor[k]) continue;
            if (best == jobs.size()) {
                best = k;
                continue;
            }
            const run_record &a = (*jobs[k].second)[left[k] - 1], &b = (*jobs[best].second)[left[best] - 1];
            if (std::make_tuple(ended_ms(a), a.execution, jobs[k].first) >
                std::make_tuple(ended_ms(b), b.execution, jobs[best].first)) {
                best = k;
            }
        }
        if (best == jobs.size()) break;
        out.push_back({jobs[best].first, &(*jobs[best].second)[--left[best]]});
    }
    return out;
}

std::string json_of(int id, const std::string& name, const run_record& r) {
    return runs_record_json(id, &name, r);
}

class printer {
public:
    printer(FILE* out, const std::string& dir, bool json) : out_(out), dir_(dir), json_(json) {}

    // One record as a log line (or a JSON line); false when `out` fails.
    bool print(int id, const run_record& r) {
        const std::string& name = name_of(id);
        if (json_) {
            std::fprintf(out_, "%s\n", json_of(id, name, r).c_str());
        } else {
            std::fprintf(out_, "%s\n%s", record_line(name, r).c_str(), record_output(r).c_str());
        }
        return std::fflush(out_) == 0;
    }
    // The store changed: names are read again when next needed.
    void names_changed() { names_read_ = false; }
    const std::string& name_of(int id) {
        if (!names_read_ || (names_.count(id) == 0 && !tried_.count(id))) {
            names_ = store_names(dir_);
            names_read_ = true;
            tried_.insert(id);
        }
        auto it = names_.find(id);
        if (it == names_.end()) it = names_.emplace(id, "job " + std::to_string(id)).first;
        return it->second;
    }

private:
    FILE* out_;
    std::string dir_;
    bool json_;
    bool names_read_ = false;
    std::map<int, std::string> names_;
    std::set<int> tried_;  // ids looked up once in a fresh read
};

// ---- Following ----
// A record is appended to its job's file with one write; past twice the
// records kept, the file is replaced by its newest RUNS_KEPT (renamed over
// it). The follower holds each file open: what is appended is read from
// where it stopped, and a file renamed over it is read on from the records
// it kept of the one replaced, which was read to its end first. Positions,
// not contents, tell records apart: two may well be alike.

constexpr size_t kReadMax = 16u << 20;  // more than a job's file ever holds

// A record's content, to match the records a rewrite kept.
size_t digest_of(const run_record& r) { return std::hash<std::string>{}(json_of(0, "", r)); }

struct followed {
    unique_fd fd;   // the job's file as last opened; it may have been replaced
    dev_t dev = 0;  // and which file that is
    ino_t ino = 0;
    off_t offset = 0;             // read up to the end of its last whole line
    std::vector<size_t> records;  // the content read, oldest first (digests)
};

class follower {
public:
    follower(FILE* out, FILE* err, const std::string& dir, const logs_request& req)
        : err_(err), dir_(dir), req_(req), print_(out, dir, req.json), out_(out) {}

    int run();

private:
    bool wanted(int id) const { return id != 0 && (req_.job_id == 0 || id == req_.job_id); }
    // The records appended to `f` since it was last read (all at first).
    std::vector<run_record> read_more(followed& f, int id);
    // Opens job `id`'s file; 0 or an errno value (warned of once).
    int open_job(int dirfd, int id, followed* f);
    // Prints what job `id`'s file has that was not printed; false when
    // `out` fails.
    bool sync(int dirfd, int id);
    // Every job's file as it is, printed (the newest `count`) or not.
    void seed(int dirfd, by_job* all);
    bool print(int id, const run_record& r) { return print_.print(id, r); }

    FILE* err_;
    std::string dir_;
    logs_request req_;
    printer print_;
    FILE* out_;
    std::map<int, followed> jobs_;
    std::set<int> warned_;
};

std::vector<run_record> follower::read_more(followed& f, int id) {
    struct stat st {};
    if (::fstat(f.fd.get(), &st) != 0 || st.st_size <= f.offset) return {};
    const size_t size = static_cast<size_t>(st.st_size - f.offset);
    if (size > kReadMax) {  // never written by us: passed over
        f.offset = st.st_size;
        return {};
    }
    std::string text(size, '\0');
    const ssize_t n = ::pread(f.fd.get(), text.data(), size, f.offset);
    if (n <= 0) return {};
    text.resize(static_cast<size_t>(n));
    size_t used = 0;
    std::vector<run_record> records = runs_lines_parse(text, id, &used);
    f.offset += static_cast<off_t>(used);
    for (const run_record& r : records) f.records.push_back(digest_of(r));
    return records;
}

int follower::open_job(int dirfd, int id, followed* f) {
    struct stat st {};
    const std::string name = runs_file_name(id);
    const int rc = cron_dir_open_read(dirfd, name.c_str(), &f->fd, &st);
    if (rc == 0) {
        f->dev = st.st_dev;
        f->ino = st.st_ino;
    } else if (rc != ENOENT && warned_.insert(id).second) {
        std::fprintf(err_, "quilmarn-cron: warning: %s; not followed\n",
                     cron_dir_error(dir_, name.c_str(), rc).c_str());
    }
    return rc;
}

bool follower::sync(int dirfd, int id) {
    followed& was = jobs_[id];
    // Opened first: a file renamed over the one held was complete before,
    // so what is read of the one held next is all it will ever have.
    followed now;
    const int rc = open_job(dirfd, id, &now);
    if (was.fd) {
        for (const run_record& r : read_more(was, id)) {
            if (!print(id, r)) return false;
        }
    }
    if (rc == ENOENT) {
        jobs_.erase(id);  // a deleted job's, read to its end
        return true;
    }
    if (rc != 0 || (was.fd && now.dev == was.dev && now.ino == was.ino)) return true;
    // A file of the job's first records, or one that replaced the file read
    // to its end: that one's newest records were kept, and printed already.
    std::vector<run_record> records = read_more(now, id);
    // A new file is created before its first write: it is taken up then.
    if (!was.fd && now.offset == 0) return true;
    const size_t kept = std::min(RUNS_KEPT, was.records.size());
    size_t skip = 0;
    if (kept <= now.records.size() &&
        std::equal(now.records.begin(), now.records.begin() + static_cast<std::ptrdiff_t>(kept),
                   was.records.end() - static_cast<std::ptrdiff_t>(kept))) {
        skip = kept;
    } else {
        // Replaced more than once between two looks: the longest overlap.
        for (size_t k = std::min(was.records.size(), now.records.size()); k > 0 && skip == 0; --k) {
            if (std::equal(now.records.begin(), now.records.begin() + static_cast<std::ptrdiff_t>(k),
                           was.records.end() - static_cast<std::ptrdiff_t>(k)))
                skip = k;
        }
    }
    for (size_t i = skip; i < records.size(); ++i) {
        if (!print(id, records[i])) return false;
    }
    was = std::move(now);
    return true;
}

void follower::seed(int dirfd, by_job* all) {
    for (const int id : runs_file_ids(dirfd)) {
        if (!wanted(id)) continue;
        followed f;
        if (open_job(dirfd, id, &f) != 0) continue;
        (*all)[id] = read_more(f, id);
        jobs_[id] = std::move(f);
    }
    // Jobs not written since an earlier version: their records move to a
    // file of their own, which then starts with them.
    by_job old;
    runs_old_read(dirfd, &old);
    for (auto& [id, records] : old) {
        if (!wanted(id) || all->count(id) != 0) continue;
        for (const run_record& r : records) jobs_[id].records.push_back(digest_of(r));
        (*all)[id] = std::move(records);
    }
}

int follower::run() {
    unique_fd dirfd = cron_dir_open(dir_);
    if (!dirfd) {
        std::fprintf(err_, "quilmarn-cron: cannot open %s: %s\n", dir_.c_str(), std::strerror(errno));
        return 1;
    }
    // Watched before the first read: a record written meanwhile is either
    // read now or announced.
    unique_fd notes(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!notes || ::inotify_add_watch(notes.get(), dir_.c_str(),
                                      IN_CREATE | IN_MODIFY | IN_MOVED_TO | IN_DELETE | IN_DELETE_SELF |
                                          IN_MOVE_SELF | IN_ONLYDIR) < 0) {
        std::fprintf(err_, "quilmarn-cron: cannot watch %s: %s\n", dir_.c_str(), std::strerror(errno));
        return 1;
    }
    sigset_t sigs, was;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &sigs, &was);
    struct restore_mask {
        sigset_t set;
        ~restore_mask() { ::pthread_sigmask(SIG_SETMASK, &set, nullptr); }
    } restore{was};
    unique_fd sig_fd(::signalfd(-1, &sigs, SFD_CLOEXEC));
    if (!sig_fd) {
        std::fprintf(err_, "quilmarn-cron: %s\n", std::strerror(errno));
        return 1;
    }

    by_job all;
    seed(dirfd.get(), &all);
    const std::vector<logged> first = newest(all, req_.count);
    for (auto it = first.rbegin(); it != first.rend(); ++it) {
        if (!print(it->job_id, *it->record)) return 0;
    }

    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
        // The reader of our output going away ends us as a write would.
        pollfd fds[] = {{notes.get(), POLLIN, 0}, {sig_fd.get(), POLLIN, 0}, {::fileno(out_), 0, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(err_, "quilmarn-cron: %s\n", std::strerror(errno));
            return 1;
        }
        if (fds[1].revents != 0) {
            // Taken, so that it is not delivered once the mask is restored.
            signalfd_siginfo si{};
            return ::read(sig_fd.get(), &si, sizeof si) < 0 ? 1 : 0;
        }
        if ((fds[2].revents & (POLLERR | POLLHUP)) != 0) return 0;
        std::set<int> changed;
        bool overflow = false;
        for (;;) {
            const ssize_t n = ::read(notes.get(), buf, sizeof buf);
            if (n <= 0) break;
            for (char* p = buf; p < buf + n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(p);
                p += sizeof(inotify_event) + e->len;
                if ((e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                    std::fprintf(err_, "quilmarn-cron: %s was removed or moved; no more records\n",
                                 dir_.c_str());
                    return 1;
                }
                if ((e->mask & IN_Q_OVERFLOW) != 0) overflow = true;
                if (e->len == 0) continue;
                if (std::strcmp(e->name, kStore) == 0) print_.names_changed();
                if (const int id = runs_file_id(e->name); wanted(id)) changed.insert(id);
            }
        }
        // Notices were lost: every file is looked at.
        if (overflow) {
            for (const int id : runs_file_ids(dirfd.get())) {
                if (wanted(id)) changed.insert(id);
            }
            for (const auto& [id, f] : jobs_) changed.insert(id);
        }
        for (const int id : changed) {
            if (!sync(dirfd.get(), id)) return 0;
        }
    }
}

}  // namespace

int cron_logs_show(FILE* out, FILE* err, const std::string& dir, const logs_request& req) {
    if (req.follow) return follower(out, err, dir, req).run();
    if (!cron_dir_open(dir)) {
        std::fprintf(err, "quilmarn-cron: cannot open %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    by_job all;
    runs_files_read_all(err, dir, &all);
    if (req.job_id != 0) {
        for (auto it = all.begin(); it != all.end();)
            it = it->first == req.job_id ? std::next(it) : all.erase(it);
    }
    const std::vector<logged> shown = newest(all, req.count);
    printer print(out, dir, req.json);
    if (req.json) {
        std::string text = "[";
        for (const logged& l : shown) {
            text += (text.size() > 1 ? "," : "") + json_of(l.job_id, print.name_of(l.job_id), *l.record);
        }
        std::fprintf(out, "%s]\n", text.c_str());
        return 0;
    }
    if (shown.empty()) std::fprintf(out, "no records in %s\n", dir.c_str());
    for (auto it = shown.rbegin(); it != shown.rend(); ++it) print.print(it->job_id, *it->record);
    return 0;
}
