#include "run_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "dir_files.h"
#include "text_util.h"

namespace {

constexpr size_t kKeep = RUNS_KEPT;
// Past this many lines a job's file is rewritten with the newest kKeep: an
// append costs its record, the rewrite about one more write of each record.
constexpr int kCompactAt = 2 * CRONTAB_LOG_CAPACITY;
// A record's two streams of CRONTAB_OUTPUT_MAX bytes may take six times as
// much in JSON; kCompactAt + 1 such lines stay below this.
constexpr size_t kJobFileMax = 8u << 20;
// The old single file: 128 jobs of 20 such records stay below this.
constexpr size_t kOldFileMax = 256u << 20;
const char kOldFile[] = "quilmarn-cron.runs.json";
const char kOldDamaged[] = "quilmarn-cron.runs.json.damaged";
const char kPrefix[] = "quilmarn-cron.runs.";
const char kSuffix[] = ".jsonl";
const char kStoreFile[] = "crontab.json";
constexpr size_t kStoreMax = 8u << 20;  // far above any store 128 jobs make

using records_by_id = std::map<int, std::vector<run_record>>;

std::string job_file(int id) { return kPrefix + std::to_string(id) + kSuffix; }

// The job id of a name of job_file's form, else 0.
int id_of_file(const std::string& name) {
    const size_t p = sizeof kPrefix - 1, s = sizeof kSuffix - 1;
    if (name.size() <= p + s || name.compare(0, p, kPrefix) != 0 ||
        name.compare(name.size() - s, s, kSuffix) != 0) {
        return 0;
    }
    const std::string digits = name.substr(p, name.size() - p - s);
    if (!cron_id_syntax(digits) || digits.size() > 10) return 0;
    const long long n = std::atoll(digits.c_str());
    return n > 0 && n <= INT32_MAX ? static_cast<int>(n) : 0;
}

// A job id as a member name of the old file: decimal, positive, nothing else.
bool parse_key(const char* key, int* id) {
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(key, &end, 10);
    if (end == key || *end != '\0' || errno != 0 || n <= 0 || n > INT32_MAX) return false;
    *id = static_cast<int>(n);
    return true;
}

// A file in place of ours that is not ours to read or set aside.
bool refused_file(int rc) { return rc == ELOOP || rc == EINVAL || rc == EPERM; }

// The old file's records; false, with `why`, when it is there but cannot be
// taken whole; *refused (an errno value) when it is no file of ours.
bool load_old(int dirfd, records_by_id* all, std::string* why, int* refused) {
    *refused = 0;
    all->clear();
    std::string text;
    int rc = cron_dir_read(dirfd, kOldFile, kOldFileMax, &text);
    if (rc == ENOENT) return true;
    if (rc != 0) {
        *why = rc == EFBIG ? "too large" : std::strerror(rc);
        if (refused_file(rc)) *refused = rc;
        return false;
    }
    rapidjson::Document doc;
    if (!cron_json_parse(text, &doc) || !doc.IsObject()) {
        *why = "not a JSON object";
        return false;
    }
    for (const auto& m : doc.GetObject()) {
        int id = 0;
        std::vector<run_record> records;
        if (!m.name.IsString() || !parse_key(m.name.GetString(), &id) ||
            !cron_records_from_json(m.value, &records)) {
            *why = "a member that is not a job's records";
            return false;
        }
        if (records.size() > kKeep) records.resize(kKeep);
        (*all)[id] = std::move(records);
    }
    return true;
}

std::string to_line(int id, const run_record& r) { return runs_record_json(id, nullptr, r) + "\n"; }

// The whole lines of `text` that are records of job `id`, oldest first; a
// torn or foreign line is skipped. *lines counts every line ended, *used
// their length.
std::vector<run_record> parse_lines(const std::string& text, int id, int* lines, size_t* used = nullptr) {
    std::vector<run_record> records;
    *lines = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) break;  // torn: its end never reached the disk
        ++*lines;
        if (used != nullptr) *used = end + 1;
        rapidjson::Document doc;
        run_record r;
        if (cron_json_parse(text.data() + at, end - at, &doc) && doc.IsObject() && doc.HasMember("job_id") &&
            doc["job_id"].IsInt() && doc["job_id"].GetInt() == id && cron_record_from_json(doc, &r)) {
            records.push_back(std::move(r));
        }
        at = end + 1;
    }
    return records;
}

