#include "expr/cron_parser.h"

#include "expr/cron_zone.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

int parse_schedule(std::string_view text, cron_expr_t* out, char* err, int size);

constexpr const char* field_names[] = {"minute", "hour", "day-of-month", "month", "day-of-week"};
constexpr const char* month_names[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                       "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr const char* day_names[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
constexpr int field_low[] = {0, 0, 1, 1, 0};
constexpr int field_high[] = {59, 23, 31, 12, 7};

// Item part limits: the longest base before "/", step text, and range end.
constexpr size_t BASE_MAX_LEN = 63;
constexpr size_t STEP_MAX_LEN = 15;
constexpr size_t RANGE_END_MAX_LEN = 31;

struct macro {
    const char* name;
    const char* expansion;
};
constexpr macro macros[] = {
    {"@yearly", "0 0 1 1 *"}, {"@annually", "0 0 1 1 *"}, {"@monthly", "0 0 1 * *"}, {"@weekly", "0 0 * * 0"},
    {"@daily", "0 0 * * *"},  {"@midnight", "0 0 * * *"}, {"@hourly", "0 * * * *"},
};

// The expression language is ASCII; the C library's locale-dependent
// classification must not widen it.
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char to_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (to_upper(a[i]) != to_upper(b[i])) return false;
    }
    return true;
}

// Writes a message under the buffer contract: nothing when size <= 0.
[[gnu::format(printf, 3, 4)]] int fail(char* err, int size, const char* fmt, ...) {
    if (err != nullptr && size > 0) {
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(err, static_cast<size_t>(size), fmt, ap);
        va_end(ap);
    }
    return -1;
}

// Reads an optionally signed decimal integer from the front of `s`,
// saturating at `limit` in magnitude. Returns the number of characters used,
// 0 when there are no digits.
size_t read_integer(std::string_view s, int64_t limit, int64_t* value) {
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    size_t digits_start = i;
    int64_t v = 0;
    for (; i < s.size() && is_digit(s[i]); ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > limit) v = limit + 1;  // stays saturated without overflowing
    }
    if (i == digits_start) return 0;
    if (v > limit) v = limit;
    *value = negative ? -v : v;
    return i;
}

// A whole text that is one decimal integer; too large a magnitude reads as
// the nearest 32-bit limit.
bool whole_integer(std::string_view s, int* value) {
    int64_t v = 0;
    if (s.empty() || read_integer(s, int64_t{1} << 31, &v) != s.size()) return false;
    if (v > INT32_MAX) v = INT32_MAX;
    *value = static_cast<int>(v);
    return true;
}

int parse_number_or_name(std::string_view text, int field, int* value) {
    if (text.empty()) return -1;
    if (is_alpha(text[0])) {
        const char* const* names = nullptr;
        int count = 0, first = 0;
        if (field == CRON_FIELD_MONTH) {
            names = month_names, count = 12, first = 1;
        } else if (field == CRON_FIELD_DOW) {
            names = day_names, count = 7, first = 0;
        }
        if (names == nullptr || text.size() < 3) return -1;
        // Letters only: "MON#2" or "FRI#L" must not quietly mean every Monday
        // or every Friday.
        for (char c : text) {
            if (!is_alpha(c)) return -1;
        }
        // Only three letters count, so "Mon" and "Monday" both name Monday.
        for (int i = 0; i < count; ++i) {
            if (equal_nocase(text.substr(0, 3), names[i])) {
                *value = first + i;
                return 0;
            }
        }
        return -1;
    }
    return whole_integer(text, value) ? 0 : -1;
}

template <class Bits>
void set_run(Bits* bits, int start, int end, int step) {
    // 64-bit counter: a step near INT32_MAX must not overflow past the end.
    for (int64_t v = start; v <= end; v += step) *bits |= static_cast<Bits>(Bits{1} << v);
}

// Day of week: 7 is Sunday, and a start above the end wraps past Saturday.
void set_dow(uint8_t* bits, int s, int e, int step) {
    if (s == 7 && e == 7) {
        *bits |= 1;
        return;
    }
    if (s == 0 && e == 7) {
        // "0-7" is the whole week, as every cron reads it; 7 is Sunday again,
        // already in the run from 0.
        set_run(bits, 0, 6, step);
        return;
    }
    if (s == 7) s = 0;
    if (e == 7) e = 0;
    if (s > e) {
        set_run(bits, s, 6, step);
        set_run(bits, 0, e, step);
    } else {
        set_run(bits, s, e, step);
    }
}

