// The Prometheus text format (0.0.4) of the library's statistics report.
#pragma once

#include <string>
#include <string_view>

// Renders `stats_json` (crontab_copy_stats_json's text) with the build info
// of `tool_version` and `lib_version`. False when the text is not such a
// report.
bool http_metrics_text(std::string_view stats_json, const char* tool_version, const char* lib_version,
                       std::string* out);

// `s` as a label value: backslash, double quote and line feed escaped.
void http_label_escape(std::string_view s, std::string* out);
