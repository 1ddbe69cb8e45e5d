// What the reports share: the writer, one run record, and the copies the
// copy exports hand out.
#pragma once

#include <string_view>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "sched/cron_job.h"

using cron_report_writer = rapidjson::Writer<rapidjson::StringBuffer>;

// One run record as the run log report writes it; the texts are given apart
// (raw bytes, repaired to UTF-8 here) since the feed keeps its own copies.
void cron_report_record(cron_report_writer& w, const cron_log_entry_t& e, std::string_view out,
                        std::string_view err);

// A malloc'd zero-terminated copy for crontab_free; throws std::bad_alloc.
char* cron_report_copy(std::string_view text);
