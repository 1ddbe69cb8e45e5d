#include "run_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "dir_files.h"
#include "text_util.h"

namespace {

constexpr size_t kKeep = 20;
// 128 jobs of 20 records, each with two streams of 4095 bytes that JSON may
// write six times as long, stay below this.
constexpr size_t kFileMax = 256u << 20;
const char kRunsFile[] = "quilmarn-cron.runs.json";
const char kDamaged[] = "quilmarn-cron.runs.json.damaged";

using records_by_id = std::map<int, std::vector<run_record>>;

// A job id as a member name: decimal, positive, nothing else.
bool parse_key(const char* key, int* id) {
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(key, &end, 10);
    if (end == key || *end != '\0' || errno != 0 || n <= 0 || n > INT32_MAX) return false;
    *id = static_cast<int>(n);
    return true;
}

// A file in place of the runs file that is not ours to read or set aside.
bool refused_file(int rc) { return rc == ELOOP || rc == EINVAL || rc == EPERM; }

// The file's records; false, with `why`, when it is there but cannot be
// taken whole; *refused (an errno value) when it is no file of ours.
bool load(int dirfd, records_by_id* all, std::string* why, int* refused) {
    *refused = 0;
    all->clear();
    std::string text;
    int rc = cron_dir_read(dirfd, kRunsFile, kFileMax, &text);
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

std::string to_text(const records_by_id& all) {
    rapidjson::Document doc;
    doc.SetObject();
    auto& a = doc.GetAllocator();
    for (const auto& [id, records] : all) {
        rapidjson::Value list(rapidjson::kArrayType);
        for (const run_record& r : records) {
            rapidjson::Value v;
            cron_record_to_json(r, &v, a);
            list.PushBack(v, a);
        }
        doc.AddMember(rapidjson::Value(std::to_string(id).c_str(), a), list, a);
    }
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    doc.Accept(w);
    return std::string(buf.GetString(), buf.GetSize());
}

}  // namespace

bool runs_file_prepend(FILE* err, const std::string& dir, int id, const std::vector<run_record>& records,
                       const std::vector<int>& live_ids) {
    unique_fd dirfd = cron_dir_open(dir);
    if (!dirfd) {
        std::fprintf(err, "quilmarn-cron: cannot keep the run records in %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return false;
    }
    records_by_id all;
    std::string why;
    int refused = 0;
    if (!load(dirfd.get(), &all, &why, &refused)) {
        if (refused != 0) {
            std::fprintf(err, "quilmarn-cron: %s; the run records are not kept\n",
                         cron_dir_error(dir, kRunsFile, refused).c_str());
            return false;
        }
        // Kept for a look, never read again; the records start afresh.
        if (::renameat(dirfd.get(), kRunsFile, dirfd.get(), kDamaged) != 0) {
            std::fprintf(err, "quilmarn-cron: %s/%s is damaged (%s) and cannot be set aside: %s\n",
                         dir.c_str(), kRunsFile, why.c_str(), std::strerror(errno));
            return false;
        }
        std::fprintf(err, "quilmarn-cron: warning: %s/%s was damaged (%s); kept as %s, starting afresh\n",
                     dir.c_str(), kRunsFile, why.c_str(), kDamaged);
        all.clear();
    }
    std::vector<run_record> merged(records.begin(),
                                   records.begin() + static_cast<long>(std::min(kKeep, records.size())));
    for (const run_record& r : all[id]) {
        if (merged.size() < kKeep) merged.push_back(r);
    }
    all[id] = std::move(merged);
    for (auto it = all.begin(); it != all.end();) {
        bool live = it->first == id;
        for (int l : live_ids) live = live || l == it->first;
        it = live ? std::next(it) : all.erase(it);
    }
    int rc = cron_dir_replace(dirfd.get(), kRunsFile, to_text(all));
    if (rc != 0) {
        std::fprintf(err, "quilmarn-cron: cannot keep the run records: %s\n",
                     cron_dir_error(dir, kRunsFile, rc).c_str());
        return false;
    }
    return true;
}

void runs_file_read(FILE* err, const std::string& dir, int id, std::vector<run_record>* out) {
    out->clear();
    unique_fd dirfd = cron_dir_open(dir);
    if (!dirfd) return;
    records_by_id all;
    std::string why;
    int refused = 0;
    if (!load(dirfd.get(), &all, &why, &refused)) {
        if (refused != 0) {
            std::fprintf(err, "quilmarn-cron: warning: %s; no records read\n",
                         cron_dir_error(dir, kRunsFile, refused).c_str());
        } else {
            std::fprintf(err, "quilmarn-cron: warning: %s/%s is damaged: %s; no records read\n", dir.c_str(),
                         kRunsFile, why.c_str());
        }
        return;
    }
    auto it = all.find(id);
    if (it != all.end()) *out = it->second;
}

std::string record_line(const std::string& name, const run_record& r) {
    const int code = r.exit_code;
    const char* why = code == CRONTAB_EXIT_NOT_STARTED      ? " (not started)"
                      : code == CRONTAB_EXIT_TIME_LIMIT     ? " (time limit)"
                      : code == CRONTAB_EXIT_CANCELLED      ? " (cancelled)"
                      : code == CRONTAB_EXIT_STATUS_UNKNOWN ? " (status unknown)"
                                                            : "";
    std::string line = cron_local_time(r.finished_at) + "  " + name + "  exit " + std::to_string(code) + why +
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
