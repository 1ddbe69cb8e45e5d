// Any bytes as a schedule expression, any moment as `after`, in time zones
// with odd transitions: the parser, the next fire time, the description and
// the expression exports must agree with each other and stay in bounds.
//
// Input: byte 0 picks the zone and how `after` is read, bytes 1..8 give
// `after`, byte 9 a buffer size and a count, the rest is the expression.
#include <rapidjson/document.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "expr/cron_calc.h"
#include "expr/cron_describer.h"
#include "expr/cron_explain.h"
#include "expr/cron_parser.h"
#include "expr/cron_zone.h"
#include "fuzz_check.h"
#include "proc/cron_os.h"
#include "quilmarn_crontab.h"

namespace {

// Zones with a skipped day (Apia, 2011), half-hour DST (Lord Howe), a
// quarter-hour offset (Kathmandu) and seconds in old offsets (Berlin LMT).
constexpr const char* zones[] = {
    "UTC",          "Europe/Berlin",    "America/New_York", "Australia/Lord_Howe", "Asia/Kathmandu",
    "Pacific/Apia", "America/Santiago", "Antarctica/Troll"};
constexpr int64_t base_2025 = 1735689600;

const char* current_zone = nullptr;

void use_zone(const char* zone) {
    if (current_zone == zone) return;
    setenv("TZ", zone, 1);
    tzset();
    current_zone = zone;
}

bool day_matches(const cron_expr_t& e, const std::tm& tm) {
    bool in_dom = (e.dom_bits >> tm.tm_mday) & 1u;
    bool in_dow = (e.dow_bits >> tm.tm_wday) & 1u;
    bool full_dom = e.dom_bits == CRON_FULL_DOM, full_dow = e.dow_bits == CRON_FULL_DOW;
    if (full_dom && full_dow) return true;
    if (full_dom) return in_dow;
    if (full_dow) return in_dom;
    return in_dom || in_dow;
}

bool calendar_match(const cron_expr_t& e, const std::tm& tm) {
    return ((e.minute_bits >> tm.tm_min) & 1u) && ((e.hour_bits >> tm.tm_hour) & 1u) &&
           ((e.month_bits >> (tm.tm_mon + 1)) & 1u) && day_matches(e, tm);
}

// A fire time of a calendar schedule is the start of a local minute that the
// five sets select.
void check_calendar_time(const cron_expr_t& e, int64_t t) {
    std::tm tm{};
    FUZZ_CHECK(cron_tz_localtime(cron_tz_of(e.zone), t, &tm));
    FUZZ_CHECK(tm.tm_sec == 0);
    FUZZ_CHECK(calendar_match(e, tm));
}

// No fire time is passed over: walking local minute starts from `after` for
// up to two days meets no match before the result `t` (-1: none at all). The
// fuzzer places `after` next to transitions, where a jumping search errs.
void check_nothing_skipped(const cron_expr_t& e, int64_t after, int64_t t) {
    if (after > INT64_MAX - 3 * 86400) return;
    const int64_t end = t == -1 ? after + 2 * 86400 : std::min(t, after + 2 * 86400);
    std::tm tm{};
    const cron_tz_t tz = cron_tz_of(e.zone);  // a CRON_TZ= prefix, or the process zone
    for (int64_t m = after + 1; m < end;) {
        if (!cron_tz_localtime(tz, m, &tm)) return;
        if (tm.tm_sec != 0) {  // offsets of old local mean times hold seconds
            m += 60 - tm.tm_sec;
            continue;
        }
        FUZZ_CHECK(!calendar_match(e, tm));
        m += 60;
    }
}

void check_next(const cron_expr_t& e, const char* text, int64_t after) {
    int64_t t = cron_next_time(&e, after);
    FUZZ_CHECK(t == -1 || t > after);
    // The export has no room for times before 1970: it reports them as none.
    int64_t out = 12345;
    int rc = crontab_calc_next(text, after, &out);
    FUZZ_CHECK(rc == (t < 0 ? -1 : 0));
    FUZZ_CHECK(out == (t < 0 ? 12345 : t));
    // "@reboot" has no calendar fire time at all.
    if (e.reboot) FUZZ_CHECK(t == -1);
    if (e.interval_sec == 0 && !e.reboot) check_nothing_skipped(e, after, t);
    if (t == -1) return;
    if (e.interval_sec > 0) {
        FUZZ_CHECK(t % e.interval_sec == 0);
        FUZZ_CHECK(t - after <= e.interval_sec);
    } else {
        check_calendar_time(e, t);
    }
}

// A message cut into a small buffer: the prefix and a zero, nothing past it.
void check_validate_cut(const char* text, int size, int expect_rc, const char* full_msg) {
    char buf[40];
    std::memset(buf, 0x5A, sizeof buf);
    int rc = crontab_validate_expr(text, buf, size);
    FUZZ_CHECK(rc == expect_rc);
    for (int i = size > 0 ? size : 0; i < static_cast<int>(sizeof buf); ++i) FUZZ_CHECK(buf[i] == 0x5A);
    if (size <= 0) return;
    size_t want = std::strlen(full_msg);
    if (want > static_cast<size_t>(size - 1)) want = static_cast<size_t>(size - 1);
    FUZZ_CHECK(std::strlen(buf) == want);
    FUZZ_CHECK(std::memcmp(buf, full_msg, want) == 0);
}

// Every valid expression explains within the buffer, never cut: a larger
// buffer gives the same text.
void check_explain(const cron_expr_t& e, int parse_rc, const char* text, const char* err) {
    static char wide[4 * CRON_EXPLAIN_MAX];
    cron_explain(&e, wide, sizeof wide);
    const char* api = crontab_explain_expr(text);
    if (parse_rc != 0) {
        FUZZ_CHECK(std::strncmp(api, "Invalid expression: ", 20) == 0 && std::strcmp(api + 20, err) == 0);
        return;
    }
    FUZZ_CHECK(std::strlen(wide) < CRON_EXPLAIN_MAX - 1);
    FUZZ_CHECK(std::strcmp(api, wide) == 0);
    for (const char* p = wide; *p != '\0'; ++p) FUZZ_CHECK(*p >= 0x20 && *p < 0x7F);
}

void check_describe(const cron_expr_t& e, int parse_rc, const char* text, const char* err, int size) {
    char full[512];
    cron_describe(&e, text, full, sizeof full);
    const char* api = crontab_describe_expr(text);
    FUZZ_CHECK(std::strlen(api) < 512);
    if (parse_rc == 0) {
        FUZZ_CHECK(full[0] != '\0');
        for (const char* p = full; *p != '\0'; ++p) FUZZ_CHECK(*p >= 0x20 && *p < 0x7F);
        FUZZ_CHECK(std::strcmp(api, full) == 0);
        char small[40];
        std::memset(small, 0x5A, sizeof small);
        cron_describe(&e, text, small, static_cast<size_t>(size));
        for (int i = size; i < static_cast<int>(sizeof small); ++i) FUZZ_CHECK(small[i] == 0x5A);
        if (size > 0) FUZZ_CHECK(std::strncmp(small, full, static_cast<size_t>(size - 1)) == 0);
    } else {
        std::string want = std::string("Invalid expression: ") + err;
        FUZZ_CHECK(want.compare(0, 511, api) == 0);
    }
}

// The list of upcoming times is valid JSON in every case: an array of
// increasing times, or an object with the error.
void check_next_runs(const char* text, int parse_rc, int count) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseValidateEncodingFlag>(crontab_get_next_runs_json(text, count));
    FUZZ_CHECK(!d.HasParseError());
    if (parse_rc != 0) {
        FUZZ_CHECK(d.IsObject() && d.HasMember("error") && d["error"].IsString());
        return;
    }
    FUZZ_CHECK(d.IsArray());
    int want = count < 1 ? 1 : count > 100 ? 100 : count;
    FUZZ_CHECK(static_cast<int>(d.Size()) <= want);
    int64_t prev = INT64_MIN;
    for (const auto& item : d.GetArray()) {
        FUZZ_CHECK(item.IsObject() && item.HasMember("unix") && item["unix"].IsInt64());
        FUZZ_CHECK(item.HasMember("iso") && item["iso"].IsString() && item["iso"].GetStringLength() == 19);
        FUZZ_CHECK(item.HasMember("offset") && item["offset"].IsString() &&
                   item["offset"].GetStringLength() == 6);
        FUZZ_CHECK(item["unix"].GetInt64() > prev);
        prev = item["unix"].GetInt64();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    if (size > 4096) return 0;  // the parser stops at 255 characters; longer adds nothing
    unsigned char head[10] = {};
    size_t head_len = size < sizeof head ? size : sizeof head;
    std::memcpy(head, data, head_len);
    std::string text(reinterpret_cast<const char*>(data) + head_len, size - head_len);

    use_zone(zones[head[0] % (sizeof zones / sizeof zones[0])]);
    uint64_t raw = 0;
    std::memcpy(&raw, head + 1, sizeof raw);
    int64_t after = (head[0] & 0x80) ? static_cast<int64_t>(raw)
                                     : base_2025 + static_cast<int32_t>(static_cast<uint32_t>(raw));
    int small_size = head[9] % 24 - 2;  // -2..21
    // Each upcoming time is a search of up to five years of minutes; a few
    // show the list's shape, and the clamps are cheap to reach from 0.
    int count = head[9] % 4;

    // An embedded zero ends the expression; the exports see the same text.
    const char* expr = text.c_str();
    cron_expr_t e;
    std::memset(&e, 0xA5, sizeof e);
    char err[CRON_ERRBUF_SIZE];
    std::memset(err, 0x5A, sizeof err);
    int rc = cron_parse(expr, &e, err, sizeof err);
    FUZZ_CHECK(rc == 0 || rc == -1);
    FUZZ_CHECK(std::memchr(err, '\0', sizeof err) != nullptr);
    if (rc == 0) {
        FUZZ_CHECK(err[0] == '\0' && e.valid == 1);
        FUZZ_CHECK(e.minute_bits != 0 && (e.minute_bits & ~CRON_FULL_MINUTES) == 0);
        FUZZ_CHECK(e.hour_bits != 0 && (e.hour_bits & ~CRON_FULL_HOURS) == 0);
        FUZZ_CHECK(e.dom_bits != 0 && (e.dom_bits & ~CRON_FULL_DOM) == 0);
        FUZZ_CHECK(e.month_bits != 0 && (e.month_bits & ~CRON_FULL_MONTHS) == 0);
        FUZZ_CHECK(e.dow_bits != 0 && (e.dow_bits & ~CRON_FULL_DOW) == 0);
        FUZZ_CHECK(e.interval_sec >= 0);
    } else {
        FUZZ_CHECK(err[0] != '\0' && e.valid == 0);
    }
    FUZZ_CHECK(cron_validate(expr, nullptr, 0) == rc);
    check_validate_cut(expr, small_size, rc, err);
    check_describe(e, rc, expr, err, small_size < 0 ? 0 : small_size);
    check_explain(e, rc, expr, err);
    if (rc == 0) check_next(e, expr, after);
    check_next_runs(expr, rc, count);
    return 0;
}
