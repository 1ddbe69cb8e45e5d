// Commands beside the process that owns the directory (the daemon, or a
// `run` without one): a command marked CMD_FORWARD is sent over its socket
// and carried out there, against the instance that runs the jobs. Without
// such an owner the command opens the directory itself.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "control.h"
#include "control_server.h"
#include "dir_files.h"
#include "dir_lock.h"
#include "mem_stream.h"

namespace {

using namespace std::chrono_literals;

constexpr auto OWNER_START = 3s;   // the longest wait for an owner that has the lock but no socket yet
constexpr auto OWNER_LISTEN = 5s;  // as long as a command waits for another owner

// One command at a time changes the jobs, so the checks a handler makes
// (a name not taken yet) still hold when it acts. A run only waits, and a
// read changes nothing: neither holds up the others nor waits for them.
std::mutex change_mutex;

bool read_input(cmd_ctx& ctx, std::string* text) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, ctx.in)) > 0) {
        text->append(buf, n);
        if (text->size() > CTL_MAX_INPUT) {
            return ctx.refuse("standard input is larger than the %zu MiB a daemon takes",
                              CTL_MAX_INPUT >> 20);
        }
    }
    return true;
}

// The option of `c` that `arg` names, when it takes a value in the next word.
bool takes_value(const command& c, const std::string& arg) {
    for (const cmd_option& o : c.options) {
        if (arg == o.name) return o.value != nullptr;
    }
    return false;
}

// The process that answered, in messages: a daemon, or a foreground run.
std::string server_name(const cmd_ctx& ctx, const ctl_peer& server) {
    lock_role role = lock_role::daemon;
    if (cron_owner_role(ctx.dir, server.pid, &role) && role == lock_role::run) {
        return "the run of process " + std::to_string(server.pid) + " in " + ctx.dir;
    }
    return std::string("the daemon of ") + ctx.dir;
}

int forward(cmd_ctx& ctx, const command& c, int fd, const ctl_peer& server, int argc, char** argv) {
    unique_fd conn(fd);
    ctl_request req;
    bool positional = false;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        const bool value = i > 0 && !positional && takes_value(c, argv[i - 1]);
        if (a == "--" && !positional) {
            positional = true;
            req.argv.push_back(a);
            continue;
        }
        // The daemon's working directory is not ours: a file to import is
        // named from the root. The daemon may read no more than we may:
        // only root and its own user reach it.
        if (i > 0 && std::strcmp(c.name, "import") == 0 && !value && a != "-" &&
            (positional || a[0] != '-') && a[0] != '/') {
            std::error_code ec;
            a = (std::filesystem::current_path(ec) / a).string();
        }
        req.argv.push_back(a);
        if (a == "-" && !value && ctx.input_taken) {
            req.input = ctx.input_read;
        } else if (a == "-" && !value && !read_input(ctx, &req.input)) {
            return EXIT_FAILED;
        }
    }
    ctl_response resp;
    std::string why;
    switch (cron_ctl_call(conn.get(), req, &resp, &why)) {
        case ctl_result::answered: break;
        case ctl_result::busy:
            ctx.fail("%s is busy (%s): nothing was done; try again", server_name(ctx, server).c_str(),
                     why.c_str());
            return EXIT_TEMPFAIL;
        case ctl_result::failed: return ctx.fail("%s (%s)", why.c_str(), server_name(ctx, server).c_str());
    }
    std::fwrite(resp.out.data(), 1, resp.out.size(), ctx.out);
    std::fwrite(resp.err.data(), 1, resp.err.size(), ctx.err);
    return resp.status;
}

}  // namespace

ctl_response cron_cmd_execute(const std::string& dir, control_server* server, const ctl_request& req) {
    ctl_response resp;
    const command* c = cron_cmd_find(req.argv[0].c_str());
    if (c == nullptr || (c->flags & CMD_FORWARD) == 0) {
        resp.status = EXIT_USAGE;
        resp.err = "quilmarn-cron: '" + req.argv[0] + "' is not a command the daemon carries out\n";
        return resp;
    }
    mem_stream out, err;
    std::string input = req.input;
    FILE* in = cron_cmd_input(input);
    if (out.get() != nullptr && err.get() != nullptr && in != nullptr) {
        cmd_ctx ctx;
        ctx.dir = dir.c_str();
        ctx.out = out.get();
        ctx.err = err.get();
        ctx.in = in;
        ctx.ct = server->instance();
        ctx.in_daemon = true;
        ctx.server = server;
        std::vector<std::string> args = req.argv;
        std::vector<char*> argv = cron_c_strings(args);
        std::unique_lock<std::mutex> lk(change_mutex, std::defer_lock);
        if ((c->flags & (CMD_READ_ONLY | CMD_WAITS)) == 0) lk.lock();
        resp.status = cron_cmd_dispatch(ctx, static_cast<int>(args.size()), argv.data());
    } else {
        resp.status = EXIT_FAILED;
        resp.err = "quilmarn-cron: the daemon is out of memory\n";
    }
    if (in != nullptr) std::fclose(in);
    resp.out = out.text();
    resp.err += err.text();
    return resp;
}

int cron_cmd_invoke(cmd_ctx& ctx, int argc, char** argv) {
    const command* c = argc > 0 ? cron_cmd_find(argv[0]) : nullptr;
    if (c != nullptr && cron_cmd_stays_local(*c, argc, argv)) return cron_cmd_dispatch(ctx, argc, argv);
    if (c == nullptr || (c->flags & CMD_FORWARD) == 0 || ctx.in_daemon || ctx.ct != nullptr ||
        ctx.dir == nullptr) {
        return cron_cmd_dispatch(ctx, argc, argv);
    }
    const auto until = std::chrono::steady_clock::now() + OWNER_START;
    for (;;) {
        ctl_peer server;
        int fd = cron_ctl_connect(ctx.dir, &server);
        if (fd >= 0) return forward(ctx, *c, fd, server, argc, argv);
        if (errno == EPERM) {
            return ctx.fail(
                "refusing %s/%s: it is served by user %u, neither root, you nor the directory's owner",
                ctx.dir, CTL_SOCKET_NAME, static_cast<unsigned>(server.uid));
        }
        if (!cron_owner_may_serve(ctx.dir) || std::chrono::steady_clock::now() > until) break;
        std::this_thread::sleep_for(50ms);
    }
    const int rc = cron_cmd_dispatch(ctx, argc, argv);
    if (ctx.daemon_refusal.empty()) return rc;
    // A daemon or a run took the directory between our look and our open:
    // the handler stopped before changing anything; the owner gets the
    // command once it listens.
    ctx.close();
    const auto listening = std::chrono::steady_clock::now() + OWNER_LISTEN;
    for (;;) {
        ctl_peer server;
        if (int fd = cron_ctl_connect(ctx.dir, &server); fd >= 0)
            return forward(ctx, *c, fd, server, argc, argv);
        if (errno == EPERM || std::chrono::steady_clock::now() > listening) break;
        std::this_thread::sleep_for(50ms);
    }
    return ctx.fail("%s", ctx.daemon_refusal.c_str());
}

void cron_cmd_change(const std::function<void()>& change) {
    std::lock_guard<std::mutex> lk(change_mutex);
    change();
}
