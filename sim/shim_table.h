// The table shared between a testbed and the event-loop shim: which device
// nodes are simulated, which eventfd tells when each has transfers to reap,
// and whether each is unplugged or refuses to open.
//
// The table lives in a memfd mapping. A testbed process writes it; the shim
// reads it, in the same process or in a child that inherited the memfd (its
// number in FTDISIM_SHIM_FD) and the eventfds under the same numbers. Only
// lock-free atomics live in it, so both sides may touch it at any time
// without a lock.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>

namespace ftdisim::shim {

inline constexpr uint32_t kMagic = 0x4d495346;  // "FSIM"
inline constexpr int kSlots = 127;

inline constexpr uint32_t kUnplugged = 1u << 0;   // every poll reports POLLERR
inline constexpr uint32_t kOpenDenied = 1u << 1;  // open() fails with EACCES

// One plug-in of one chip: a device node file. A slot is live while `ino` is
// nonzero; the writer fills the other fields first and publishes `ino` last
// (release), so a reader that matches `ino` (acquire) sees the rest.
struct Slot {
    std::atomic<uint64_t> ino;
    std::atomic<uint64_t> dev;
    std::atomic<int32_t> eventfd;
    std::atomic<uint32_t> flags;
    std::atomic<uint32_t> bus_address;  // bus * 256 + address
    uint32_t reserved;
};

struct Table {
    std::atomic<uint32_t> magic;
    std::atomic<uint32_t> slots_used;    // slots [0, slots_used) may be live
    std::atomic<uint32_t> denied_count;  // slots with kOpenDenied set
    uint32_t reserved;
    Slot slots[kSlots];
};

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<int32_t>::is_always_lock_free);

// The process's table, created on first use and kept mapped for the life of
// the process (a shim call may be reading it at any moment). Returns nullptr
// if it cannot be created. `fd` receives the memfd's descriptor.
Table *HostTable(int *fd);

// Resets every slot (a new testbed starts with an empty table).
void ClearTable(Table *table);

// Takes a fresh slot for a node, or -1 when the table is full. Any older slot
// naming the same inode is retired first, so a reused inode never inherits a
// dead node's flags.
int AddSlot(Table *table, dev_t dev, ino_t ino, int eventfd, uint8_t bus, uint8_t address);
void SetFlag(Table *table, int slot, uint32_t flag, bool on);

}  // namespace ftdisim::shim
