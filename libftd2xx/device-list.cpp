// The handle registry: every record an open has produced and FT_Close has
// not yet removed.
#include <algorithm>
#include <vector>

#include "ftd2xx-private.h"

namespace d2xx {
namespace {

struct Registry {
    Mutex mutex ACQUIRED_AFTER(gLibraryMutex);
    std::vector<std::shared_ptr<DeviceExtension>> records GUARDED_BY(mutex);  // newest first
};

Registry &TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

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

size_t RegisteredDeviceCount() {
    Registry &reg = TheRegistry();
    MutexLock lock(reg.mutex);
    return reg.records.size();
}

}  // namespace d2xx
