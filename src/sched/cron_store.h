// The job store: the job definitions and the id counter of an instance in
// "crontab.json" in its data directory. An empty data directory means no
// store: both operations return at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "proc/cron_os.h"
#include "sched/cron_job.h"

// Writes the job table to the store. Nothing is written when the text equals
// the last text this instance read or wrote and the file still exists. A
// store the load could not take whole is first copied to a backup name
// ("crontab.json.bak", or ".bak.1", ... when an earlier, different backup
// exists). The directory is opened and checked afresh for each save. True
// when the file holds the table; false with the reason in the error text
// (cron_error_set). Only the job exports save, with the lock held.
bool cron_persist_save(crontab_t* ct);

// Fills the empty table of a new instance from the store in its data
// directory, opened as `dir`. False, with the reason in the error text and no file touched,
// when the store exists but cannot be read as a whole (not a trusted regular
// file, unreadable, larger than 8 MiB, not UTF-8, not a JSON object). A store
// readable by others is noted in *exposed. Runs before any other thread
// knows the instance; takes no lock.
bool cron_persist_load(crontab_t* ct, const cron_os_dir_t& dir, std::vector<std::string>* exposed);

// Reads the store of the directory whole (at most 8 MiB) through the trusted
// open of cron_os_read_at. `failed` with the reason in the error text.
cron_os_read_status cron_store_read(const cron_os_dir_t& dir, std::string* text,
                                    std::vector<std::string>* exposed = nullptr);

// The store text of the table: an object with "next_id" and "jobs", four-space
// indent, no final line end. False when a text field is not valid UTF-8.
bool cron_store_format(const crontab_t* ct, std::string* out);

// The store text of one job: two jobs with equal texts have equal stored
// definitions. False when a text field is not valid UTF-8.
bool cron_store_format_job(const cron_job_t& job, std::string* out);

// Fills the empty table from store text, with next_run computed from `now`.
// next_id ends at least at the table's own (and at least 1).
// True when everything the text holds was taken as it stands; false when the
// text is unreadable or something in it was dropped or changed. For a text
// unreadable as a whole, *unreadable (when given) receives the reason, with
// line and column where there is one, and the table stays empty. *lost (when
// given) receives what was dropped or changed first, naming the job.
bool cron_store_parse(crontab_t* ct, const std::string& text, int64_t now, std::string* unreadable = nullptr,
                      std::string* lost = nullptr);
