// quilmarn-cron: a command-line host built only on the public header. The
// commands live in the table of cli.h; this file reads the options that
// come before the command.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"

namespace {

const char* const global_options[] = {"--dir", "--help", "--version"};

// The data directory without --dir: QUILMARN_CRON_DIR, else one per system
// for root and one in the user's XDG state directory for others. Null when
// neither can be named (no HOME).
const char* default_dir() {
    static std::string dir;
    if (const char* env = std::getenv("QUILMARN_CRON_DIR"); env != nullptr && env[0] != '\0') return env;
    if (::geteuid() == 0) return "/var/lib/quilmarn-cron/default";
    // XDG base directories count only when absolute; a relative one is ignored.
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
        dir = std::string(state) + "/quilmarn-cron";
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        dir = std::string(home) + "/.local/state/quilmarn-cron";
    } else {
        return nullptr;
    }
    return dir.c_str();
}

}  // namespace

int main(int argc, char** argv) {
    cmd_ctx ctx;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            cron_cmd_help(ctx.out);
            return EXIT_OK;
        }
        if (std::strcmp(a, "--version") == 0 || std::strcmp(a, "-V") == 0) {
            char version[] = "version";
            char* args[] = {version, nullptr};
            return cron_cmd_dispatch(ctx, 1, args);
        }
        if (std::strcmp(a, "--dir") == 0) {
            if (i + 1 >= argc) return ctx.usage_error("option '--dir' needs a value (DIR)");
            ctx.dir = argv[++i];
        } else if (std::strncmp(a, "--dir=", 6) == 0) {
            ctx.dir = a + 6;
        } else {
            std::string word = a;
            word = word.substr(0, word.find('='));
            const char* near = nullptr;
            for (const char* o : global_options) {
                if (cron_edit_distance(word, o) <= 2) near = o;
            }
            if (near != nullptr) return ctx.usage_error("unknown option '%s'; did you mean '%s'?", a, near);
            return ctx.usage_error("unknown option '%s' (see 'quilmarn-cron --help')", a);
        }
    }
    if (ctx.dir != nullptr && ctx.dir[0] == '\0')
        return ctx.usage_error("--dir needs a directory, not an empty text");
    ctx.dir_given = ctx.dir != nullptr;
    if (ctx.dir == nullptr) ctx.dir = default_dir();
    if (i >= argc) {
        cron_cmd_help(ctx.err);
        return EXIT_USAGE;
    }
    int rc = cron_cmd_invoke(ctx, argc - i, argv + i);
    ctx.close();
    return rc;
}