int parse_item(std::string_view item, int field, cron_expr_t* out, char* err, int size) {
    const char* name = field_names[field];
    const int n = static_cast<int>(item.size());
    const char* text = item.data();

    std::string_view base = item;
    int step = 1;
    size_t slash = item.find('/');
    if (slash != std::string_view::npos) {
        base = item.substr(0, slash);
        std::string_view step_text = item.substr(slash + 1);
        if (base.size() > BASE_MAX_LEN || step_text.size() > STEP_MAX_LEN)
            return fail(err, size, "Invalid %s field '%.*s'", name, n, text);
        if (!whole_integer(step_text, &step) || step < 1)
            return fail(err, size, "Invalid %s field '%.*s': step must be a positive integer", name, n, text);
    } else if (base.size() > BASE_MAX_LEN) {
        // A longer item would be examined only in part and could read as a
        // different value; refuse it like an over-long base.
        return fail(err, size, "Invalid %s field '%.*s'", name, n, text);
    }

    int start = 0, end = 0;
    if (base == "*") {
        start = field_low[field];
        end = field == CRON_FIELD_DOW ? 6 : field_high[field];
    } else if (size_t dash = base.find('-'); dash != std::string_view::npos) {
        std::string_view lo = base.substr(0, dash), hi = base.substr(dash + 1);
        if (lo.size() > RANGE_END_MAX_LEN || hi.size() > RANGE_END_MAX_LEN)
            return fail(err, size, "Invalid %s field '%.*s'", name, n, text);
        if (parse_number_or_name(lo, field, &start) != 0 || parse_number_or_name(hi, field, &end) != 0)
            return fail(err, size, "Invalid %s field '%.*s': cannot parse range", name, n, text);
    } else {
        if (parse_number_or_name(base, field, &start) != 0)
            return fail(err, size, "Invalid %s field '%.*s': cannot parse value", name, n, text);
        end = start;
        // "a/n" runs from a to the end of what "*" covers, as "*/n" does.
        if (slash != std::string_view::npos) {
            if (field == CRON_FIELD_DOW && start == 7) start = 0;
            end = field == CRON_FIELD_DOW ? 6 : field_high[field];
        }
    }

    if (field == CRON_FIELD_DOW) {
        if (start < 0 || start > 7 || end < 0 || end > 7)
            return fail(err, size, "Invalid day-of-week field '%.*s': value must be between 0 and 7", n,
                        text);
        set_dow(&out->dow_bits, start, end, step);
        return 0;
    }
    const int low = field_low[field], high = field_high[field];
    if (start < low || start > high || end < low || end > high)
        return fail(err, size, "Invalid %s field '%.*s': value must be between %d and %d", name, n, text, low,
                    high);
    if (start > end)
        return fail(err, size, "Invalid %s field '%.*s': range start greater than end", name, n, text);
    switch (field) {
        case CRON_FIELD_MINUTE: set_run(&out->minute_bits, start, end, step); break;
        case CRON_FIELD_HOUR: set_run(&out->hour_bits, start, end, step); break;
        case CRON_FIELD_DOM: set_run(&out->dom_bits, start, end, step); break;
        default: set_run(&out->month_bits, start, end, step); break;
    }
    return 0;
}

// Adds the bits of one field's text to `out`; bits of items before a failing
// one stay set.
int parse_field(std::string_view text, int field, cron_expr_t* out, char* err, int size) {
    const char* name = field_names[field];
    if (text.empty()) return fail(err, size, "Empty %s field", name);
    if (text.size() > static_cast<size_t>(CRON_FIELD_MAX_LEN))
        return fail(err, size, "Invalid %s field: too long", name);
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (item.empty()) continue;  // ",," and leading or trailing commas
        if (parse_item(item, field, out, err, size) != 0) return -1;
    }
    return 0;
}

int parse_every(std::string_view text, cron_expr_t* out, char* err, int size) {
    size_t i = 6;  // after "@every"
    while (i < text.size() && is_space(text[i])) ++i;
    if (i == text.size()) return fail(err, size, "Invalid @every: missing interval");
    int64_t count = 0;
    // Saturate well above what any unit can accept, so that too large a count
    // is refused rather than clamped into a different interval.
    size_t used = read_integer(text.substr(i), int64_t{1} << 40, &count);
    if (used == 0 || count <= 0)
        return fail(err, size, "Invalid @every: interval must be a positive integer");
    i += used;
    while (i < text.size() && is_space(text[i])) ++i;
    if (i == text.size()) return fail(err, size, "Invalid @every: missing unit (s, m, or h)");
    int64_t seconds = 0;
    switch (to_upper(text[i])) {
        case 'S':
            if (i + 1 < text.size() && !is_space(text[i + 1]))
                return fail(err, size, "Invalid @every: expected unit s, m, or h");
            seconds = count;
            break;
        case 'M': seconds = count * 60; break;  // "min", "minutes": the rest is not examined
        case 'H': seconds = count * 3600; break;
        default: return fail(err, size, "Invalid @every: expected unit s, m, or h");
    }
    if (seconds > INT32_MAX) return fail(err, size, "Invalid @every: interval must be a positive integer");
    out->interval_sec = static_cast<int32_t>(seconds);
    out->minute_bits = CRON_FULL_MINUTES;
    out->hour_bits = CRON_FULL_HOURS;
    out->dom_bits = CRON_FULL_DOM;
    out->month_bits = CRON_FULL_MONTHS;
    out->dow_bits = CRON_FULL_DOW;
    out->valid = 1;
    return 0;
}

