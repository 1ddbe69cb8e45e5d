#include "control_frame.h"

#include <algorithm>
#include <cstring>

namespace {

// What a kept argument costs beyond its bytes.
constexpr size_t ARG_OVERHEAD = sizeof(std::string);

}  // namespace

void ctl_request_reader::on_word(uint32_t v) {
    switch (part_) {
        case part::magic:
            if (std::memcmp(word_, CTL_REQUEST_MAGIC, 4) != 0) {
                state_ = state::bad;
                return;
            }
            part_ = part::argc;
            return;
        case part::argc:
            if (v == 0 || v > CTL_MAX_ARGS) {
                state_ = state::bad;
                return;
            }
            argc_ = v;
            part_ = part::arg_size;
            return;
        case part::arg_size:
            if (v > CTL_MAX_ARG) {
                state_ = state::bad;
                return;
            }
            req_.argv.emplace_back();
            held_ += ARG_OVERHEAD;
            want_ = v;
            part_ = part::arg;
            break;
        case part::input_size:
            if (v > CTL_MAX_INPUT) {
                state_ = state::bad;
                return;
            }
            want_ = v;
            part_ = part::input;
            break;
        default: return;
    }
    if (want_ == 0) text_done();
}

void ctl_request_reader::text_done() {
    if (part_ == part::input) {
        state_ = state::done;
    } else if (req_.argv.size() < argc_) {
        part_ = part::arg_size;
    } else {
        part_ = part::input_size;
    }
}

ctl_request_reader::state ctl_request_reader::feed(const char* p, size_t n, size_t* used) {
    size_t at = 0;
    while (state_ == state::more && at < n) {
        if (part_ == part::arg || part_ == part::input) {
            std::string& s = part_ == part::arg ? req_.argv.back() : req_.input;
            const size_t take = std::min<size_t>(want_ - s.size(), n - at);
            if (part_ == part::arg && std::memchr(p + at, '\0', take) != nullptr) {
                state_ = state::bad;
                break;
            }
            s.append(p + at, take);
            at += take;
            held_ += take;
            if (s.size() == want_) text_done();
            continue;
        }
        const size_t take = std::min(4 - word_got_, n - at);
        std::memcpy(word_ + word_got_, p + at, take);
        word_got_ += take;
        at += take;
        if (word_got_ < 4) continue;
        word_got_ = 0;
        on_word(uint32_t{word_[0]} | uint32_t{word_[1]} << 8 | uint32_t{word_[2]} << 16 |
                uint32_t{word_[3]} << 24);
    }
    if (used != nullptr) *used = at;
    return state_;
}
