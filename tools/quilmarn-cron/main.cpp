// quilmarn-cron: a command-line host built only on the public header.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "quilmarn_crontab.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: quilmarn-cron COMMAND [ARGS]\n"
                 "  version\n"
                 "  validate EXPR\n"
                 "  next EXPR [-n COUNT] [--json]\n"
                 "  describe EXPR\n");
    return 2;
}

int cmd_version(int, char**) {
    std::printf("%s\n", crontab_version());
    return 0;
}

// Prints "valid" or the parser's message; exit status 0 or 1.
int cmd_validate(int argc, char** argv) {
    if (argc != 1) return usage();
    char err[256];
    if (crontab_validate_expr(argv[0], err, sizeof err) != 0) {
        std::printf("%s\n", err);
        return 1;
    }
    std::printf("valid\n");
    return 0;
}

// Upcoming local fire times, one per line, or the library's JSON text.
int cmd_next(int argc, char** argv) {
    const char* expr = nullptr;
    int count = 5;
    bool json = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
            char* end = nullptr;
            long n = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || n < 1 || n > 100) {
                std::fprintf(stderr, "quilmarn-cron: COUNT must be 1 to 100\n");
                return 2;
            }
            count = static_cast<int>(n);
        } else if (expr == nullptr) {
            expr = argv[i];
        } else {
            return usage();
        }
    }
    if (expr == nullptr) return usage();
    char err[256];
    bool valid = crontab_validate_expr(expr, err, sizeof err) == 0;
    if (json) {
        std::printf("%s\n", crontab_get_next_runs_json(expr, count));
        return valid ? 0 : 1;
    }
    if (!valid) {
        std::fprintf(stderr, "%s\n", err);
        return 1;
    }
    int64_t t = std::time(nullptr);
    for (int i = 0; i < count && crontab_calc_next(expr, t, &t) == 0; ++i) {
        time_t tt = static_cast<time_t>(t);
        std::tm tm{};
        char text[64];
        if (localtime_r(&tt, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &tm) == 0)
            break;
        std::printf("%s\n", text);
    }
    return 0;
}

int cmd_describe(int argc, char** argv) {
    if (argc != 1) return usage();
    std::printf("%s\n", crontab_describe_expr(argv[0]));
    return crontab_validate_expr(argv[0], nullptr, 0) == 0 ? 0 : 1;
}

struct command {
    const char* name;
    int (*run)(int argc, char** argv);
};

const command commands[] = {
    {"version", cmd_version},
    {"validate", cmd_validate},
    {"next", cmd_next},
    {"describe", cmd_describe},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    for (const command& c : commands) {
        if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
    }
    return usage();
}
