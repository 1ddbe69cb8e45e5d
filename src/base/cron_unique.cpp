#include "base/cron_unique.h"

#ifdef _WIN32

#    include <windows.h>

bool unique_handle::ok() const { return h != nullptr && h != INVALID_HANDLE_VALUE; }

bool unique_handle::close() {
    if (!ok()) return true;
    bool closed = ::CloseHandle(h) != 0;
    h = nullptr;
    return closed;
}

#else

#    include <unistd.h>

void unique_fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

#endif
