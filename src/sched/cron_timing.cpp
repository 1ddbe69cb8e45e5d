#include "sched/cron_timing.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <mutex>
#include <random>
#include <string_view>
#include <unordered_map>

#include "base/cron_text.h"
#include "expr/cron_calc.h"
#include "proc/cron_os.h"

namespace {

constexpr size_t kMaxStateBytes = 1024 * 1024;  // 128 jobs take a few KiB
constexpr int kMaxCounted = 1000;               // missed fire times counted, as for late ones

std::mutex boot_override_lock;
std::string boot_override;  // see cron_timing_set_boot_id
bool boot_overridden = false;

// A kernel id file's first line ("" when it cannot be read).
std::string first_line(const char* path) {
    std::string text;
    if (!cron_os_read_file(path, &text, 256)) return "";
    const size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos) text.resize(end);
    return text.size() <= 128 && cron_utf8_valid(text) ? text : "";
}

std::string boot_id() {
    {
        std::lock_guard<std::mutex> lk(boot_override_lock);
        if (boot_overridden) return boot_override;
    }
    return first_line("/proc/sys/kernel/random/boot_id");
}

struct stamp_entry {
    int64_t fire = 0;
    bool reboot = false;
};

// The stamps by job id. False with the reason when the file exists but
// cannot be taken; a missing file is no stamps.
bool read_state(const crontab_t* ct, std::unordered_map<int32_t, stamp_entry>* stamps, std::string* boot,
                std::string* why) {
    cron_os_dir_t dir;
    if (!cron_os_dir_open(ct->data_dir, &dir, why, nullptr)) return false;
    std::string text;
    switch (cron_os_read_at(dir, CRON_STATE_FILE, &text, kMaxStateBytes, why)) {
        case cron_os_read_status::missing: return true;
        case cron_os_read_status::failed: return false;
        case cron_os_read_status::ok: break;
    }
    const std::string name = dir.path + "/" + CRON_STATE_FILE;
    if (text.size() > kMaxStateBytes) {
        *why = name + " is larger than 1 MiB";
        return false;
    }
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag>(text.data(),
                                                                                      text.size());
    // Read through a const view: its iterators compare without ambiguity.
    const rapidjson::Value& root = doc;
    if (doc.HasParseError() || !root.IsObject()) {
        *why = name + " is not a state file this library wrote";
        return false;
    }
    auto jobs = root.FindMember("jobs");
    if (jobs == root.MemberEnd() || !jobs->value.IsArray()) {
        *why = name + " is not a state file this library wrote";
        return false;
    }
    auto b = root.FindMember("boot_id");
    if (b != root.MemberEnd() && b->value.IsString())
        boot->assign(b->value.GetString(), b->value.GetStringLength());
    for (const auto& el : jobs->value.GetArray()) {
        if (!el.IsObject()) continue;
        auto id = el.FindMember("id");
        auto fire = el.FindMember("fire");
        auto reboot = el.FindMember("reboot");
        if (id == el.MemberEnd() || !id->value.IsInt()) continue;
        stamp_entry& s = (*stamps)[id->value.GetInt()];
        if (fire != el.MemberEnd() && fire->value.IsInt64() && fire->value.GetInt64() > 0)
            s.fire = fire->value.GetInt64();
        s.reboot = reboot != el.MemberEnd() && reboot->value.IsTrue();
    }
    return true;
}

void tell_damaged(crontab_t* ct, const std::string& why) {
    cron_event_t* ev = cron_event_push(ct, cron_event_kind::state_damaged, nullptr);
    cron_event_put_text(ct, ev, why.data(), why.size());
}

}  // namespace

void cron_timing_set_boot_id(const char* id) {
    std::lock_guard<std::mutex> lk(boot_override_lock);
    boot_overridden = id != nullptr;
    boot_override = id != nullptr ? id : "";
}

void cron_timing_start(crontab_t* ct, int64_t now) {
    cron_shared_t& sh = *ct->shared;
    const std::string boot = boot_id();
    if (sh.machine_id.empty()) sh.machine_id = first_line("/etc/machine-id");
    // Without a data directory the stamps this instance holds are all there is.
    std::string stamp_boot = sh.boot_id;
    if (ct->data_dir[0] != '\0') {
        std::unordered_map<int32_t, stamp_entry> stamps;
        std::string why;
        stamp_boot.clear();
        if (!read_state(ct, &stamps, &stamp_boot, &why)) {
            // Lost stamps lose no job: no catch-up this time, and @reboot
            // jobs run as on a new boot.
            tell_damaged(ct, why.empty() ? std::string("the state file cannot be read") : why);
            stamps.clear();
        }
        for (cron_job_t& job : ct->jobs) {
            if (!job.in_use) continue;
            auto it = stamps.find(job.id);
            job.stamp = it != stamps.end() ? it->second.fire : 0;
            job.reboot_ran = it != stamps.end() && it->second.reboot;
        }
    }
    sh.boot_id = boot;
    const bool same_boot = !boot.empty() && boot == stamp_boot;
    for (cron_job_t& job : ct->jobs) {
        job.catch_up_due = 0;
        if (!job.in_use || !job.enabled) continue;
        if (job.sched.reboot) {
            if (!same_boot) job.reboot_ran = 0;
            if (!job.reboot_ran) job.next_run = now;
            continue;
        }
        if (job.catch_up_sec <= 0 || job.stamp <= 0) continue;
        const int64_t first = cron_next_time(&job.sched, job.stamp);
        if (first > 0 && first <= now) {
            job.next_run = first;
            job.catch_up_due = 1;
        }
    }
}

