// A FILE whose writes are kept in memory: a command's output or messages,
// taken as text by whoever ran it.
#pragma once

#include <stdio.h>

#include <cstdlib>
#include <string>

class mem_stream {
public:
    mem_stream() : f_(::open_memstream(&buf_, &size_)) {}
    ~mem_stream() {
        if (f_ != nullptr) std::fclose(f_);
        std::free(buf_);
    }
    mem_stream(const mem_stream&) = delete;
    mem_stream& operator=(const mem_stream&) = delete;

    // Null when there was no memory for it.
    FILE* get() const { return f_; }
    // The stream, or `fallback` when there was no memory for it.
    FILE* or_else(FILE* fallback) const { return f_ != nullptr ? f_ : fallback; }
    // What was written so far.
    std::string text() {
        if (f_ == nullptr || std::fflush(f_) != 0) return {};
        return std::string(buf_, size_);
    }

private:
    char* buf_ = nullptr;
    size_t size_ = 0;
    FILE* f_;
};
