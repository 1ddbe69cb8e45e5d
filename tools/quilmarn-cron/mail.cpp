#include "mail.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "crontab_stdin.h"
#include "dir_files.h"
#include "events.h"
#include "thread_tracker.h"

extern char** environ;

namespace {

constexpr int MAILS_MAX = 4;  // messages under way; a hung sendmail holds one
std::atomic<int> under_way{0};
// A sendmail that hangs (an MTA waiting on the network) is killed past
// this, with what it started, so it gives its place back.
std::atomic<int> time_limit_sec{CRON_MAIL_TIME_LIMIT};
thread_tracker senders;            // so that the daemon ends after them
std::atomic<bool> killing{false};  // a second stop signal: kill what is left

bool executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// The first MAILTO of the job's environment text, as the job itself gets it.
bool mail_to(const std::string& env, std::string* to) {
    for (size_t at = 0; at < env.size();) {
        size_t end = env.find('\n', at);
        if (end == std::string::npos) end = env.size();
        if (env.compare(at, 7, "MAILTO=") == 0) {
            *to = env.substr(at + 7, end - at - 7);
            return true;
        }
        at = end + 1;
    }
    return false;
}

// A header's value on one line: a line break would start another header.
std::string one_line(std::string_view text) {
    std::string out;
    for (char c : text) out += c == '\n' || c == '\r' ? ' ' : c;
    return out;
}

// Addresses apart by commas or blanks; one that reads as an option is refused.
bool addresses(const std::string& to, std::vector<std::string>* out, std::string* why) {
    std::string word;
    for (size_t i = 0; i <= to.size(); ++i) {
        const char c = i < to.size() ? to[i] : ',';
        if (c != ',' && c != ' ' && c != '\t') {
            word += c;
            continue;
        }
        if (word.empty()) continue;
        if (word[0] == '-') {
            *why = "MAILTO address '" + word + "' reads as an option";
            return false;
        }
        out->push_back(word);
        word.clear();
    }
    if (out->empty()) *why = "MAILTO names no address";
    return !out->empty();
}

// Whether `pid` ended by `until`: its status in *status. A child that
// cannot be watched through a descriptor is looked at every 50 ms.
bool wait_until(pid_t pid, std::chrono::steady_clock::time_point until, int* status) {
    unique_fd watch(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    for (;;) {
        const pid_t r = ::waitpid(pid, status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || killing) return false;
        // Looks at `killing` at least every 100 ms.
        const auto slice = std::min(left, std::chrono::milliseconds(watch ? 100 : 50));
        pollfd p{watch.get(), POLLIN, 0};
        if (watch) {
            ::poll(&p, 1, static_cast<int>(slice.count()));
        } else {
            std::this_thread::sleep_for(slice);
        }
    }
}

// Writes `message` to the pipe `fd` (non-blocking) by `until`; false when
// the reader stopped reading or the time ran out.
bool write_until(int fd, const std::string& message, std::chrono::steady_clock::time_point until) {
    for (size_t at = 0; at < message.size();) {
        const ssize_t n = ::write(fd, message.data() + at, message.size() - at);
        if (n > 0) {
            at += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || killing) return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100)));
    }
    return true;
}

// Runs sendmail with the message on its standard input; the reason on failure.
bool deliver(const std::string& program, const std::vector<std::string>& to, const std::string& message,
             std::string* why) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    unique_fd read_end(in[0]), write_end(in[1]);
    std::vector<std::string> words = {program, "-i", "--"};
    words.insert(words.end(), to.begin(), to.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, read_end.get(), 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    // A group of its own, so that what it started is killed with it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &fa, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    read_end = unique_fd();
    if (rc != 0) {
        *why = program + ": " + std::strerror(rc);
        return false;
    }
    const int limit = time_limit_sec.load();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
    // SIGPIPE is ignored in the daemon: a sendmail that stops reading fails the write.
    ::fcntl(write_end.get(), F_SETFL, O_NONBLOCK);
    write_until(write_end.get(), message, until);
    write_end = unique_fd();
    int status = 0;
    if (!wait_until(pid, until, &status)) {
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        *why = killing ? program + " was killed: the daemon was stopped twice"
                       : program + " did not end within " + std::to_string(limit) + " s; killed";
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    *why = program + (WIFEXITED(status) ? " exited with status " + std::to_string(WEXITSTATUS(status))
                                        : " ended by signal " + std::to_string(WTERMSIG(status)));
    return false;
}

}  // namespace

void cron_mail_set_time_limit(int seconds) { time_limit_sec = seconds; }

bool cron_mail_close_and_wait(std::chrono::milliseconds most) { return senders.close_and_wait(most); }

void cron_mail_kill_all() { killing = true; }

std::string cron_mail_program(const std::string& given) {
    if (!given.empty()) return given;
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "";
    dirs += ":/usr/sbin:/usr/lib";
    for (size_t at = 0; at <= dirs.size();) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(at, end - at);
        if (!dir.empty() && dir[0] == '/' && executable(dir + "/sendmail")) return dir + "/sendmail";
        at = end + 1;
    }
    return {};
}

std::string cron_mail_message(const mail_call& call, const std::string& to) {
    char host[256] = "localhost";
    ::gethostname(host, sizeof host - 1);
    // The account the job ran as, as cron names the crontab's owner; the
    // daemon's own is in USER, which it set at start.
    const char* own = std::getenv("USER");
    const std::string from = !call.user.empty() ? call.user : own != nullptr && own[0] != '\0' ? own : "root";
    return "From: " + from + " (Cron Daemon)\n" + "To: " + one_line(to) + "\n" + "Subject: Cron <" + from +
           "@" + host + "> " + one_line(cron_percent_command(call.cmd)) + "\n" +
           "MIME-Version: 1.0\n"
           "Content-Type: text/plain; charset=UTF-8\n"
           "Content-Transfer-Encoding: 8bit\n"
           "Precedence: bulk\n"
           "Auto-Submitted: auto-generated\n"
           "X-Cron-Job: " +
           std::to_string(call.job_id) + " " + one_line(call.job_name) + "\n\n" + call.output;
}

void cron_mail_send(const std::string& program, const mail_call& call) {
    std::string to;
    if (call.output.empty() || !mail_to(call.env, &to) || to.empty()) return;
    auto failed = [&call](const std::string& why) {
        cron_event_write(
            event("mail-failed", call.job_id, call.job_name).text("level", "warning").text("reason", why));
    };
    std::vector<std::string> list;
    std::string why;
    if (!addresses(to, &list, &why)) return failed(why);
    if (program.empty())
        return failed("no sendmail on PATH, in /usr/sbin or /usr/lib (--sendmail names one)");
    if (under_way.fetch_add(1) >= MAILS_MAX) {
        under_way.fetch_sub(1);
        return failed("4 messages are still under way; this one is dropped");
    }
    if (!senders.enter()) {
        under_way.fetch_sub(1);
        return failed("the daemon is ending");
    }
    try {
        std::thread([program, call, list, message = cron_mail_message(call, to)] {
            std::string why;
            if (deliver(program, list, message, &why)) {
                std::string to;
                for (const std::string& a : list) to += (to.empty() ? "" : ",") + a;
                cron_event_write(event("mailed", call.job_id, call.job_name).text("to", to));
            } else {
                cron_event_write(event("mail-failed", call.job_id, call.job_name)
                                     .text("level", "warning")
                                     .text("reason", why));
            }
            under_way.fetch_sub(1);
            senders.leave();
        }).detach();
    } catch (const std::system_error&) {
        under_way.fetch_sub(1);
        senders.leave();
        failed("no thread to send it on");
    }
}
