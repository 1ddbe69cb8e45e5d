// Files as tables: the label (source file) each imported job came from, so
// that `import --replace` of one file replaces only that file's jobs, as
// the files of /etc/cron.d are tables of their own. Kept by the tool in
// "quilmarn-cron.labels" of the data directory, one "ID<TAB>LABEL" line per
// job: ids are never reused, so a line of a deleted job can mislead nobody
// and goes at the next write.
#pragma once

#include <map>
#include <string>

// The labels of `dir`; empty when there are none or the file is unreadable.
std::map<int, std::string> cron_labels_read(const std::string& dir);

// Replaces the file with `labels`; false when it cannot be written.
bool cron_labels_write(const std::string& dir, const std::map<int, std::string>& labels);
