// Text helpers of the tool: UTF-8, cuts on a character boundary, local times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Whether `s` is valid UTF-8 (no overlong forms, surrogates or code points
// past U+10FFFF).
bool cron_text_utf8(std::string_view s);

// `s` with every byte that does not form a character replaced by U+FFFD.
std::string cron_text_repair(std::string_view s);

// The first `at` bytes of `s`, cut back to a character boundary, and "..."
// to mark the cut.
std::string cron_text_cut(std::string_view s, size_t at);

// The first line of `text`, cut on a character boundary to at most `max`
// bytes ("..." marks a cut).
std::string cron_first_line(const std::string& text, size_t max = 200);

// Epoch seconds as local "YYYY-MM-DD HH:MM:SS", or "?" when they cannot be.
std::string cron_local_time(int64_t t);

// Whether `name` could be read as a number, and so as a job id: an
// optional sign and digits only ("1", "+1", "-3", "0123"). The tool gives
// no job such a name; the library takes any.
bool cron_name_like_number(std::string_view name);

// Whether `text` is a job id as the command line writes one: plain decimal,
// no sign, no leading zero. Any other word names a job by its name.
bool cron_id_syntax(std::string_view text);

// "90s", "5m", "2h" or plain seconds: the shortest exact form.
std::string cron_format_duration(int64_t seconds);

// Edit distance, for "did you mean".
size_t cron_edit_distance(const std::string& a, const std::string& b);

// Pointers to the texts of `strings` and a null after them, as argv and envp
// take them; valid while `strings` lives unchanged.
std::vector<char*> cron_c_strings(std::vector<std::string>& strings);
