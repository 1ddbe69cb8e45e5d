// Any bytes as what a client sends to the daemon's control socket: the
// request reader must end in "more", "done" or "bad" without crashing or
// growing past the bytes it got, give the same result however the bytes are
// split into reads, and a done request must be exactly the frame it read.
//
// Input: byte 0 picks the size of each read (0: all at once), the rest is
// what the client sent.
#include <algorithm>
#include <cstring>
#include <string>

#include "control_frame.h"
#include "fuzz_check.h"

namespace {

struct outcome {
    ctl_request_reader::state state;
    size_t used;
    ctl_request req;
};

outcome read_in_pieces(const char* p, size_t n, size_t piece) {
    ctl_request_reader r;
    size_t used = 0;
    while (used < n && r.current() == ctl_request_reader::state::more) {
        size_t took = 0;
        r.feed(p + used, std::min(piece, n - used), &took);
        used += took;
        FUZZ_CHECK(r.held() <= used + r.request().argv.size() * sizeof(std::string));
    }
    return {r.current(), used, r.request()};
}

void put_u32(std::string* out, size_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    if (size == 0) return 0;
    const char* p = reinterpret_cast<const char*>(data) + 1;
    const size_t n = size - 1;
    const size_t piece = data[0] == 0 ? n + 1 : data[0];
    const outcome whole = read_in_pieces(p, n, n + 1);
    const outcome split = read_in_pieces(p, n, piece);
    FUZZ_CHECK(whole.state == split.state);
    // Where in a bad frame the reader stopped does not matter: it is dropped.
    if (whole.state == ctl_request_reader::state::bad) return 0;
    FUZZ_CHECK(whole.used == split.used);
    if (whole.state != ctl_request_reader::state::done) return 0;
    FUZZ_CHECK(whole.req.argv == split.req.argv && whole.req.input == split.req.input);
    FUZZ_CHECK(!whole.req.argv.empty() && whole.req.argv.size() <= CTL_MAX_ARGS);
    FUZZ_CHECK(whole.req.input.size() <= CTL_MAX_INPUT);
    std::string frame(CTL_REQUEST_MAGIC, 4);
    put_u32(&frame, whole.req.argv.size());
    for (const std::string& a : whole.req.argv) {
        FUZZ_CHECK(a.size() <= CTL_MAX_ARG && a.find('\0') == std::string::npos);
        put_u32(&frame, a.size());
        frame += a;
    }
    put_u32(&frame, whole.req.input.size());
    frame += whole.req.input;
    FUZZ_CHECK(frame.size() == whole.used && std::memcmp(frame.data(), p, frame.size()) == 0);
    return 0;
}
