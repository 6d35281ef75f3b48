// The handle registry: every record an open has produced and FT_Close has
// not yet removed; and the interfaces changing hands within the process.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <vector>

#include "ftd2xx-private.h"

namespace d2xx {
namespace {

struct Registry {
    Mutex mutex ACQUIRED_AFTER(gLibraryMutex);
    std::vector<std::shared_ptr<DeviceExtension>> records GUARDED_BY(mutex);  // newest first
};

// Never destroyed: a thread still calling in at exit finds it intact.
Registry &TheRegistry() {
    static Immortal<Registry> registry;
    return registry.value;
}

std::atomic<int> gLiveRecords{0};

}  // namespace

LiveRecord::LiveRecord() {
    gLiveRecords.fetch_add(1);
}

LiveRecord::~LiveRecord() {
    gLiveRecords.fetch_sub(1);
}

int LiveRecord::Count() {
    return gLiveRecords.load();
}

std::shared_ptr<DeviceExtension> AddDevice() {
    std::shared_ptr<DeviceExtension> record;
    try {
        record = std::make_shared<DeviceExtension>();
        Registry &reg = TheRegistry();
        MutexLock lock(reg.mutex);
        reg.records.insert(reg.records.begin(), record);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    return record;
}

bool RemoveDevice(const void *record) {
    std::shared_ptr<DeviceExtension> removed;  // released after the lock is dropped
    Registry &reg = TheRegistry();
    MutexLock lock(reg.mutex);
    auto it = std::find_if(reg.records.begin(), reg.records.end(),
                           [record](const auto &r) { return r.get() == record; });
    if (it == reg.records.end()) return false;
    removed = std::move(*it);
    reg.records.erase(it);
    return true;
}

bool IsDeviceValid(const void *handle) {
    return AcquireDevice(handle) != nullptr;
}

std::shared_ptr<DeviceExtension> AcquireDevice(const void *handle) {
    if (!handle) return nullptr;
    Registry &reg = TheRegistry();
    MutexLock lock(reg.mutex);
    for (const auto &r : reg.records) {
        if (r.get() == handle) return r;
    }
    return nullptr;
}

std::shared_ptr<DeviceExtension> FindDevice(int n) {
    if (n < 0) return nullptr;
    Registry &reg = TheRegistry();
    MutexLock lock(reg.mutex);
    if (static_cast<size_t>(n) >= reg.records.size()) return nullptr;
    return reg.records[static_cast<size_t>(n)];
}

std::shared_ptr<DeviceExtension> FindClaimingDevice(uint32_t key) {
    if (key == 0) return nullptr;
    Registry &reg = TheRegistry();
    MutexLock lock(reg.mutex);
    for (const auto &r : reg.records) {
        if (r->claim_key == key) return r;
    }
    return nullptr;
}

size_t RegisteredDeviceCount() {
    Registry &reg = TheRegistry();
    MutexLock lock(reg.mutex);
    return reg.records.size();
}

namespace {

struct HandOverState {
    int under_way = 0;   // hand-overs begun and not ended
    int waiting = 0;     // opens waiting for one to end
    uint64_t ended = 0;  // hand-overs ended so far
};

// Guards every state; never held while calling into libusb or waiting for
// anything but its own condition. Taken inside the library lock and the
// registry lock, never around them.
struct HandOvers {
    Mutex mutex ACQUIRED_AFTER(gLibraryMutex);
    CondVar changed;                                             // any state changed
    std::map<uint32_t, HandOverState> states GUARDED_BY(mutex);  // entries are never removed
};

// Never destroyed: a thread still inside the library at exit finds it intact.
HandOvers &TheHandOvers() {
    static Immortal<HandOvers> handovers;
    return handovers.value;
}

// The state of `key`, created when missing; null when it cannot be.
HandOverState *StateLocked(HandOvers &h, uint32_t key) REQUIRES(h.mutex) {
    try {
        return &h.states[key];
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

HandOverState Snapshot(uint32_t key) {
    HandOvers &h = TheHandOvers();
    MutexLock lock(h.mutex);
    const auto it = h.states.find(key);
    return it == h.states.end() ? HandOverState{} : it->second;
}

template <typename Pred>
bool WaitFor(uint32_t key, std::chrono::steady_clock::time_point deadline, Pred done) {
    if (key == 0) return true;
    HandOvers &h = TheHandOvers();
    MutexLock lock(h.mutex);
    for (;;) {
        const auto it = h.states.find(key);
        if (it == h.states.end() || done(it->second)) return true;
        if (!h.changed.wait_until(h.mutex, deadline)) {
            const auto last = h.states.find(key);
            return last == h.states.end() || done(last->second);
        }
    }
}

}  // namespace

uint32_t ClaimKey(libusb_device *usb, int iface) {
    if (!usb || iface < 0 || iface > 0xFF) return 0;
    return (uint32_t{libusb_get_bus_number(usb)} << 16) |
           (uint32_t{libusb_get_device_address(usb)} << 8) | static_cast<uint32_t>(iface) |
           1u << 24;
}

std::chrono::steady_clock::duration HandOverWait() {
    return std::chrono::milliseconds(4 * uint64_t{ControlTimeout()}) + std::chrono::seconds(2);
}

void HandOver::Begin(uint32_t key) {
    End();
    if (key == 0) return;
    HandOvers &h = TheHandOvers();
    MutexLock lock(h.mutex);
    HandOverState *state = StateLocked(h, key);
    if (!state) return;  // no record of it: the hand-over goes unseen, as before there were any
    ++state->under_way;
    key_ = key;
}

void HandOver::End() {
    if (key_ == 0) return;
    HandOvers &h = TheHandOvers();
    {
        MutexLock lock(h.mutex);
        HandOverState &state = h.states.find(key_)->second;  // Begin created it
        --state.under_way;
        ++state.ended;
    }
    key_ = 0;
    h.changed.notify_all();
}

bool HandOver::Busy(uint32_t key) {
    return Snapshot(key).under_way > 0;
}

uint64_t HandOver::Ended(uint32_t key) {
    return Snapshot(key).ended;
}

bool HandOver::Quiet(uint32_t key) {
    const HandOverState state = Snapshot(key);
    return state.under_way == 0 && state.waiting == 0;
}

bool HandOver::WaitIdle(uint32_t key, std::chrono::steady_clock::time_point deadline) {
    return WaitFor(key, deadline, [](const HandOverState &s) { return s.under_way == 0; });
}

bool HandOver::WaitQuiet(uint32_t key, std::chrono::steady_clock::time_point deadline) {
    return WaitFor(key, deadline,
                   [](const HandOverState &s) { return s.under_way == 0 && s.waiting == 0; });
}

void HandOverWaiter::Wait(uint32_t key) {
    if (key == key_) return;
    Release();
    if (key == 0) return;
    HandOvers &h = TheHandOvers();
    MutexLock lock(h.mutex);
    HandOverState *state = StateLocked(h, key);
    if (!state) return;
    ++state->waiting;
    key_ = key;
}

void HandOverWaiter::Release() {
    if (key_ == 0) return;
    HandOvers &h = TheHandOvers();
    {
        MutexLock lock(h.mutex);
        --h.states.find(key_)->second.waiting;  // Wait created it
    }
    key_ = 0;
    h.changed.notify_all();
}

}  // namespace d2xx
