#include "idtable.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace d2xx {

IdTable::IdTable(int capacity) : capacity_(capacity > 0 ? capacity : 1) {
    ids_.reserve(static_cast<size_t>(capacity_));
}

bool IdTable::Find(uint32_t id) const {
    return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
}

int IdTable::Add(uint32_t id) {
    if (Find(id)) return 0;
    if (id_count() == capacity_) {
        if (capacity_ > (1 << 29)) return 1;
        try {
            ids_.reserve(static_cast<size_t>(capacity_) * 2);
        } catch (const std::bad_alloc &) {
            return 1;
        } catch (const std::length_error &) {
            return 1;
        }
        capacity_ *= 2;
    }
    ids_.push_back(id);  // cannot reallocate: capacity was reserved above
    return 0;
}

uint32_t IdTable::FinalEntry() const {
    return ids_.empty() ? 0 : ids_.back();
}

std::unique_ptr<IdTable> IdTable_create(int capacity) {
    try {
        return std::make_unique<IdTable>(capacity);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

}  // namespace d2xx