// Reads job `id`'s file: 0, or an errno value as cron_dir_read.
int read_job(int dirfd, int id, std::vector<run_record>* oldest_first, int* lines) {
    std::string text;
    *lines = 0;
    oldest_first->clear();
    const int rc = cron_dir_read(dirfd, job_file(id).c_str(), kJobFileMax, &text);
    if (rc == 0) *oldest_first = parse_lines(text, id, lines);
    return rc;
}

std::string lines_of(int id, const std::vector<run_record>& oldest_first) {
    std::string text;
    const size_t from = oldest_first.size() > kKeep ? oldest_first.size() - kKeep : 0;
    for (size_t i = from; i < oldest_first.size(); ++i) text += to_line(id, oldest_first[i]);
    return text;
}

}  // namespace

std::string runs_record_json(int id, const std::string* name, const run_record& r) {
    rapidjson::Document doc;
    rapidjson::Value v;
    cron_record_to_json(r, &v, doc.GetAllocator());
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    w.StartObject();
    w.Key("job_id");
    w.Int(id);
    if (name != nullptr) {
        w.Key("job_name");
        w.String(name->c_str(), static_cast<rapidjson::SizeType>(name->size()));
    }
    for (auto& m : v.GetObject()) {
        w.Key(m.name.GetString(), m.name.GetStringLength());
        m.value.Accept(w);
    }
    w.EndObject();
    return std::string(buf.GetString(), buf.GetSize());
}

