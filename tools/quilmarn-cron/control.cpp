#include "control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "control_frame.h"
#include "dir_files.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr char RESPONSE_MAGIC[4] = {'Q', 'C', 'R', 'S'};
constexpr char BUSY_MAGIC[4] = {'Q', 'C', 'R', 'B'};
constexpr uint32_t MAX_ANSWER = 64u << 20;  // one text of an answer

// The directory as the place the socket is named in (O_PATH: nothing is
// read from it).
unique_fd open_dir(const std::string& dir) {
    return unique_fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// A socket address for the name in `dir`, through the descriptor of the
// directory (as every file of the tool there is reached), so that the
// socket is the one in the directory checked, whatever happens to the path
// meanwhile. Without /proc, the path.
bool socket_address(const std::string& dir, int dir_fd, sockaddr_un* addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    const std::string fd_dir = "/proc/self/fd/" + std::to_string(dir_fd);
    std::string path = fd_dir + "/" + CTL_SOCKET_NAME;
    if (::access(fd_dir.c_str(), F_OK) != 0) path = dir + "/" + CTL_SOCKET_NAME;
    if (path.size() >= sizeof addr->sun_path) return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Waits for `events` until `deadline` (none when `timed` is false).
bool wait_for(int fd, short events, bool timed, clock_type::time_point deadline) {
    for (;;) {
        int ms = -1;
        if (timed) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
            if (left.count() <= 0) return false;
            ms = static_cast<int>(left.count());
        }
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, ms);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

struct channel {
    int fd;
    bool timed;
    clock_type::time_point deadline;

    bool read(void* buf, size_t n) {
        auto* p = static_cast<char*>(buf);
        while (n > 0) {
            if (!wait_for(fd, POLLIN, timed, deadline)) return false;
            ssize_t got = ::recv(fd, p, n, 0);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got <= 0) return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    bool write(const void* buf, size_t n) {
        const auto* p = static_cast<const char*>(buf);
        while (n > 0) {
            if (!wait_for(fd, POLLOUT, timed, deadline)) return false;
            ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
            if (put < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (put <= 0) return false;
            p += put;
            n -= static_cast<size_t>(put);
        }
        return true;
    }

    bool read_u32(uint32_t* v) {
        unsigned char b[4];
        if (!read(b, 4)) return false;
        *v = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
        return true;
    }

    bool write_u32(uint32_t v) {
        const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                    static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
        return write(b, 4);
    }

    bool read_text(std::string* s, size_t max) {
        uint32_t n = 0;
        if (!read_u32(&n) || n > max) return false;
        s->resize(n);
        return read(s->data(), n);
    }

    bool write_text(const std::string& s) {
        return s.size() <= UINT32_MAX && write_u32(static_cast<uint32_t>(s.size())) &&
               write(s.data(), s.size());
    }
};

void put_u32(std::string* out, uint32_t v) {
    const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
    out->append(b, 4);
}

void put_text(std::string* out, const std::string& s) {
    put_u32(out, static_cast<uint32_t>(s.size()));
    out->append(s);
}

bool peer_of(int fd, ctl_peer* peer) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    peer->pid = cred.pid;
    peer->uid = cred.uid;
    return true;
}

bool uid_allowed(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

// The socket names a socket, not a link to one elsewhere.
bool is_socket(int dir_fd) {
    struct stat st;
    return ::fstatat(dir_fd, CTL_SOCKET_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

int cron_ctl_connect(const std::string& dir, ctl_peer* server) {
    unique_fd dir_fd = open_dir(dir);
    if (!dir_fd) return -1;
    sockaddr_un addr;
    if (!socket_address(dir, dir_fd.get(), &addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (!is_socket(dir_fd.get())) {
        errno = ENOENT;  // nothing, or something else: no daemon serves there
        return -1;
    }
    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return -1;
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return -1;
    // A socket planted by another user must not be told our commands; the
    // directory's owner is the user its daemon runs as.
    struct stat dir_st;
    if (!peer_of(fd.get(), server) || ::fstat(dir_fd.get(), &dir_st) != 0 ||
        !(uid_allowed(server->uid) || server->uid == dir_st.st_uid)) {
        errno = EPERM;
        return -1;
    }
    return fd.release();
}

ctl_result cron_ctl_call(int fd, const ctl_request& req, ctl_response* resp, std::string* why) {
    channel c{fd, false, {}};
    bool sent = c.write(CTL_REQUEST_MAGIC, 4) && c.write_u32(static_cast<uint32_t>(req.argv.size()));
    for (const std::string& a : req.argv) sent = sent && c.write_text(a);
    sent = sent && c.write_text(req.input);
    // A busy daemon may answer before it has read the request, and close.
    char magic[4];
    if (c.read(magic, 4) && std::memcmp(magic, BUSY_MAGIC, 4) == 0 && c.read_text(why, MAX_ANSWER)) {
        return ctl_result::busy;
    }
    if (!sent) {
        *why = "the daemon did not take the request";
        return ctl_result::failed;
    }
    uint32_t status = 0;
    if (!(std::memcmp(magic, RESPONSE_MAGIC, 4) == 0 && c.read_u32(&status) &&
          c.read_text(&resp->out, MAX_ANSWER) && c.read_text(&resp->err, MAX_ANSWER))) {
        *why = "the daemon closed the connection without an answer";
        return ctl_result::failed;
    }
    resp->status = static_cast<int>(status);
    return ctl_result::answered;
}

int cron_ctl_listen(const std::string& dir, std::string* why) {
    unique_fd dir_fd = open_dir(dir);
    sockaddr_un addr;
    if (!dir_fd || !socket_address(dir, dir_fd.get(), &addr)) {
        *why = std::string("cannot reach the directory: ") + std::strerror(errno ? errno : ENAMETOOLONG);
        return -1;
    }
    // Only the owner of the directory (the caller holds its lock) listens
    // here, so a socket found is one a dead daemon left.
    struct stat st;
    if (::fstatat(dir_fd.get(), CTL_SOCKET_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *why = std::string(CTL_SOCKET_NAME) + " exists and is not a socket; remove it";
            return -1;
        }
        ::unlinkat(dir_fd.get(), CTL_SOCKET_NAME, 0);
    }
    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // The socket's mode, less the umask, is the new name's mode: never one
    // that lets others connect, not even until the chmod below.
    if (fd) ::fchmod(fd.get(), 0600);
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        *why = std::string("cannot create ") + CTL_SOCKET_NAME + ": " + std::strerror(errno);
        return -1;
    }
    // Peers are checked one by one as well; the mode keeps others from even
    // connecting.
    if (::fchmodat(dir_fd.get(), CTL_SOCKET_NAME, 0600, 0) != 0 || ::listen(fd.get(), 64) != 0) {
        *why = std::string("cannot listen on ") + CTL_SOCKET_NAME + ": " + std::strerror(errno);
        ::unlinkat(dir_fd.get(), CTL_SOCKET_NAME, 0);
        return -1;
    }
    return fd.release();
}

void cron_ctl_unlink(const std::string& dir) {
    unique_fd dir_fd = open_dir(dir);
    struct stat st;
    // The directory's owner removes what it made; never something else of the name.
    if (dir_fd && ::fstatat(dir_fd.get(), CTL_SOCKET_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISSOCK(st.st_mode)) {
        ::unlinkat(dir_fd.get(), CTL_SOCKET_NAME, 0);
    }
}

bool cron_ctl_peer_allowed(int fd, ctl_peer* peer) { return peer_of(fd, peer) && uid_allowed(peer->uid); }

std::string cron_ctl_answer_frame(const ctl_response& resp) {
    std::string f(RESPONSE_MAGIC, 4);
    put_u32(&f, static_cast<uint32_t>(resp.status));
    put_text(&f, resp.out.size() <= MAX_ANSWER ? resp.out : resp.out.substr(0, MAX_ANSWER));
    put_text(&f, resp.err.size() <= MAX_ANSWER ? resp.err : resp.err.substr(0, MAX_ANSWER));
    return f;
}

std::string cron_ctl_busy_frame(const std::string& reason) {
    std::string f(BUSY_MAGIC, 4);
    put_text(&f, reason);
    return f;
}

bool cron_ctl_send(int fd, const std::string& frame, int wait_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(wait_ms);
    const char* p = frame.data();
    size_t left = frame.size();
    while (left > 0) {
        ssize_t put = ::send(fd, p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno == EAGAIN && wait_for(fd, POLLOUT, true, deadline)) continue;
        if (put <= 0) return false;
        p += put;
        left -= static_cast<size_t>(put);
    }
    return true;
}
