#include "events.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <utility>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "text_util.h"

namespace {

std::mutex log_mutex;
log_format log_as = log_format::text;
FILE* log_to = nullptr;

// key=value, the value quoted when it would not read back as one word.
void append_pair(std::string* line, const char* key, const std::string& v) {
    *line += ' ';
    *line += key;
    *line += '=';
    bool plain = !v.empty();
    for (char c : v) {
        if (c == ' ' || c == '"' || c == '=' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
            plain = false;
    }
    if (plain) {
        *line += v;
        return;
    }
    *line += '"';
    for (char c : v) {
        if (c == '"' || c == '\\') {
            *line += '\\';
            *line += c;
        } else if (c == '\n') {
            *line += "\\n";
        } else if (c == '\t') {
            *line += "\\t";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            *line += ' ';
        } else {
            *line += c;
        }
    }
    *line += '"';
}

// ISO 8601 local time with milliseconds and the offset as "+01:00".
std::string iso_time(int64_t ms) {
    const int64_t t = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    time_t tt = static_cast<time_t>(t);
    std::tm tm{};
    char text[48] = "?";
    if (localtime_r(&tt, &tm) == nullptr) return text;
    char zone[8] = "";
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::strftime(zone, sizeof zone, "%z", &tm);
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03d", static_cast<int>(ms - t * 1000));
    std::string s = std::string(text) + frac;
    if (std::char_traits<char>::length(zone) == 5) s += std::string(zone, 3) + ":" + (zone + 3);
    return s;
}

}  // namespace

event::event(const char* name, int job_id, std::string job_name, int64_t time) : name_(name) {
    if (time != 0) {
        time_ms_ = time * 1000;
    } else {
        time_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    }
    if (job_id > 0) {
        num("job_id", job_id);
        text("job_name", std::move(job_name));
    }
}

event& event::num(const char* key, int64_t value) {
    members_.push_back({key, member::number, value, {}});
    return *this;
}

event& event::text(const char* key, std::string value) {
    members_.push_back({key, member::string, 0, std::move(value)});
    return *this;
}

event& event::json_only(const char* key, std::string value) {
    members_.push_back({key, member::json_string, 0, std::move(value)});
    return *this;
}

event& event::body(std::string text_body) {
    body_ = std::move(text_body);
    return *this;
}

event& event::rename(std::string name) {
    name_ = std::move(name);
    return *this;
}

event& event::at_ms(int64_t ms) {
    time_ms_ = ms;
    return *this;
}

event& event::flag(const char* key, bool value) {
    members_.push_back({key, member::boolean, value ? 1 : 0, {}});
    return *this;
}

std::string event::line(log_format format) const {
    if (format == log_format::text) {
        const int64_t t = time_ms_ >= 0 ? time_ms_ / 1000 : (time_ms_ - 999) / 1000;
        std::string line = cron_local_time(t) + " " + name_;
        for (const member& m : members_) {
            if (m.kind == member::json_string) continue;
            append_pair(&line, m.key,
                        m.kind == member::string    ? m.text
                        : m.kind == member::boolean ? (m.num != 0 ? "yes" : "no")
                                                    : std::to_string(m.num));
        }
        if (!body_.empty()) line += "\n" + body_.substr(0, body_.size() - (body_.back() == '\n' ? 1 : 0));
        return line;
    }
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    w.StartObject();
    w.Key("time");
    w.String(iso_time(time_ms_).c_str());
    w.Key("event");
    w.String(name_.c_str());
    for (const member& m : members_) {
        w.Key(m.key);
        if (m.kind == member::string || m.kind == member::json_string) {
            // Output of a command is bytes; a JSON line must be UTF-8.
            const std::string v = cron_text_repair(m.text);
            w.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
        } else if (m.kind == member::boolean) {
            w.Bool(m.num != 0);
        } else {
            w.Int64(m.num);
        }
    }
    w.EndObject();
    return std::string(buf.GetString(), buf.GetSize());
}

void cron_events_setup(log_format format, FILE* out) {
    std::lock_guard<std::mutex> lk(log_mutex);
    log_as = format;
    log_to = out;
}

void cron_event_write(const event& e) {
    std::lock_guard<std::mutex> lk(log_mutex);
    FILE* out = log_to != nullptr ? log_to : stdout;
    const std::string line = e.line(log_as) + "\n";
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
    // A closed pipe sets the stream's error; later lines still try.
    std::clearerr(out);
}
