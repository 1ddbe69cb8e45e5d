// The fast next-time search against the minute-stepping reference on random
// expressions, times and zones. QC_DIFF_SEED=<n> repeats a run; QC_DIFF_CASES
// changes its size.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "expr/cron_calc.h"
#include "expr/cron_parser.h"
#include "proc/cron_os.h"
#include "quilmarn_crontab.h"
#include "reference_next.h"
#include "time_util.h"

namespace {

// The reference search costs up to tens of milliseconds a case; sanitizer
// builds run fewer cases to stay within a minute.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int DEFAULT_CASES = 40000;
#else
constexpr int DEFAULT_CASES = 100000;
#endif

// The last is a POSIX rule text, which the process zone leaves to the C
// library; the named ones are also given as CRON_TZ= prefixes.
const char* const zones[] = {"UTC",
                             "America/New_York",
                             "Europe/Berlin",
                             "Australia/Lord_Howe",
                             "America/Sao_Paulo",
                             "Pacific/Chatham",
                             "Asia/Kolkata",
                             "EST5EDT,M3.2.0,M11.1.0"};
constexpr int ZONE_COUNT = 8, NAMED_ZONES = 7;

const int64_t RANGE_START = utc(1971, 1, 1);
const int64_t RANGE_END = utc(2037, 1, 1);

// Instants at which the zone's UTC offset changes, found by daily probes
// refined to the second.
std::vector<int64_t> transitions(const char* zone) {
    set_tz(zone);
    auto offset = [](int64_t t) {
        std::tm tm{};
        cron_os_localtime(t, &tm);
        // Local wall time read as UTC, less the instant (no tm_gmtoff everywhere).
        return utc(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec) - t;
    };
    std::vector<int64_t> out;
    for (int64_t day = RANGE_START; day < RANGE_END; day += 86400) {
        if (offset(day) == offset(day + 86400)) continue;
        int64_t lo = day, hi = day + 86400;
        while (hi - lo > 1) {
            int64_t mid = lo + (hi - lo) / 2;
            (offset(mid) == offset(lo) ? lo : hi) = mid;
        }
        out.push_back(hi);
    }
    return out;
}

class generator {
public:
    explicit generator(uint64_t seed) : rng_(seed) {}

    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    int64_t uniform64(int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng_); }
    bool chance(int percent) { return uniform(1, 100) <= percent; }

