// The set of USB vendor/product ids the library treats as its devices.
// An id is idVendor << 16 | idProduct. The table only grows.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace d2xx {

class IdTable {
  public:
    explicit IdTable(int capacity);

    bool Find(uint32_t id) const;
    // 0 on success (also when the id is already present), 1 when the table
    // cannot grow; a failed add leaves the table as it was.
    int Add(uint32_t id);
    // The id added last: what FT_GetVIDPID reports.
    uint32_t FinalEntry() const;

    int capacity() const { return capacity_; }
    int id_count() const { return static_cast<int>(ids_.size()); }

  private:
    int capacity_;               // grows by doubling when full
    std::vector<uint32_t> ids_;  // in the order they were added, no duplicates
};

std::unique_ptr<IdTable> IdTable_create(int capacity);
inline uint32_t MakeUsbId(uint32_t vid, uint32_t pid) {
    return (vid << 16) | (pid & 0xFFFFu);
}

}  // namespace d2xx
