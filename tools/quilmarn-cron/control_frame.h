// The request frame of the control socket, read a piece at a time: the
// daemon feeds whatever bytes a client has sent so far and never waits on
// one client. Every size is checked before anything is kept, and memory
// grows only with bytes that arrived, never with a size a peer announced.
//   "QCRQ", u32 argc (1..256), argc x (u32 n <= 64 KiB, n bytes without NUL),
//   u32 n <= CTL_MAX_INPUT, n bytes of input; numbers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "control.h"

constexpr char CTL_REQUEST_MAGIC[4] = {'Q', 'C', 'R', 'Q'};
constexpr uint32_t CTL_MAX_ARGS = 256;
constexpr uint32_t CTL_MAX_ARG = 64u << 10;

class ctl_request_reader {
public:
    enum class state { more, done, bad };

    // Takes bytes up to the end of the frame; *used says how many (bytes
    // after the frame are left alone).
    state feed(const char* p, size_t n, size_t* used);
    state current() const { return state_; }
    // The bytes the request holds so far, for the daemon's total bound.
    size_t held() const { return held_; }
    // The whole request, once done.
    ctl_request& request() { return req_; }

private:
    enum class part { magic, argc, arg_size, arg, input_size, input };

    void on_word(uint32_t v);
    void text_done();

    state state_ = state::more;
    part part_ = part::magic;
    unsigned char word_[4] = {};
    size_t word_got_ = 0;
    uint32_t argc_ = 0;
    uint32_t want_ = 0;  // the size of the text being read
    size_t held_ = 0;
    ctl_request req_;
};
