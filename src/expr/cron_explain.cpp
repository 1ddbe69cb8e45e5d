#include "expr/cron_explain.h"

#include <bit>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "expr/cron_zone.h"

namespace {

constexpr const char* day_names[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};
constexpr const char* month_names[] = {"",        "January",  "February", "March",  "April",
                                       "May",     "June",     "July",     "August", "September",
                                       "October", "November", "December"};

// Appends to a fixed buffer; text beyond its end is dropped.
struct text_out {
    char* buf;
    size_t size;
    size_t used = 0;

    [[gnu::format(printf, 2, 3)]] void add(const char* fmt, ...) {
        if (used + 1 >= size) return;
        va_list ap;
        va_start(ap, fmt);
        int n = std::vsnprintf(buf + used, size - used, fmt, ap);
        va_end(ap);
        if (n > 0) used = used + static_cast<size_t>(n) < size ? used + static_cast<size_t>(n) : size - 1;
    }
};

bool has(uint64_t bits, int v) { return (bits >> v) & 1u; }
int count(uint64_t bits) { return std::popcount(bits); }
int lowest(uint64_t bits) { return std::countr_zero(bits); }
int highest(uint64_t bits) { return 63 - std::countl_zero(bits); }

// The constant distance between the selected values, or 0 when there is
// none (fewer than two values, or uneven gaps).
int even_step(uint64_t bits) {
    if (count(bits) < 2) return 0;
    const int first = lowest(bits), step = lowest(bits & ~(uint64_t{1} << first)) - first;
    for (int v = first; v <= highest(bits); v += step) {
        if (!has(bits, v)) return 0;
    }
    return count(bits) == (highest(bits) - first) / step + 1 ? step : 0;
}

// One value or a run of values, as the caller names them.
using value_writer = void (*)(text_out&, int);

// The values of a linear field as "a, b, c through d and e": runs of three or
// more are ranges, shorter ones single values.
void write_list(text_out& out, uint64_t bits, int lo, int hi, value_writer value) {
    struct run {
        int first, last;
    };
    run parts[64];
    int n = 0;
    for (int v = lo; v <= hi; ++v) {
        if (!has(bits, v)) continue;
        int last = v;
        while (last + 1 <= hi && has(bits, last + 1)) ++last;
        if (last - v >= 2) {
            parts[n++] = {v, last};
        } else {
            for (int w = v; w <= last; ++w) parts[n++] = {w, w};
        }
        v = last;
    }
    for (int i = 0; i < n; ++i) {
        if (i > 0) out.add(i == n - 1 ? " and " : ", ");
        value(out, parts[i].first);
        if (parts[i].last != parts[i].first) {
            out.add(" through ");
            value(out, parts[i].last);
        }
    }
}

void write_number(text_out& out, int v) { out.add("%d", v); }
void write_month(text_out& out, int m) { out.add("%s", month_names[m]); }

// Days of the week in calendar order, a run that passes Saturday kept whole:
// FRI-MON is "Friday through Monday".
void write_weekdays(text_out& out, uint8_t dow) {
    struct run {
        int first, length;
    };
    run parts[7];
    int n = 0;
    for (int d = 0; d < 7; ++d) {
        if (!has(dow, d) || has(dow, (d + 6) % 7)) continue;  // not the start of a run
        int length = 1;
        while (length < 7 && has(dow, (d + length) % 7)) ++length;
        if (length >= 3) {
            parts[n++] = {d, length};
        } else {
            for (int k = 0; k < length; ++k) parts[n++] = {(d + k) % 7, 1};
        }
    }
    for (int i = 0; i < n; ++i) {
        if (i > 0) out.add(i == n - 1 ? " and " : ", ");
        out.add("%s", day_names[parts[i].first]);
        if (parts[i].length > 1)
            out.add(" through %s", day_names[(parts[i].first + parts[i].length - 1) % 7]);
    }
}

void write_months(text_out& out, uint16_t months) { write_list(out, months, 1, 12, write_month); }

// Hours as windows of wall-clock time: "from 09:00 through 17:59".
void write_hour_windows(text_out& out, uint32_t hours) {
    int runs = 0;
    for (int h = 0; h < 24; ++h) runs += has(hours, h) && (h == 0 || !has(hours, h - 1));
    int done = 0;
    for (int h = 0; h < 24; ++h) {
        if (!has(hours, h)) continue;
        int last = h;
        while (last + 1 < 24 && has(hours, last + 1)) ++last;
        if (done > 0) out.add(done == runs - 1 ? " and " : ", ");
        out.add("from %02d:00 through %02d:59", h, last);
        ++done;
        h = last;
    }
}

void write_interval(text_out& out, int seconds) {
    int n = 0;
    const char* unit = cron_interval_unit(seconds, &n);
    if (n == 1) {
        out.add("Every %s", unit);
    } else {
        out.add("Every %d %ss", n, unit);
    }
    out.add(", counted from 1970-01-01 00:00:00 UTC");
}

// The times of day. Returns true for a sentence that names clock times only
// ("At 09:00"), which then needs "every day" when no day restricts.
bool write_times(text_out& out, uint64_t minutes, uint32_t hours) {
    const bool all_hours = hours == CRON_FULL_HOURS;
    const int nm = count(minutes), nh = count(hours);
    if (!all_hours && nm * nh <= 6) {
        out.add("At ");
        int done = 0;
        for (int h = 0; h < 24; ++h) {
            for (int m = 0; m < 60 && has(hours, h); ++m) {
                if (!has(minutes, m)) continue;
                if (done > 0) out.add(done == nm * nh - 1 ? " and " : ", ");
                out.add("%02d:%02d", h, m);
                ++done;
            }
        }
        return true;
    }
    if (nm == 1) {
        const int m = lowest(minutes);
        if (all_hours) {
            if (m == 0) {
                out.add("Every hour on the hour");
            } else {
                out.add("Every hour at minute %d", m);
            }
            return false;
        }
        if (int step = nh >= 3 ? even_step(hours) : 0; step != 0) {
            if (step == 1) {
                out.add("Every hour");
            } else {
                out.add("Every %d hours", step);
            }
            out.add(" from %02d:%02d through %02d:%02d", lowest(hours), m, highest(hours), m);
            return false;
        }
        out.add("At ");
        int done = 0;
        for (int h = 0; h < 24; ++h) {
            if (!has(hours, h)) continue;
            if (done > 0) out.add(done == nh - 1 ? " and " : ", ");
            out.add("%02d:%02d", h, m);
            ++done;
        }
        return true;
    }

    // Several minutes in each selected hour.
    const char* of_hours = all_hours ? " of every hour" : " of each hour, ";
    if (minutes == CRON_FULL_MINUTES) {
        out.add("Every minute");
        if (!all_hours) out.add(", ");
    } else if (int step = even_step(minutes);
               step != 0 && lowest(minutes) == 0 && highest(minutes) + step == 60) {
        out.add("Every %d minutes", step);
        if (!all_hours) out.add(", ");
    } else if (step == 1) {
        out.add("Every minute from minute %d through minute %d%s", lowest(minutes), highest(minutes),
                of_hours);
    } else if (step != 0 && nm >= 3) {
        out.add("Every %d minutes from minute %d through minute %d%s", step, lowest(minutes),
                highest(minutes), of_hours);
    } else {
        out.add("At minutes ");
        write_list(out, minutes, 0, 59, write_number);
        out.add("%s", of_hours);
    }
    if (!all_hours) write_hour_windows(out, hours);
    return false;
}

// "day 13 of the month", "days 1 and 15 of June", "February 29".
void write_dom(text_out& out, uint32_t dom, uint16_t months) {
    if (std::has_single_bit(months)) {
        out.add("%s ", month_names[lowest(months)]);
        write_list(out, dom, 1, 31, write_number);
        return;
    }
    out.add(count(dom) == 1 ? "day " : "days ");
    write_list(out, dom, 1, 31, write_number);
    if (months == CRON_FULL_MONTHS) {
        out.add(" of the month");
    } else {
        out.add(" of ");
        write_months(out, months);
    }
}

}  // namespace

