// The listener's address and bearer token, as the command line gives them.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../dir_files.h"
#include "http_listener.h"

namespace {

constexpr size_t TOKEN_FILE_MAX = 4096;

bool port_of(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *port = std::stoi(text);
    return *port <= 65535;
}

}  // namespace

bool http_parse_addr(const std::string& text, std::string* host, int* port, std::string* why) {
    std::string h = "127.0.0.1", p = text;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find("]:");
        if (close == std::string::npos) {
            *why = "'" + text + "' is not [ADDRESS]:PORT";
            return false;
        }
        h = text.substr(1, close - 1);
        p = text.substr(close + 2);
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        h = text.substr(0, colon);
        p = text.substr(colon + 1);
    }
    in6_addr a6;
    in_addr a4;
    if (inet_pton(AF_INET, h.c_str(), &a4) != 1 && inet_pton(AF_INET6, h.c_str(), &a6) != 1) {
        *why = "'" + h + "' is not a numeric IPv4 or IPv6 address";
        return false;
    }
    if (!port_of(p, port)) {
        *why = "'" + p + "' is not a port (0 to 65535)";
        return false;
    }
    *host = h;
    return true;
}

bool http_read_token_file(const std::string& path, std::string* token, std::string* why) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    unique_fd d = cron_dir_open(dir);
    if (!d) {
        *why = "cannot open " + dir + ": " + std::strerror(errno);
        return false;
    }
    // No link is followed and no FIFO waited on: the file is checked before a byte is read.
    unique_fd fd(::openat(d.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        *why = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = path + " is not a regular file";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *why = path + " belongs to another user";
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        *why = path + " may be read or written by others than its owner (chmod 600 it)";
        return false;
    }
    if (static_cast<size_t>(st.st_size) > TOKEN_FILE_MAX) {
        *why = path + " is larger than 4 KiB";
        return false;
    }
    char buf[TOKEN_FILE_MAX + 1];
    size_t got = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf + got, sizeof buf - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0 || got + static_cast<size_t>(n) >= sizeof buf) {
            got += static_cast<size_t>(n);
            break;
        }
        got += static_cast<size_t>(n);
    }
    if (got > TOKEN_FILE_MAX) {
        *why = path + " is larger than 4 KiB";
        return false;
    }
    std::string t(buf, got);
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    if (t.empty()) {
        *why = path + " holds no token";
        return false;
    }
    for (unsigned char c : t) {
        if (c <= 0x20 || c >= 0x7f) {
            *why = path + " must hold one word of printable ASCII characters";
            return false;
        }
    }
    *token = std::move(t);
    return true;
}
