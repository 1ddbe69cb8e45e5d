// UTF-8 helpers: invalid UTF-8 never enters the job table, and every cut of a
// text to its field ends on a character boundary.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// True when `s` is well-formed UTF-8 (no overlongs, surrogates or values above
// U+10FFFF).
bool cron_utf8_valid(std::string_view s);

// Length of the longest well-formed prefix of `s`: s.size() when it is all
// valid, else the offset of the first ill-formed sequence.
size_t cron_utf8_valid_prefix(std::string_view s);

// Length of the longest prefix of `s` of at most `max_bytes` bytes that does
// not end inside a multi-byte character.
size_t cron_utf8_cut(std::string_view s, size_t max_bytes);

// Copies `src` into `dst` (size `dst_size` > 0), cut on a character boundary to
// at most dst_size - 1 bytes, and always zero-terminates. A null src copies "".
void cron_copy_text(char* dst, size_t dst_size, const char* src);

// `s` with every ill-formed sequence replaced by U+FFFD.
std::string cron_utf8_sanitize(std::string_view s);