char* cron_explain(const cron_expr_t* e, char* buf, size_t size) {
    if (buf == nullptr) return nullptr;
    if (size == 0) return buf;
    buf[0] = '\0';
    text_out out{buf, size};
    if (e == nullptr || e->valid == 0) {
        out.add("Invalid expression");
        return buf;
    }
    if (e->reboot) {
        out.add("Once after the machine starts");
        return buf;
    }
    if (e->interval_sec > 0) {
        write_interval(out, e->interval_sec);
        return buf;
    }
    const uint64_t minutes = e->minute_bits & CRON_FULL_MINUTES;
    const uint32_t hours = e->hour_bits & CRON_FULL_HOURS;
    const uint32_t dom = e->dom_bits & CRON_FULL_DOM;
    const uint16_t months = e->month_bits & CRON_FULL_MONTHS;
    const uint8_t dow = e->dow_bits & CRON_FULL_DOW;
    const bool all_dom = e->dom_bits == CRON_FULL_DOM, all_dow = e->dow_bits == CRON_FULL_DOW;
    const bool all_months = months == CRON_FULL_MONTHS;

    const bool clock_times = write_times(out, minutes, hours);
    if (all_dom && all_dow) {
        if (clock_times) out.add(" every day");
        if (!all_months) {
            out.add(" in ");
            write_months(out, months);
        }
    } else if (all_dow) {
        out.add(" on ");
        write_dom(out, dom, months);
    } else if (all_dom) {
        out.add(", ");
        write_weekdays(out, dow);
        if (!all_months) {
            out.add(", in ");
            write_months(out, months);
        }
    } else {
        // Both restricted: a day matches when either matches.
        out.add(" on ");
        write_dom(out, dom, months);
        out.add(", or on ");
        write_weekdays(out, dow);
        if (!all_months) {
            out.add(" in ");
            write_months(out, months);
        }
    }
    if (e->zone != nullptr) out.add(", %s time", cron_zone_name(e->zone));
    return buf;
}
