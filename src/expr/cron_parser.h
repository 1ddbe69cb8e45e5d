// Schedule expression parser: five-field cron expressions, macros and
// "@every" intervals into bit sets. Pure; no heap, no shared state.
#pragma once

#include <cstdint>

struct cron_zone;

struct cron_expr_t {
    uint64_t minute_bits;   // bit m: minute m (0..59)
    uint32_t hour_bits;     // bit h: hour h (0..23)
    uint32_t dom_bits;      // bit d: day of month d (1..31)
    uint16_t month_bits;    // bit m: month m (1..12)
    uint8_t dow_bits;       // bit w: weekday w (0 = Sunday .. 6)
    int32_t interval_sec;   // "@every" interval, 0 for calendar expressions
    int32_t valid;          // 1 after a successful parse
    int32_t reboot;         // "@reboot": no calendar fire time; runs once per boot
    const cron_zone* zone;  // of a CRON_TZ= prefix; null: the process's own zone
};

constexpr int CRON_FIELD_MINUTE = 0;
constexpr int CRON_FIELD_HOUR = 1;
constexpr int CRON_FIELD_DOM = 2;
constexpr int CRON_FIELD_MONTH = 3;
constexpr int CRON_FIELD_DOW = 4;

constexpr int CRON_EXPR_MAX_LEN = 255;
constexpr int CRON_FIELD_MAX_LEN = 127;
constexpr int CRON_ERRBUF_SIZE = 256;

// The full patterns: a set equal to its pattern selects every value.
constexpr uint64_t CRON_FULL_MINUTES = (uint64_t{1} << 60) - 1;
constexpr uint32_t CRON_FULL_HOURS = (uint32_t{1} << 24) - 1;
constexpr uint32_t CRON_FULL_DOM = 0xFFFFFFFEu;
constexpr uint16_t CRON_FULL_MONTHS = 0x1FFE;
constexpr uint8_t CRON_FULL_DOW = 0x7F;

// Returns 0 and fills *out, or -1 with a message in err (snprintf contract:
// size > 0 gets "" first and at most size - 1 bytes; size <= 0 is never
// written). A null out returns -1 and writes nothing.
int cron_parse(const char* expr, cron_expr_t* out, char* err, int err_size);

// cron_parse into a scratch record.
int cron_validate(const char* expr, char* err, int err_size);

// The largest of the units "@every" takes that divides `seconds` whole:
// "hour", "minute" or "second", with the number of them in *count.
const char* cron_interval_unit(int32_t seconds, int* count);
