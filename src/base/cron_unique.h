// Owners that give a heap block, a descriptor or a handle back on every way
// out of a function, exceptions included. The system calls they make are in
// cron_unique.cpp, so that including this header brings in no platform header.
#pragma once

#include <cstdlib>

// For std::unique_ptr over a block from malloc or calloc.
struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};

#ifdef _WIN32

// A kernel HANDLE (a void*, as in <windows.h>); both null and
// INVALID_HANDLE_VALUE mean none.
struct unique_handle {
    void* h = nullptr;
    unique_handle() = default;
    explicit unique_handle(void* handle) : h(handle) {}
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    ~unique_handle() { close(); }
    bool ok() const;
    bool close();  // false when CloseHandle failed
    void* release() {
        void* handle = h;
        h = nullptr;
        return handle;
    }
};

#else

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1);
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

#endif
