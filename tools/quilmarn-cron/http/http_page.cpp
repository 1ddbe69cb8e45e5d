#include "http_page.h"

#include <unistd.h>

#include <ctime>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "../job_list.h"
#include "../text_util.h"

namespace {

constexpr size_t OUTPUT_HEAD = 300;  // bytes of the last run's output on the page
constexpr int NEXT_TIMES = 3;

struct job_view {
    job_info job;
    std::string description;
    const char* state = "";
    bool ran = false;
    run_record last;
    std::vector<int64_t> next;
};

const char* state_of(const job_info& j) {
    if (j.running) return "running";
    if (j.queued_count != 0) return "queued";
    return j.enabled ? "idle" : "disabled";
}

std::string exit_text(int code) {
    switch (code) {
        case CRONTAB_EXIT_NOT_STARTED: return "not started";
        case CRONTAB_EXIT_TIME_LIMIT: return "time limit";
        case CRONTAB_EXIT_CANCELLED: return "cancelled";
        case CRONTAB_EXIT_STATUS_UNKNOWN: return "status unknown";
        default: return "exit " + std::to_string(code);
    }
}

std::string output_head(const run_record& r) {
    const std::string& s = r.out.empty() ? r.err : r.out;
    return s.size() <= OUTPUT_HEAD ? s : cron_text_cut(s, OUTPUT_HEAD);
}

std::vector<int64_t> next_times(const std::string& expr) {
    std::vector<int64_t> out;
    rapidjson::Document d;
    if (!cron_json_parse(crontab_get_next_runs_json(expr.c_str(), NEXT_TIMES), &d) || !d.IsArray())
        return out;
    for (const auto& t : d.GetArray()) {
        if (t.IsObject() && t.HasMember("unix") && t["unix"].IsInt64()) out.push_back(t["unix"].GetInt64());
    }
    return out;
}

bool gather(crontab_t* ct, std::vector<job_view>* views) {
    std::vector<job_info> jobs;
    if (!cron_read_jobs(ct, &jobs)) return false;
    for (job_info& j : jobs) {
        job_view v;
        v.description = crontab_describe_expr(j.expr.c_str());
        v.state = state_of(j);
        std::vector<run_record> records;
        if (j.log_count > 0 && cron_read_logs(ct, j.id, 1, &records) && !records.empty()) {
            v.ran = true;
            v.last = std::move(records.front());
        }
        if (j.enabled) v.next = next_times(j.expr);
        v.job = std::move(j);
        views->push_back(std::move(v));
    }
    return true;
}

void esc(std::string* out, std::string_view s) { http_html_escape(s, out); }

void page_start(std::string* out, const std::string& title, bool refresh) {
    out->append("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">");
    if (refresh)
        out->append("<meta http-equiv=\"refresh\" content=\"" + std::to_string(HTTP_PAGE_REFRESH_SEC) +
                    "\">");
    out->append("<title>");
    esc(out, title);
    out->append(
        "</title><style>body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}"
        "td,th{border:1px solid #ccc;padding:.3em .5em;text-align:left;vertical-align:top}"
        "pre{margin:0;white-space:pre-wrap;max-width:50em}.failed{color:#a00}.ok{color:#070}</style>"
        "</head><body>\n");
}

using json_writer = rapidjson::Writer<rapidjson::StringBuffer>;

void put(json_writer& w, const char* key, const std::string& s) {
    w.Key(key);
    w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

void put_record(json_writer& w, const run_record& r, bool whole) {
    w.StartObject();
    w.Key("started_at");
    w.Int64(r.started_at);
    w.Key("finished_at");
    w.Int64(r.finished_at);
    w.Key("duration_ms");
    w.Int(r.duration_ms);
    w.Key("exit_code");
    w.Int(r.exit_code);
    put(w, "exit_status", exit_text(r.exit_code));
    w.Key("attempt");
    w.Int(r.attempt);
    if (whole) {
        put(w, "stdout", r.out);
        put(w, "stderr", r.err);
    } else {
        put(w, "output_head", output_head(r));
    }
    w.EndObject();
}

void run_cells(std::string* out, const run_record& r) {
    out->append("<td>");
    esc(out, cron_local_time(r.started_at));
    out->append(r.exit_code == 0 ? "</td><td class=\"ok\">" : "</td><td class=\"failed\">");
    esc(out, exit_text(r.exit_code));
    out->append("</td>");
}

}  // namespace

void http_html_escape(std::string_view s, std::string* out) {
    for (char c : s) {
        switch (c) {
            case '&': out->append("&amp;"); break;
            case '<': out->append("&lt;"); break;
            case '>': out->append("&gt;"); break;
            case '"': out->append("&quot;"); break;
            case '\'': out->append("&#39;"); break;
            case '\t':
            case '\n':
            case '\r': out->push_back(c); break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    out->append("\xEF\xBF\xBD");
                } else {
                    out->push_back(c);
                }
        }
    }
}

bool http_status_html(crontab_t* ct, const std::string& dir, std::string* out) {
    std::vector<job_view> views;
    if (!gather(ct, &views)) return false;
    out->clear();
    page_start(out, "quilmarn-cron: " + dir, true);
    out->append("<h1>quilmarn-cron</h1><p>Daemon ");
    out->append(std::to_string(::getpid()));
    out->append(" runs the jobs of <code>");
    esc(out, dir);
    out->append("</code>; the scheduler ");
    out->append(crontab_is_running(ct) ? "runs" : "is stopped");
    out->append(". Page made at ");
    esc(out, cron_local_time(std::time(nullptr)));
    out->append(
        ".</p>\n<table><thead><tr><th>ID</th><th>Name</th><th>Schedule</th><th>State</th>"
        "<th>Last run</th><th>Exit</th><th>Output</th><th>Next runs</th></tr></thead><tbody>\n");
    for (const job_view& v : views) {
        const std::string id = std::to_string(v.job.id);
        out->append("<tr><td>" + id + "</td><td><a href=\"/job/" + id + "\">");
        esc(out, v.job.name);
        out->append("</a></td><td>");
        esc(out, v.description);
        out->append("<br><code>");
        esc(out, v.job.expr);
        out->append("</code></td><td>");
        out->append(v.state);
        out->append("</td>");
        if (v.ran) {
            run_cells(out, v.last);
            out->append("<td><pre>");
            esc(out, output_head(v.last));
            out->append("</pre></td>");
        } else {
            out->append("<td>never</td><td>-</td><td></td>");
        }
        out->append("<td>");
        for (size_t i = 0; i < v.next.size(); ++i) {
            if (i > 0) out->append("<br>");
            esc(out, cron_local_time(v.next[i]));
        }
        if (v.next.empty()) out->append("-");
        out->append("</td></tr>\n");
    }
    out->append("</tbody></table></body></html>\n");
    return true;
}

bool http_status_json(crontab_t* ct, const std::string& dir, std::string* out) {
    std::vector<job_view> views;
    if (!gather(ct, &views)) return false;
    rapidjson::StringBuffer buf;
    json_writer w(buf);
    w.StartObject();
    w.Key("daemon_pid");
    w.Int64(::getpid());
    put(w, "dir", dir);
    w.Key("scheduler_running");
    w.Bool(crontab_is_running(ct) != 0);
    w.Key("jobs");
    w.StartArray();
    for (const job_view& v : views) {
        w.StartObject();
        w.Key("id");
        w.Int(v.job.id);
        put(w, "name", v.job.name);
        put(w, "expr", v.job.expr);
        put(w, "description", v.description);
        w.Key("enabled");
        w.Bool(v.job.enabled);
        put(w, "state", v.state);
        w.Key("last_run");
        if (v.ran) {
            put_record(w, v.last, false);
        } else {
            w.Null();
        }
        w.Key("next_runs");
        w.StartArray();
        for (int64_t t : v.next) w.Int64(t);
        w.EndArray();
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    out->assign(buf.GetString(), buf.GetSize());
    return true;
}

bool http_job_html(crontab_t* ct, int id, std::string* out) {
    std::vector<job_info> jobs;
    std::vector<run_record> records;
    const job_info* j = cron_read_jobs(ct, &jobs) ? cron_find_job(jobs, id) : nullptr;
    if (j == nullptr || !cron_read_logs(ct, id, CRONTAB_LOG_CAPACITY, &records)) return false;
    out->clear();
    page_start(out, "quilmarn-cron: " + j->name, true);
    out->append("<p><a href=\"/\">All jobs</a></p><h1>");
    esc(out, j->name);
    out->append("</h1><p>");
    esc(out, crontab_describe_expr(j->expr.c_str()));
    out->append(" (<code>");
    esc(out, j->expr);
    out->append("</code>), ");
    out->append(state_of(*j));
    out->append(".</p><p>Command: <code>");
    esc(out, j->cmd);
    out->append(
        "</code></p>\n<table><thead><tr><th>Started</th><th>Exit</th><th>Attempt</th><th>Duration</th>"
        "<th>Output</th><th>Errors</th></tr></thead><tbody>\n");
    for (const run_record& r : records) {
        out->append("<tr>");
        run_cells(out, r);
        out->append("<td>" + std::to_string(r.attempt) + "</td><td>" + std::to_string(r.duration_ms) +
                    " ms</td><td><pre>");
        esc(out, r.out);
        out->append("</pre></td><td><pre>");
        esc(out, r.err);
        out->append("</pre></td></tr>\n");
    }
    if (records.empty()) out->append("<tr><td colspan=\"6\">No run since the daemon started.</td></tr>\n");
    out->append("</tbody></table></body></html>\n");
    return true;
}

bool http_job_json(crontab_t* ct, int id, std::string* out) {
    std::vector<job_info> jobs;
    std::vector<run_record> records;
    const job_info* j = cron_read_jobs(ct, &jobs) ? cron_find_job(jobs, id) : nullptr;
    if (j == nullptr || !cron_read_logs(ct, id, CRONTAB_LOG_CAPACITY, &records)) return false;
    rapidjson::StringBuffer buf;
    json_writer w(buf);
    w.StartObject();
    w.Key("id");
    w.Int(j->id);
    put(w, "name", j->name);
    put(w, "expr", j->expr);
    put(w, "description", crontab_describe_expr(j->expr.c_str()));
    put(w, "state", state_of(*j));
    w.Key("records");
    w.StartArray();
    for (const run_record& r : records) put_record(w, r, true);
    w.EndArray();
    w.EndObject();
    out->assign(buf.GetString(), buf.GetSize());
    return true;
}
