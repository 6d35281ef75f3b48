// Manual-reset event: once set it stays set, releasing every wait, until it
// is reset. Every hand-over between the library's threads is built on it.
#pragma once

#include <cstdint>

#include "Mutex.h"

namespace d2xx {

class Event {
  public:
    Event() = default;
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    void Set();
    void Reset();
    bool IsSet();
    // true once the event is set, false when `timeoutMs` passed first;
    // 0 waits without limit. Deadlines run on the monotonic clock, so a step
    // of the wall clock neither stretches nor cuts a wait.
    bool Wait(uint32_t timeoutMs);

  private:
    Mutex event_mutex_;
    CondVar event_cond_;  // waits on the steady clock
    bool signalled_ GUARDED_BY(event_mutex_) = false;
};

// Free-function forms; each ignores a null event (a null wait returns at once).
inline void EventSet(Event *e) {
    if (e) e->Set();
}
inline void EventReset(Event *e) {
    if (e) e->Reset();
}
inline int EventWait(Event *e, uint32_t timeoutMs) {
    return e ? (e->Wait(timeoutMs) ? 1 : 0) : 1;
}

}  // namespace d2xx
