#include "http_listener.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "http_metrics.h"
#include "http_page.h"

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Bounds of what clients may hold. Two threads each poll every connection
// (epoll): a connection costs a descriptor and its memory, never a thread.
constexpr unsigned THREADS = 2;
constexpr unsigned CONNECTIONS_MAX = 32;
constexpr unsigned CONNECTIONS_PER_ADDRESS_MAX = 16;  // one address cannot take every place
constexpr unsigned IDLE_TIMEOUT_SEC = 10;             // no byte moved either way
constexpr size_t CONNECTION_MEMORY = 32 * 1024;       // request line and headers, and buffers
constexpr unsigned HEADERS_MAX = 64;
// The whole request head must arrive within this, however it trickles in:
// the idle timeout alone lets a client that sends a byte a second hold its place.
constexpr auto HEAD_DEADLINE = 5s;
constexpr auto DEADLINE_CHECK = 250ms;

}  // namespace

struct http_listener::impl {
    crontab_t* ct = nullptr;
    std::string dir;
    std::string token;
    std::string bound;
    MHD_Daemon* daemon = nullptr;

    // Connections whose request head has not arrived yet, and their socket.
    std::mutex mu;
    std::condition_variable cv;
    bool stopping = false;
    struct waiting {
        int fd;
        clock_type::time_point since;
    };
    std::map<MHD_Connection*, waiting> heads;
    std::thread reaper;

    // Ends, by shutting its socket down, each connection whose head is late;
    // the library then sees the end and closes it. Under `mu`, and only for
    // connections it has not reported closed, so the socket is still theirs.
    void reap() {
        std::unique_lock<std::mutex> lk(mu);
        while (!stopping) {
            const auto now = clock_type::now();
            for (auto it = heads.begin(); it != heads.end();) {
                if (now - it->second.since < HEAD_DEADLINE) {
                    ++it;
                    continue;
                }
                ::shutdown(it->second.fd, SHUT_RDWR);
                it = heads.erase(it);
            }
            cv.wait_for(lk, DEADLINE_CHECK, [&] { return stopping; });
        }
    }

    static void notify(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode toe) {
        auto* self = static_cast<impl*>(cls);
        std::lock_guard<std::mutex> lk(self->mu);
        if (toe == MHD_CONNECTION_NOTIFY_CLOSED) {
            self->heads.erase(c);
            return;
        }
        const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info != nullptr) self->heads[c] = waiting{info->connect_fd, clock_type::now()};
    }

    void head_arrived(MHD_Connection* c) {
        std::lock_guard<std::mutex> lk(mu);
        heads.erase(c);
    }

    bool token_ok(MHD_Connection* c) const {
        if (token.empty()) return true;
        const char* h = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
        if (h == nullptr || strncasecmp(h, "Bearer ", 7) != 0) return false;
        const char* given = h + 7;
        const size_t n = std::strlen(given);
        // Compared whole whatever differs, so the time taken tells nothing.
        unsigned char diff = n == token.size() ? 0 : 1;
        for (size_t i = 0; i < token.size(); ++i) diff |= token[i] ^ (i < n ? given[i] : 0);
        return diff == 0;
    }

    static MHD_Result answer(MHD_Connection* c, unsigned status, const std::string& body, const char* type,
                             const char* extra_name = nullptr, const char* extra_value = nullptr) {
        MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                          MHD_RESPMEM_MUST_COPY);
        if (r == nullptr) return MHD_NO;
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
        // One request per connection: the head deadline then covers every request.
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
        MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
        MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
        MHD_add_response_header(r, "X-Frame-Options", "DENY");
        MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
        MHD_add_response_header(r, "Content-Security-Policy",
                                "default-src 'none'; style-src 'unsafe-inline'");
        if (extra_name != nullptr) MHD_add_response_header(r, extra_name, extra_value);
        const MHD_Result ret = MHD_queue_response(c, status, r);
        MHD_destroy_response(r);
        return ret;
    }

    static MHD_Result text(MHD_Connection* c, unsigned status, const char* body,
                           const char* extra_name = nullptr, const char* extra_value = nullptr) {
        return answer(c, status, std::string(body) + "\n", "text/plain; charset=utf-8", extra_name,
                      extra_value);
    }

    // The id after `prefix` in `url`, or 0.
    static int id_after(const char* url, const char* prefix) {
        const size_t n = std::strlen(prefix);
        if (std::strncmp(url, prefix, n) != 0) return 0;
        const char* s = url + n;
        if (*s < '1' || *s > '9' || std::strlen(s) > 9) return 0;
        for (const char* p = s; *p != '\0'; ++p) {
            if (*p < '0' || *p > '9') return 0;
        }
        return std::atoi(s);
    }

    MHD_Result route(MHD_Connection* c, const char* url) {
        std::string body;
        if (std::strcmp(url, "/metrics") == 0) {
            char* stats = crontab_copy_stats_json(ct);
            const bool ok =
                stats != nullptr && http_metrics_text(stats, QC_TOOL_VERSION, crontab_version(), &body);
            crontab_free(stats);
            if (!ok) return text(c, MHD_HTTP_INTERNAL_SERVER_ERROR, "the statistics could not be read");
            return answer(c, MHD_HTTP_OK, body, "text/plain; version=0.0.4; charset=utf-8");
        }
        if (std::strcmp(url, "/") == 0) {
            if (!http_status_html(ct, dir, &body))
                return text(c, MHD_HTTP_INTERNAL_SERVER_ERROR, "the job table could not be read");
            return answer(c, MHD_HTTP_OK, body, "text/html; charset=utf-8");
        }
        if (std::strcmp(url, "/api/status") == 0) {
            if (!http_status_json(ct, dir, &body))
                return text(c, MHD_HTTP_INTERNAL_SERVER_ERROR, "the job table could not be read");
            return answer(c, MHD_HTTP_OK, body, "application/json");
        }
        if (const int id = id_after(url, "/job/"); id > 0 && http_job_html(ct, id, &body))
            return answer(c, MHD_HTTP_OK, body, "text/html; charset=utf-8");
        if (const int id = id_after(url, "/api/job/"); id > 0 && http_job_json(ct, id, &body))
            return answer(c, MHD_HTTP_OK, body, "application/json");
        return text(c, MHD_HTTP_NOT_FOUND, "not found");
    }

    static MHD_Result handle(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                             const char*, size_t* upload_size, void** req) {
        auto* self = static_cast<impl*>(cls);
        // Called once the head is whole; answered at once, before any body.
        if (*req != nullptr) {
            *upload_size = 0;
            return MHD_YES;
        }
        *req = self;
        self->head_arrived(c);
        if (MHD_get_connection_values(c, MHD_HEADER_KIND, nullptr, nullptr) > static_cast<int>(HEADERS_MAX))
            return text(c, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "too many header fields");
        if (!self->token_ok(c))
            return text(c, MHD_HTTP_UNAUTHORIZED, "a bearer token is required",
                        MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer realm=\"quilmarn-cron\"");
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
            return text(c, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD", MHD_HTTP_HEADER_ALLOW,
                        "GET, HEAD");
        const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if ((length != nullptr && std::strcmp(length, "0") != 0) ||
            MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr)
            return text(c, MHD_HTTP_BAD_REQUEST, "a request body is not taken");
        try {
            return self->route(c, url);
        } catch (...) {
            return text(c, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory");
        }
    }
};

