#include "file_watch.h"

#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

// An editor's save is several steps (write a new file, rename it over the
// old one): they come as one change. A directory that never rests still
// gets a look each second.
constexpr auto QUIET = 250ms;
constexpr auto LONGEST = 1s;
// A directory removed takes its watch along: it is looked for this often.
constexpr int REWATCH_MS = 1000;
constexpr uint32_t DIR_EVENTS = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::string parent_of(const std::string& path) { return std::filesystem::path(path).parent_path().string(); }

}  // namespace

bool file_watch::start(const std::string& path, std::function<void()> changed, std::string* why) {
    path_ = path;
    changed_ = std::move(changed);
    inotify_ = unique_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    stop_ = unique_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (inotify_) dir_wd_ = ::inotify_add_watch(inotify_.get(), parent_of(path).c_str(), DIR_EVENTS);
    if (!inotify_ || !stop_ || dir_wd_ < 0) {
        *why = std::string("cannot watch ") + parent_of(path) + ": " + std::strerror(errno);
        return false;
    }
    follow_link();
    try {
        thread_ = std::thread([this] { loop(); });
    } catch (...) {
        *why = "no thread to watch it";
        return false;
    }
    return true;
}

void file_watch::stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stop_.get(), &one, sizeof one);
    thread_.join();
}

// The watch on the directory of the file the path leads to follows the
// link as it is now; a path that leads nowhere keeps the last one.
void file_watch::follow_link() {
    char real[PATH_MAX];
    if (::realpath(path_.c_str(), real) == nullptr) return;
    std::string dir = parent_of(real);
    if (dir == parent_of(path_)) dir.clear();
    if (dir == link_dir_) return;
    if (link_wd_ >= 0) ::inotify_rm_watch(inotify_.get(), link_wd_);
    link_wd_ = dir.empty() ? -1 : ::inotify_add_watch(inotify_.get(), dir.c_str(), DIR_EVENTS);
    // The same directory by another name is watched already, and must stay so.
    if (link_wd_ == dir_wd_) link_wd_ = -1;
    link_dir_ = link_wd_ >= 0 ? dir : "";
}

void file_watch::loop() {
    clock_type::time_point first{}, due{};
    bool pending = false;
    for (;;) {
        int wait_ms = dir_wd_ < 0 ? REWATCH_MS : -1;
        if (pending) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - clock_type::now());
            wait_ms = static_cast<int>(std::max<int64_t>(left.count(), 0));
        }
        pollfd p[2] = {{stop_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
        if (::poll(p, 2, wait_ms) < 0 && errno != EINTR) return;
        if (p[0].revents != 0) return;
        // The directory is back: what it holds now is a change.
        bool back = false;
        if (dir_wd_ < 0) {
            dir_wd_ = ::inotify_add_watch(inotify_.get(), parent_of(path_).c_str(), DIR_EVENTS);
            back = dir_wd_ >= 0;
        }
        bool any = back;
        if (p[1].revents != 0) {
            alignas(inotify_event) char buf[16384];
            for (ssize_t n; (n = ::read(inotify_.get(), buf, sizeof buf)) > 0;) {
                for (char* at = buf; at < buf + n;) {
                    const auto* e = reinterpret_cast<const inotify_event*>(at);
                    // The watch on a link's directory that went away is gone.
                    if ((e->mask & IN_IGNORED) != 0 && e->wd == link_wd_) {
                        link_wd_ = -1;
                        link_dir_.clear();
                    }
                    if ((e->mask & IN_IGNORED) != 0 && e->wd == dir_wd_) dir_wd_ = -1;
                    any = true;
                    at += sizeof(inotify_event) + e->len;
                }
            }
        }
        if (any) {
            const auto now = clock_type::now();
            if (!pending) first = now;
            pending = true;
            due = std::min(now + QUIET, first + LONGEST);
        }
        if (pending && clock_type::now() >= due) {
            pending = false;
            changed_();
            follow_link();
        }
    }
}
