#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "proc/cron_signal.h"

cron_signal_t cron_signal_open() {
    // Non-blocking: lowering one that is already low must not wait.
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd >= 0 ? fd : CRON_SIGNAL_NONE;
}

void cron_signal_raise(cron_signal_t s) {
    if (s < 0) return;
    const uint64_t one = 1;
    while (::write(static_cast<int>(s), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void cron_signal_lower(cron_signal_t s) {
    if (s < 0) return;
    uint64_t count = 0;
    while (::read(static_cast<int>(s), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

void cron_signal_close(cron_signal_t s) {
    if (s >= 0) ::close(static_cast<int>(s));
}
