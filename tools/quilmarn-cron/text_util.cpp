#include "text_util.h"

#include <algorithm>
#include <ctime>

namespace {

// The length of the character at s[i], or 0 when the bytes there are none.
size_t char_length(std::string_view s, size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    unsigned cp = n == 1 ? c : c & (0x7Fu >> n);
    for (size_t k = 1; k < n; ++k) {
        auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

bool cron_text_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = char_length(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string cron_text_repair(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        size_t n = char_length(s, i);
        if (n != 0) {
            out.append(s, i, n);
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

std::string cron_text_cut(std::string_view s, size_t at) {
    size_t end = at < s.size() ? at : s.size();
    while (end > 0 && end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
    return std::string(s.substr(0, end)) + "...";
}

std::string cron_first_line(const std::string& text, size_t max) {
    std::string s = text.substr(0, text.find('\n'));
    if (!s.empty() && s.back() == '\r') s.pop_back();
    return s.size() <= max ? s : cron_text_cut(s, max);
}

std::string cron_local_time(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    std::tm tm{};
    char text[32];
    if (localtime_r(&tt, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm) == 0) {
        return "?";
    }
    return text;
}

std::vector<char*> cron_c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

bool cron_name_like_number(std::string_view name) {
    if (!name.empty() && (name[0] == '+' || name[0] == '-')) name.remove_prefix(1);
    return !name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos;
}

bool cron_id_syntax(std::string_view text) {
    return !text.empty() && text[0] != '0' && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string cron_format_duration(int64_t s) {
    if (s != 0 && s % 3600 == 0) return std::to_string(s / 3600) + "h";
    if (s != 0 && s % 60 == 0) return std::to_string(s / 60) + "m";
    return std::to_string(s) + "s";
}

size_t cron_edit_distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}
