#include "thread_tracker.h"

#include <unistd.h>

#include <cstdint>

bool thread_tracker::enter() {
    std::lock_guard<std::mutex> lk(mu_);
    if (closed_) return false;
    ++count_;
    return true;
}

void thread_tracker::leave(int wake_fd) {
    std::lock_guard<std::mutex> lk(mu_);
    --count_;
    if (wake_fd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_fd, &one, sizeof one);
    }
    cv_.notify_all();
}

bool thread_tracker::close_if_idle() {
    std::lock_guard<std::mutex> lk(mu_);
    if (count_ == 0) closed_ = true;
    return closed_;
}

bool thread_tracker::close_and_wait(std::chrono::milliseconds most) {
    std::unique_lock<std::mutex> lk(mu_);
    closed_ = true;
    return cv_.wait_for(lk, most, [&] { return count_ == 0; });
}
