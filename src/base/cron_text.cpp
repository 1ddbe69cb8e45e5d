#include "base/cron_text.h"

#include <cstring>

namespace {

// Length of the well-formed sequence starting at s[i], or 0 when ill-formed.
size_t sequence_length(std::string_view s, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) return 1;
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;  // overlong
        if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;  // overlong
        if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = 2; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    return len;
}

}  // namespace

size_t cron_utf8_valid_prefix(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = sequence_length(s, i);
        if (n == 0) return i;
        i += n;
    }
    return s.size();
}

bool cron_utf8_valid(std::string_view s) { return cron_utf8_valid_prefix(s) == s.size(); }

size_t cron_utf8_cut(std::string_view s, size_t max_bytes) {
    if (s.size() <= max_bytes) return s.size();
    size_t end = max_bytes;
    // Back up over continuation bytes to the start of the cut character.
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
    return end;
}

void cron_copy_text(char* dst, size_t dst_size, const char* src) {
    if (dst == nullptr || dst_size == 0) return;
    std::string_view s = src != nullptr ? std::string_view(src) : std::string_view("");
    size_t n = cron_utf8_cut(s, dst_size - 1);
    std::memcpy(dst, s.data(), n);
    dst[n] = '\0';
}

std::string cron_utf8_sanitize(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        size_t n = sequence_length(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}