int parse_macro(std::string_view text, cron_expr_t* out, char* err, int size) {
    for (const macro& m : macros) {
        if (equal_nocase(text, m.name)) return parse_schedule(m.expansion, out, err, size);
    }
    if (text.size() >= 6 && equal_nocase(text.substr(0, 6), "@every"))
        return parse_every(text, out, err, size);
    if (equal_nocase(text, "@reboot")) {
        // Full sets keep every record's fields in range; the flag rules.
        out->minute_bits = CRON_FULL_MINUTES;
        out->hour_bits = CRON_FULL_HOURS;
        out->dom_bits = CRON_FULL_DOM;
        out->month_bits = CRON_FULL_MONTHS;
        out->dow_bits = CRON_FULL_DOW;
        out->reboot = 1;
        out->valid = 1;
        return 0;
    }
    return fail(err, size, "Unknown macro '%.*s'", static_cast<int>(text.size()), text.data());
}

// "CRON_TZ=<zone> " or "TZ=<zone> " before the schedule: sets *zone and
// moves `text` past the prefix. Text without a prefix is left alone.
int parse_zone_prefix(std::string_view* text, const cron_zone** zone, char* err, int size) {
    size_t skip = 0;
    if (text->starts_with("CRON_TZ=")) {
        skip = 8;
    } else if (text->starts_with("TZ=")) {
        skip = 3;
    } else {
        return 0;
    }
    size_t end = skip;
    while (end < text->size() && !is_blank((*text)[end])) ++end;
    const std::string_view name = text->substr(skip, end - skip);
    const int n = static_cast<int>(name.size());
    switch (cron_zone_find(name, zone)) {
        case 0: break;
        case CRON_ZONE_UNSUPPORTED:
            return fail(err, size, "Time zones by name are not available on this platform");
        case CRON_ZONE_TOO_MANY:
            return fail(err, size, "Too many time zones in use; '%.*s' is not loaded", n, name.data());
        default: return fail(err, size, "Unknown time zone '%.*s'", n, name.data());
    }
    while (end < text->size() && is_blank((*text)[end])) ++end;
    text->remove_prefix(end);
    if (text->size() >= 6 && equal_nocase(text->substr(0, 6), "@every"))
        return fail(err, size, "A time zone has no meaning for @every");
    if (equal_nocase(*text, "@reboot")) return fail(err, size, "A time zone has no meaning for @reboot");
    return 0;
}

// The schedule proper: a macro, "@every" or five fields, trimmed.
int parse_schedule(std::string_view text, cron_expr_t* out, char* err, int err_size) {
    if (text.empty()) return fail(err, err_size, "Expression is empty");
    if (text.front() == '@') return parse_macro(text, out, err, err_size);

    // Fields are separated by runs of spaces and tabs; other white space
    // inside the text belongs to a field.
    std::string_view fields[5];
    int count = 0;
    for (size_t i = 0; i < text.size();) {
        while (i < text.size() && is_blank(text[i])) ++i;
        if (i == text.size()) break;
        size_t start = i;
        while (i < text.size() && !is_blank(text[i])) ++i;
        if (count == 5) return fail(err, err_size, "Expression has too many fields (expected 5)");
        fields[count++] = text.substr(start, i - start);
    }
    if (count < 5) return fail(err, err_size, "Expression has %d fields (expected 5)", count);

    for (int f = 0; f < 5; ++f) {
        if (parse_field(fields[f], f, out, err, err_size) != 0) return -1;
    }
    if (out->minute_bits == 0 || out->hour_bits == 0 || out->dom_bits == 0 || out->month_bits == 0 ||
        out->dow_bits == 0)
        return fail(err, err_size, "Expression matches no times");
    out->valid = 1;
    return 0;
}

}  // namespace

int cron_parse(const char* expr, cron_expr_t* out, char* err, int err_size) {
    if (out == nullptr) return -1;
    *out = cron_expr_t{};
    if (err != nullptr && err_size > 0) err[0] = '\0';
    if (expr == nullptr) return fail(err, err_size, "Expression is NULL");

    std::string_view text(expr);
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    if (text.empty()) return fail(err, err_size, "Expression is empty");
    if (text.size() > static_cast<size_t>(CRON_EXPR_MAX_LEN))
        return fail(err, err_size, "Expression is too long");
    const cron_zone* zone = nullptr;
    if (parse_zone_prefix(&text, &zone, err, err_size) != 0) return -1;
    if (parse_schedule(text, out, err, err_size) != 0) return -1;
    out->zone = zone;
    return 0;
}

int cron_validate(const char* expr, char* err, int err_size) {
    cron_expr_t scratch;
    return cron_parse(expr, &scratch, err, err_size);
}

const char* cron_interval_unit(int32_t seconds, int* count) {
    if (seconds % 3600 == 0) {
        *count = seconds / 3600;
        return "hour";
    }
    if (seconds % 60 == 0) {
        *count = seconds / 60;
        return "minute";
    }
    *count = seconds;
    return "second";
}
