// The daemon's read-only HTTP listener: /metrics (Prometheus text), the
// status page / and /job/ID, and /api/status and /api/job/ID as JSON. It
// runs on libmicrohttpd's own threads and reads the instance only through
// the library's reports, so a client, however slow, never holds up the
// scheduler or the control socket.
#pragma once

#include <memory>
#include <string>

#include "quilmarn_crontab.h"

struct http_options {
    std::string addr;   // "ADDR:PORT", "[ADDR6]:PORT" or "PORT" (then 127.0.0.1); empty: no listener
    std::string token;  // the bearer token every request must carry; empty for none
};

// Checks the --http value: true, or false with the reason in *why.
bool http_parse_addr(const std::string& text, std::string* host, int* port, std::string* why);

// Reads the bearer token from `path`: a regular file (not a link, FIFO or
// device) of our user that only its owner may read or write, at most 4 KiB,
// holding one printable word and perhaps a line end. False with the reason.
bool http_read_token_file(const std::string& path, std::string* token, std::string* why);

class http_listener {
public:
    http_listener();
    ~http_listener();  // stops it: no request is served after
    http_listener(const http_listener&) = delete;
    http_listener& operator=(const http_listener&) = delete;

    // Binds and starts serving `ct`, which must outlive the listener. False,
    // with the reason, when the address cannot be bound.
    bool start(crontab_t* ct, const std::string& dir, const http_options& o, std::string* why);
    void stop();
    // The address bound, as "HOST:PORT" (the port chosen when 0 was given).
    std::string bound() const;

    struct impl;

private:
    std::unique_ptr<impl> impl_;
};
