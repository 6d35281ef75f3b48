#include "Event.h"

#include <chrono>

namespace d2xx {

void Event::Set() {
    {
        std::scoped_lock lock(event_mutex_);
        // Already set: every waiter has been released or returns at once.
        if (signalled_) return;
        signalled_ = true;
    }
    // Outside the lock, so a woken waiter does not block on it again.
    event_cond_.notify_all();
}

void Event::Reset() {
    std::scoped_lock lock(event_mutex_);
    signalled_ = false;
}

bool Event::IsSet() {
    std::scoped_lock lock(event_mutex_);
    return signalled_;
}

bool Event::Wait(uint32_t timeoutMs) {
    std::unique_lock lock(event_mutex_);
    if (timeoutMs == 0) {
        event_cond_.wait(lock, [this] { return signalled_; });
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return event_cond_.wait_until(lock, deadline, [this] { return signalled_; });
}

}  // namespace d2xx
