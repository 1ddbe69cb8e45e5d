// The daemon's log: one line per event, as text or as one JSON object. Both
// forms carry the same members; a line about a job always has its
// "job_id" and "job_name".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class log_format { text, json };

class event {
public:
    // An event of the daemon; `job_id` 0 for one that is not about a job.
    // `time` 0 means now.
    explicit event(const char* name, int job_id = 0, std::string job_name = {}, int64_t time = 0);

    event& num(const char* key, int64_t value);
    event& text(const char* key, std::string value);
    event& flag(const char* key, bool value);  // true/false; yes/no in text
    // A string member of the JSON form only; the text form gives `text_body`
    // instead, as lines after its line.
    event& json_only(const char* key, std::string value);
    event& body(std::string text_body);
    // When it happened, in milliseconds since the epoch.
    event& at_ms(int64_t ms);
    event& rename(std::string name);

    // The line, without its line end (in text, the body after it).
    std::string line(log_format format) const;

private:
    struct member {
        const char* key;
        enum { number, string, boolean, json_string } kind;
        int64_t num;
        std::string text;
    };
    std::string name_;
    int64_t time_ms_;
    std::string body_;
    std::vector<member> members_;
};

// Where and how events are written; until set, text to standard output.
void cron_events_setup(log_format format, FILE* out);

// Writes the event as one whole line, from any thread. A reader that went
// away (a closed pipe) costs the line, never the daemon.
void cron_event_write(const event& e);
