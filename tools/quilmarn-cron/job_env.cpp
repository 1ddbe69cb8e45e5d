#include "job_env.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "dir_files.h"

namespace {

// libsystemd's sd_notify reads the address from the environment on every
// call, and whatever the environment holds every job inherits: so the
// address is kept here instead, and the protocol (one datagram to a Unix
// socket, '@' for the abstract namespace) is this file's to speak.
std::string notify_socket;

const char* const service_vars[] = {"NOTIFY_SOCKET", "INVOCATION_ID", "JOURNAL_STREAM",
                                    "LISTEN_PID",    "LISTEN_FDS",    "LISTEN_FDNAMES"};

}  // namespace

bool cron_job_env_setup(std::string* dir, std::string* why) {
    std::error_code ec;
    const std::filesystem::path abs = std::filesystem::absolute(*dir, ec);
    if (ec) {
        *why = "cannot make " + *dir + " absolute: " + ec.message();
        return false;
    }
    *dir = abs.string();
    if (const char* s = std::getenv("NOTIFY_SOCKET")) notify_socket = s;
    for (const char* v : service_vars) ::unsetenv(v);

    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    std::string home = "/";
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
        if (pw.pw_dir != nullptr && pw.pw_dir[0] != '\0') home = pw.pw_dir;
        ::setenv("LOGNAME", pw.pw_name, 1);
        ::setenv("USER", pw.pw_name, 1);
    }
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("SHELL", "/bin/sh", 1);
    ::setenv("PATH", "/usr/bin:/bin", 1);
    if (::chdir(home.c_str()) != 0 && ::chdir("/") != 0) {
        // Jobs then run where the daemon was started, as before.
    }
    return true;
}

void cron_service_notify(const char* state) {
    if (notify_socket.empty() || (notify_socket[0] != '/' && notify_socket[0] != '@')) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (notify_socket.size() >= sizeof addr.sun_path) return;
    std::memcpy(addr.sun_path, notify_socket.data(), notify_socket.size());
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + notify_socket.size() +
                                                 (notify_socket[0] == '/' ? 1 : 0));
    unique_fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return;
    ::sendto(fd.get(), state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr),
             len);
}
