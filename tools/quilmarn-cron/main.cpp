// quilmarn-cron: a command-line host built only on the public header.
#include <cstdio>
#include <cstring>

#include "quilmarn_crontab.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: quilmarn-cron COMMAND [ARGS]\n"
                 "  version\n");
    return 2;
}

int cmd_version(int, char**) {
    std::printf("%s\n", crontab_version());
    return 0;
}

struct command {
    const char* name;
    int (*run)(int argc, char** argv);
};

const command commands[] = {
    {"version", cmd_version},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    for (const command& c : commands) {
        if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
    }
    return usage();
}
