// The status page and its JSON: each job's name, schedule in English, state,
// last run with its exit status and the start of its output, and next fire
// times; a job's last 20 records on a page of their own. Read-only.
#pragma once

#include <string>
#include <string_view>

#include "quilmarn_crontab.h"

// The page is rendered afresh on each request and reloads itself this often.
constexpr int HTTP_PAGE_REFRESH_SEC = 10;

// "/" and "/api/status". False when the job table cannot be read.
bool http_status_html(crontab_t* ct, const std::string& dir, std::string* out);
bool http_status_json(crontab_t* ct, const std::string& dir, std::string* out);

// "/job/ID" and "/api/job/ID": false when there is no such job.
bool http_job_html(crontab_t* ct, int id, std::string* out);
bool http_job_json(crontab_t* ct, int id, std::string* out);

// `s` with &, <, >, " and ' as references and other control characters
// than tab and line ends as U+FFFD.
void http_html_escape(std::string_view s, std::string* out);
