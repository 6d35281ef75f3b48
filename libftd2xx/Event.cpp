#include "Event.h"

#include <chrono>

namespace d2xx {

void Event::Set() {
    {
        MutexLock lock(event_mutex_);
        // Already set: every waiter has been released or returns at once.
        if (signalled_) return;
        signalled_ = true;
    }
    // Outside the lock, so a woken waiter does not block on it again.
    event_cond_.notify_all();
}

void Event::Reset() {
    MutexLock lock(event_mutex_);
    signalled_ = false;
}

bool Event::IsSet() {
    MutexLock lock(event_mutex_);
    return signalled_;
}

bool Event::Wait(uint32_t timeoutMs) {
    MutexLock lock(event_mutex_);
    if (timeoutMs == 0) {
        while (!signalled_) event_cond_.wait(event_mutex_);
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!signalled_) {
        if (!event_cond_.wait_until(event_mutex_, deadline)) return signalled_;
    }
    return true;
}

}  // namespace d2xx
