// Threads that use something their owner must outlive (an instance, a
// child): the owner waits for them before it ends, and takes no new ones once
// closed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class thread_tracker {
public:
    bool enter();
    // Writing `wake_fd` under the lock keeps the write before the owner can
    // find the tracker idle, end, and close the descriptor.
    void leave(int wake_fd = -1);
    // Closes when none is inside; true then.
    bool close_if_idle();
    // Closes, and waits up to `most` for the last to leave; true when none is inside.
    bool close_and_wait(std::chrono::milliseconds most);

private:
    std::mutex mu_;
    std::condition_variable cv_;
    int count_ = 0;
    bool closed_ = false;
};