void cron_timing_clock_forward(crontab_t* ct, int64_t now) {
    for (cron_job_t& job : ct->jobs) {
        if (job.in_use && job.catch_up_sec > 0 && job.next_run > 0 && job.next_run <= now)
            job.catch_up_due = 1;
    }
}

bool cron_timing_decide(crontab_t* ct, cron_job_t& job, int64_t now) {
    job.catch_up_due = 0;
    int64_t latest = job.next_run;
    int count = 1;
    for (int64_t t; count < kMaxCounted && (t = cron_next_time(&job.sched, latest)) > 0 && t <= now; ++count)
        latest = t;
    if (now - latest <= job.catch_up_sec) {
        if (count > 1) {
            cron_event_t* ev = cron_event_push(ct, cron_event_kind::skipped, &job);
            ev->fire_time = job.next_run;
            ev->count = count - 1;
            ev->detail = CRON_SKIP_LATE;
            cron_stats_count(&job.stats, *ev);
        }
        job.next_run = latest;
        job.catch_up_due = 2;  // decided: its admission says "catch_up"
        return true;
    }
    const int64_t next = cron_next_time(&job.sched, now);
    cron_event_t* ev = cron_event_push(ct, cron_event_kind::missed, &job);
    ev->fire_time = latest;
    ev->count = count;
    cron_stats_count(&job.stats, *ev);
    job.next_run = next;
    return false;
}

void cron_timing_stamp(crontab_t* ct, cron_job_t& job, int64_t fire) {
    if (!cron_timing_stamped(job)) return;
    job.stamp = fire;
    if (job.sched.reboot) job.reboot_ran = 1;
    if (ct->data_dir[0] != '\0') ct->shared->state_dirty = true;
}

bool cron_timing_take_text(crontab_t* ct, std::string* out) {
    cron_shared_t& sh = *ct->shared;
    if (!sh.state_dirty) return false;
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    w.StartObject();
    w.Key("boot_id");
    w.String(sh.boot_id.c_str());
    w.Key("jobs");
    w.StartArray();
    for (const cron_job_t& job : ct->jobs) {
        if (!job.in_use || !cron_timing_stamped(job) || (job.stamp <= 0 && !job.reboot_ran)) continue;
        w.StartObject();
        w.Key("id");
        w.Int(job.id);
        w.Key("fire");
        w.Int64(job.stamp);
        if (job.reboot_ran) {
            w.Key("reboot");
            w.Bool(true);
        }
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    out->assign(buf.GetString(), buf.GetSize());
    sh.state_dirty = false;
    return true;
}

void cron_timing_write(crontab_t* ct, const std::string& text) {
    std::string why;
    cron_os_dir_t dir;
    if (cron_os_dir_open(ct->data_dir, &dir, &why, nullptr)) {
        cron_os_remove_stale_temps_at(dir, CRON_STATE_FILE);
        if (cron_os_replace_at(dir, CRON_STATE_FILE, text.data(), text.size(), &why) == 0) return;
    }
    std::lock_guard<std::mutex> lk(ct->shared->lock);
    tell_damaged(ct, why);
}

int64_t cron_jitter_draw_ms(int32_t max_sec) {
    if (max_sec <= 0) return 0;
    thread_local std::mt19937_64 gen{std::random_device{}()};
    return std::uniform_int_distribution<int64_t>(0, int64_t{max_sec} * 1000)(gen);
}

// FNV-1a over the machine id and the name: stable across restarts and
// builds, unlike std::hash; the modulo bias over 2^64 is negligible.
int64_t cron_jitter_fixed_ms(const std::string& machine_id, const char* name, int32_t max_sec) {
    if (max_sec <= 0) return 0;
    uint64_t h = 14695981039346656037ull;
    auto mix = [&h](std::string_view s) {
        for (unsigned char c : s) {
            h ^= c;
            h *= 1099511628211ull;
        }
    };
    mix(machine_id);
    mix(std::string_view("\0", 1));
    mix(name);
    return static_cast<int64_t>(h % (uint64_t(max_sec) * 1000 + 1));
}

int64_t cron_timing_delay_ms(const crontab_t* ct, const cron_job_t& job) {
    return job.jitter_fixed ? cron_jitter_fixed_ms(ct->shared->machine_id, job.name, job.jitter_sec)
                            : cron_jitter_draw_ms(job.jitter_sec);
}