bool runs_store::migrate(int dirfd) {
    if (migrated_) return true;
    migrated_ = true;
    records_by_id all;
    std::string why;
    int refused = 0;
    if (!load_old(dirfd, &all, &why, &refused)) {
        if (refused != 0) {
            // Not ours: left alone, and the records go to the new files.
            std::fprintf(err_, "quilmarn-cron: %s; its records are not read\n",
                         cron_dir_error(dir_, kOldFile, refused).c_str());
            return true;
        }
        // Kept for a look, never read again.
        if (::renameat(dirfd, kOldFile, dirfd, kOldDamaged) != 0) {
            std::fprintf(err_, "quilmarn-cron: %s/%s is damaged (%s) and cannot be set aside: %s\n",
                         dir_.c_str(), kOldFile, why.c_str(), std::strerror(errno));
            return true;
        }
        std::fprintf(err_, "quilmarn-cron: warning: %s/%s was damaged (%s); kept as %s, starting afresh\n",
                     dir_.c_str(), kOldFile, why.c_str(), kOldDamaged);
        return true;
    }
    for (const auto& [id, newest_first] : all) {
        const std::vector<run_record> oldest_first(newest_first.rbegin(), newest_first.rend());
        // A job file that exists already is newer than the old file.
        if (int rc = cron_dir_create(dirfd, job_file(id).c_str(), lines_of(id, oldest_first));
            rc != 0 && rc != EEXIST) {
            std::fprintf(err_, "quilmarn-cron: cannot move the old run records: %s\n",
                         cron_dir_error(dir_, job_file(id).c_str(), rc).c_str());
            return false;
        }
    }
    if (!all.empty() || ::faccessat(dirfd, kOldFile, F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
        ::unlinkat(dirfd, kOldFile, 0);
    }
    return true;
}

int runs_store::count_lines(int dirfd, int id) {
    auto it = lines_.find(id);
    if (it != lines_.end()) return it->second;
    std::vector<run_record> records;
    int lines = 0;
    const int rc = read_job(dirfd, id, &records, &lines);
    if (rc == EFBIG) {
        // Never one of ours: set aside, and the job's records start afresh.
        const std::string name = job_file(id), damaged = name + ".damaged";
        if (::renameat(dirfd, name.c_str(), dirfd, damaged.c_str()) == 0) {
            std::fprintf(err_, "quilmarn-cron: warning: %s/%s was too large; kept as %s\n", dir_.c_str(),
                         name.c_str(), damaged.c_str());
        }
        lines = 0;
    }
    lines_[id] = lines;
    return lines;
}

bool runs_store::append(int id, const run_record& record) {
    unique_fd dirfd = cron_dir_open(dir_);
    if (!dirfd) {
        std::fprintf(err_, "quilmarn-cron: cannot keep the run records in %s: %s\n", dir_.c_str(),
                     std::strerror(errno));
        return false;
    }
    if (!migrate(dirfd.get())) return false;
    const std::string name = job_file(id);
    const int lines = count_lines(dirfd.get(), id);
    if (int rc = cron_dir_append(dirfd.get(), name.c_str(), to_line(id, record)); rc != 0) {
        lines_.erase(id);
        std::fprintf(err_, "quilmarn-cron: cannot keep the run records: %s\n",
                     cron_dir_error(dir_, name.c_str(), rc).c_str());
        return false;
    }
    lines_[id] = lines + 1;
    if (lines + 1 <= kCompactAt) return true;
    std::vector<run_record> records;
    int now = 0;
    int rc = read_job(dirfd.get(), id, &records, &now);
    if (rc == 0) rc = cron_dir_replace(dirfd.get(), name.c_str(), lines_of(id, records));
    if (rc != 0) {
        // The record is kept; the file stays longer until a rewrite succeeds.
        lines_.erase(id);
        std::fprintf(err_, "quilmarn-cron: cannot shorten the run records: %s\n",
                     cron_dir_error(dir_, name.c_str(), rc).c_str());
        return true;
    }
    lines_[id] = static_cast<int>(std::min(records.size(), kKeep));
    return true;
}

void runs_store::forget(int id) {
    lines_.erase(id);
    if (unique_fd dirfd = cron_dir_open(dir_); dirfd) ::unlinkat(dirfd.get(), job_file(id).c_str(), 0);
}

void runs_store::prune(const std::vector<int>& live_ids) {
    unique_fd dirfd = cron_dir_open(dir_);
    if (!dirfd || !migrate(dirfd.get())) return;
    const std::set<int> live(live_ids.begin(), live_ids.end());
    // Unlinking removes the entry, never what a link there names.
    for (const int id : runs_file_ids(dirfd.get())) {
        if (live.count(id) != 0) continue;
        lines_.erase(id);
        ::unlinkat(dirfd.get(), job_file(id).c_str(), 0);
    }
}

void runs_file_read(FILE* err, const std::string& dir, int id, std::vector<run_record>* out) {
    out->clear();
    unique_fd dirfd = cron_dir_open(dir);
    if (!dirfd) return;
    int lines = 0;
    const int rc = read_job(dirfd.get(), id, out, &lines);
    if (rc == 0) {
        std::reverse(out->begin(), out->end());
        if (out->size() > kKeep) out->resize(kKeep);
        return;
    }
    if (rc != ENOENT) {
        std::fprintf(err, "quilmarn-cron: warning: %s; no records read\n",
                     cron_dir_error(dir, job_file(id).c_str(), rc).c_str());
        return;
    }
    // Not written since an earlier version: its single file.
    records_by_id all;
    std::string why;
    int refused = 0;
    if (!load_old(dirfd.get(), &all, &why, &refused)) {
        if (refused != 0) {
            std::fprintf(err, "quilmarn-cron: warning: %s; no records read\n",
                         cron_dir_error(dir, kOldFile, refused).c_str());
        } else {
            std::fprintf(err, "quilmarn-cron: warning: %s/%s is damaged: %s; no records read\n", dir.c_str(),
                         kOldFile, why.c_str());
        }
        return;
    }
    auto it = all.find(id);
    if (it != all.end()) *out = it->second;
}

void runs_old_read(int dirfd, std::map<int, std::vector<run_record>>* out) {
    out->clear();
    records_by_id old;
    std::string why;
    int refused = 0;
    // Its faults are for the commands that move it to say.
    if (!load_old(dirfd, &old, &why, &refused)) return;
    for (auto& [id, newest_first] : old) (*out)[id].assign(newest_first.rbegin(), newest_first.rend());
}

std::vector<run_record> runs_lines_parse(const std::string& text, int id, size_t* used) {
    int lines = 0;
    *used = 0;
    return parse_lines(text, id, &lines, used);
}

std::string runs_file_name(int id) { return job_file(id); }

std::vector<int> runs_file_ids(int dirfd) {
    std::vector<int> ids;
    if (DIR* d = ::fdopendir(::dup(dirfd)); d != nullptr) {
        while (const dirent* e = ::readdir(d)) {
            if (const int id = id_of_file(e->d_name); id != 0) ids.push_back(id);
        }
        ::closedir(d);
    }
    return ids;
}

int runs_job_names(const std::string& dir, std::vector<std::pair<int, std::string>>* out) {
    out->clear();
    unique_fd dirfd = cron_dir_open(dir);
    // ENOENT stands for the store alone: a directory that is gone is unreadable.
    if (!dirfd) return errno == ENOENT || errno == 0 ? ENOTDIR : errno;
    std::string text;
    if (const int rc = cron_dir_read(dirfd.get(), kStoreFile, kStoreMax, &text); rc != 0) return rc;
    rapidjson::Document doc;
    if (!cron_json_parse(text, &doc) || !doc.IsObject() || !doc.HasMember("jobs") || !doc["jobs"].IsArray())
        return EINVAL;
    for (const auto& j : doc["jobs"].GetArray()) {
        if (j.IsObject() && j.HasMember("id") && j["id"].IsInt() && j.HasMember("name") &&
            j["name"].IsString())
            out->emplace_back(j["id"].GetInt(), j["name"].GetString());
    }
    return 0;
}

void runs_files_read_all(FILE* err, const std::string& dir, std::map<int, std::vector<run_record>>* out) {
    out->clear();
    unique_fd dirfd = cron_dir_open(dir);
    if (!dirfd) return;
    for (const int id : runs_file_ids(dirfd.get())) {
        int lines = 0;
        std::vector<run_record> records;
        if (const int rc = read_job(dirfd.get(), id, &records, &lines); rc != 0) {
            if (rc != ENOENT) {
                std::fprintf(err, "quilmarn-cron: warning: %s; no records read\n",
                             cron_dir_error(dir, job_file(id).c_str(), rc).c_str());
            }
            continue;
        }
        (*out)[id] = std::move(records);
    }
    // Jobs not written since an earlier version: the old single file.
    std::map<int, std::vector<run_record>> old;
    runs_old_read(dirfd.get(), &old);
    for (auto& [id, records] : old) {
        if (out->count(id) == 0) (*out)[id] = std::move(records);
    }
}

int runs_file_id(const std::string& name) { return id_of_file(name); }

const char* cron_exit_word(int code) {
    switch (code) {
        case CRONTAB_EXIT_NOT_STARTED: return "not started";
        case CRONTAB_EXIT_TIME_LIMIT: return "time limit";
        case CRONTAB_EXIT_CANCELLED: return "cancelled";
        case CRONTAB_EXIT_STATUS_UNKNOWN: return "status unknown";
        default: return nullptr;
    }
}

std::string record_line(const std::string& name, const run_record& r) {
    const char* word = cron_exit_word(r.exit_code);
    std::string line = cron_local_time(r.finished_at) + "  " + name + "  exit " +
                       std::to_string(r.exit_code) + (word != nullptr ? std::string(" (") + word + ")" : "") +
                       "  " + std::to_string(r.duration_ms) + " ms";
    if (r.attempt > 1) line += "  attempt " + std::to_string(r.attempt);
    return line;
}

std::string record_output(const run_record& r) {
    std::string text;
    for (const std::string* s : {&r.out, &r.err}) {
        const char* mark = s == &r.out ? "    | " : "    ! ";
        for (size_t at = 0; at < s->size();) {
            size_t end = s->find('\n', at);
            if (end == std::string::npos) end = s->size();
            text += mark + s->substr(at, end - at) + "\n";
            at = end + 1;
        }
    }
    return text;
}