    std::string expression() {
        static const char* const macros[] = {"@yearly", "@annually", "@monthly", "@weekly",
                                             "@daily",  "@midnight", "@hourly"};
        int kind = uniform(1, 100);
        if (kind <= 1) return macros[uniform(0, 6)];
        if (kind <= 4) return "@every " + std::to_string(uniform(1, 5000)) + "smh"[uniform(0, 2)];
        // Stars are common, so that most expressions fire often enough for the
        // reference to stay quick; the rest restrict every kind of field.
        return field(0, 59, 35, nullptr) + " " + field(0, 23, 50, nullptr) + " " + field(1, 31, 90, nullptr) +
               " " + field(1, 12, 65, month_names) + " " + field(0, 7, 78, day_names);
    }

private:
    static constexpr const char* month_names[] = {"",    "JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                  "jul", "Aug", "SEP", "OCT", "NOV", "dec"};
    static constexpr const char* day_names[] = {"SUN", "mon", "TUE", "Wed", "THU", "FRI", "SAT", "SUN"};

    std::string value(int v, const char* const* names) {
        if (names != nullptr && chance(30)) return names[v];
        return std::to_string(v);
    }

    std::string item(int lo, int hi, const char* const* names) {
        const bool dow = hi == 7;
        int a = uniform(lo, hi), b = uniform(lo, hi);
        if (!dow && a > b) std::swap(a, b);  // day of week wraps instead
        std::string step = "/" + std::to_string(uniform(1, hi - lo + 2));
        switch (uniform(0, 5)) {
            case 0: return value(a, names);
            case 1: return value(a, names) + "-" + value(b, names);
            case 2: return "*" + step;
            case 3: return value(a, names) + "-" + value(b, names) + step;
            case 4: return value(a, names) + step;
            default: return value(a, names) + "," + value(b, names);
        }
    }

    std::string field(int lo, int hi, int star_percent, const char* const* names) {
        if (chance(star_percent)) return "*";
        std::string text = item(lo, hi, names);
        for (int n = uniform(0, 2); n > 0; --n) text += "," + item(lo, hi, names);
        return text;
    }

    std::mt19937_64 rng_;
};

uint64_t run_seed() {
    if (const char* s = std::getenv("QC_DIFF_SEED")) return std::strtoull(s, nullptr, 10);
    return std::random_device{}();
}

int run_cases() {
    if (const char* s = std::getenv("QC_DIFF_CASES")) return std::atoi(s);
    return DEFAULT_CASES;
}

bool zones_by_name() { return crontab_validate_expr("CRON_TZ=UTC * * * * *", nullptr, 0) == 0; }

// The reference converts through the C library in the process zone (TZ); the
// fast search through the zone library, in the process zone or, for half of
// the cases, in the zone of a CRON_TZ= prefix while TZ names another zone.
TEST(CalcDiff, FastSearchMatchesTheMinuteSteppingSearch) {
    const uint64_t seed = run_seed();
    const int cases = run_cases();
    std::printf("seed %llu, %d cases\n", static_cast<unsigned long long>(seed), cases);
    generator gen(seed);

    std::vector<std::vector<int64_t>> zone_transitions;
    for (const char* zone : zones)
        zone_transitions.push_back(tz_supported(zone) ? transitions(zone) : std::vector<int64_t>());

    int failures = 0, fired = 0, ran = 0;
    const bool named_ok = zones_by_name();
    int named_cases = 0;
    for (int i = 0; i < cases && failures < 10; ++i) {
        const int z = gen.uniform(0, ZONE_COUNT - 1);
        std::string expr = gen.expression();
        const bool named = gen.chance(50) && z < NAMED_ZONES && expr[0] != '@' && named_ok;
        if (named) expr = std::string("CRON_TZ=") + zones[z] + " " + expr;
        cron_expr_t e;
        char err[CRON_ERRBUF_SIZE];
        ASSERT_EQ(cron_parse(expr.c_str(), &e, err, sizeof err), 0)
            << expr << ": " << err << " (seed " << seed << ")";

        // Afters cluster around DST transitions and month ends, where the
        // searches can part ways.
        int64_t after;
        const std::vector<int64_t>& tr = zone_transitions[z];
        const int kind = gen.uniform(1, 100);
        if (kind <= 40 && !tr.empty()) {
            int64_t spread = gen.chance(70) ? 3 * 3600 : 40 * 86400;
            after = tr[gen.uniform(0, static_cast<int>(tr.size()) - 1)] + gen.uniform64(-spread, spread);
        } else if (kind <= 75) {
            int64_t first = utc(gen.uniform(1971, 2036), gen.uniform(1, 12), 1);
            after = first + gen.uniform64(-2 * 86400, 86400);
        } else {
            after = gen.uniform64(RANGE_START, RANGE_END);
        }
        if (gen.chance(50)) after -= after % 60;  // whole minutes are a boundary case

        if (!tz_supported(zones[z])) continue;  // drawn all the same: a seed gives one run everywhere
        ++ran;
        named_cases += named;
        // A prefixed case runs in whatever zone the case before left in TZ.
        if (!named) set_tz(zones[z]);
        const int64_t fast = cron_next_time(&e, after);
        if (named) set_tz(zones[z]);
        const int64_t ref = reference_next_time(&e, after);
        fired += ref != -1;
        if (fast != ref) {
            ++failures;
            ADD_FAILURE() << "seed " << seed << " case " << i << ": TZ=" << zones[z] << " '" << expr
                          << "' after " << after << ": fast " << fast << ", reference " << ref;
        }
    }
    // Guards the generator: most cases must fire, or the test proves little.
    EXPECT_GT(fired, ran / 2) << "seed " << seed;
    if (named_ok) {
        EXPECT_GT(named_cases, ran / 4) << "seed " << seed;
    }
}

}  // namespace

namespace {

// Records a host could build by hand, with bits outside the fields' ranges.
TEST(CalcDiff, StrayBitsAgree) {
    set_tz("UTC");
    cron_expr_t base{};
    ASSERT_EQ(cron_parse("* * * * *", &base, nullptr, 0), 0);
    cron_expr_t no_month = base, late_hours = base, day_zero = base, stray_minutes = base;
    no_month.month_bits = 0x8001;        // only bits that name no month
    late_hours.hour_bits = 0xFF000000u;  // hours 24..31
    day_zero.dom_bits = 1;               // "day 0": restricted, so weekdays decide
    day_zero.dow_bits = 0x82;            // Monday and the unused bit 7
    stray_minutes.minute_bits = uint64_t{0xF} << 60 | uint64_t{1} << 59;
    const int64_t after = utc(2025, 3, 14, 10, 7, 3);
    for (const cron_expr_t& e : {no_month, late_hours, day_zero, stray_minutes})
        EXPECT_EQ(cron_next_time(&e, after), reference_next_time(&e, after));
}

}  // namespace