http_listener::http_listener() : impl_(std::make_unique<impl>()) {}

http_listener::~http_listener() { stop(); }

bool http_listener::start(crontab_t* ct, const std::string& dir, const http_options& o, std::string* why) {
    std::string host;
    int port = 0;
    if (!http_parse_addr(o.addr, &host, &port, why)) return false;
    impl& m = *impl_;
    m.ct = ct;
    m.dir = dir;
    m.token = o.token;
    sockaddr_storage ss{};
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO;
    if (host.find(':') != std::string::npos) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
        flags |= MHD_USE_IPv6;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host.c_str(), &a->sin_addr);
    }
    m.daemon = MHD_start_daemon(
        flags, static_cast<uint16_t>(port), nullptr, nullptr, &impl::handle, &m, MHD_OPTION_SOCK_ADDR, &ss,
        MHD_OPTION_THREAD_POOL_SIZE, THREADS, MHD_OPTION_CONNECTION_LIMIT, CONNECTIONS_MAX,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, CONNECTIONS_PER_ADDRESS_MAX, MHD_OPTION_CONNECTION_TIMEOUT,
        IDLE_TIMEOUT_SEC, MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY, MHD_OPTION_NOTIFY_CONNECTION,
        &impl::notify, &m, MHD_OPTION_END);
    if (m.daemon == nullptr) {
        *why = "cannot listen on " + o.addr + " (address in use, or not one of this host)";
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m.daemon, MHD_DAEMON_INFO_BIND_PORT);
    const int actual = info != nullptr ? info->port : port;
    m.bound = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(actual);
    try {
        m.reaper = std::thread([&m] { m.reap(); });
    } catch (...) {
        stop();
        *why = "no thread for the listener";
        return false;
    }
    return true;
}

void http_listener::stop() {
    impl& m = *impl_;
    if (m.daemon != nullptr) MHD_stop_daemon(m.daemon);
    m.daemon = nullptr;
    {
        std::lock_guard<std::mutex> lk(m.mu);
        m.stopping = true;
    }
    m.cv.notify_all();
    if (m.reaper.joinable()) m.reaper.join();
}

std::string http_listener::bound() const { return impl_->bound; }
