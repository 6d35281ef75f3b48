// The event-loop shim: poll() and open() as seen by libusb when its device
// nodes are simulated.
//
// poll(): an emulated usbfs node is a regular file, always writable, so an
// event loop polling it would never sleep. For every polled descriptor that
// names a simulated node (matched by device and inode against the shared
// table) the shim polls the chip's eventfd instead, readable exactly while
// the chip holds transfers to reap, and turns its POLLIN into the POLLOUT a
// usbfs node gives. An unplugged node reports POLLERR | POLLHUP at once, as a
// disconnected usbfs node does, which is what makes libusb run its
// disconnect handling.
//
// open(): a node whose chip refuses to open fails with EACCES (the simulated
// equivalent of missing permissions; file modes do not stop root).
//
// This file is built twice: into the ftdisim library, whose users export
// poll and open from their executable, and into a preloadable shared object
// for child programs, which find the table through FTDISIM_SHIM_FD.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "shim_table.h"

namespace ftdisim::shim {
namespace {

// The table in use: set by HostTable in a testbed process, else mapped from
// the inherited memfd on first use.
std::atomic<Table *> g_host_table{nullptr};

Table *MapInheritedTable() {
    const char *env = getenv("FTDISIM_SHIM_FD");
    if (env == nullptr || *env == '\0') return nullptr;
    char *end = nullptr;
    long fd = strtol(env, &end, 10);
    if (*end != '\0' || fd < 0) return nullptr;
    struct stat st {};
    if (fstat(static_cast<int>(fd), &st) != 0 || st.st_size < static_cast<off_t>(sizeof(Table)))
        return nullptr;
    void *p = mmap(nullptr, sizeof(Table), PROT_READ, MAP_SHARED, static_cast<int>(fd), 0);
    if (p == MAP_FAILED) return nullptr;
    auto *table = static_cast<Table *>(p);
    if (table->magic.load(std::memory_order_acquire) != kMagic) {
        munmap(p, sizeof(Table));
        return nullptr;
    }
    return table;
}

Table *ActiveTable() {
    if (Table *t = g_host_table.load(std::memory_order_acquire)) return t;
    static Table *const inherited = MapInheritedTable();
    return inherited;
}

// The live slot naming (dev, ino), newest first, or nullptr.
const Slot *FindSlot(const Table *t, dev_t dev, ino_t ino) {
    uint32_t used = t->slots_used.load(std::memory_order_acquire);
    if (used > static_cast<uint32_t>(kSlots)) used = kSlots;
    for (uint32_t i = used; i-- > 0;) {
        const Slot &s = t->slots[i];
        if (s.ino.load(std::memory_order_acquire) == ino &&
            s.dev.load(std::memory_order_relaxed) == dev && ino != 0)
            return &s;
    }
    return nullptr;
}

// "/dev/bus/usb/BBB/DDD" of a chip that refuses to open.
bool OpenDenied(const char *path) {
    const Table *t = ActiveTable();
    if (t == nullptr || t->denied_count.load(std::memory_order_acquire) == 0 || path == nullptr)
        return false;
    static constexpr char kPrefix[] = "/dev/bus/usb/";
    if (strncmp(path, kPrefix, sizeof kPrefix - 1) != 0) return false;
    const char *p = path + sizeof kPrefix - 1;
    char *end = nullptr;
    long bus = strtol(p, &end, 10);
    if (end == p || *end != '/') return false;
    p = end + 1;
    long address = strtol(p, &end, 10);
    if (end == p || *end != '\0' || bus < 0 || bus > 255 || address < 0 || address > 255)
        return false;
    const uint32_t key = static_cast<uint32_t>(bus * 256 + address);
    uint32_t used = t->slots_used.load(std::memory_order_acquire);
    if (used > static_cast<uint32_t>(kSlots)) used = kSlots;
    for (uint32_t i = used; i-- > 0;) {
        const Slot &s = t->slots[i];
        if (s.ino.load(std::memory_order_acquire) != 0 &&
            s.bus_address.load(std::memory_order_relaxed) == key)
            return (s.flags.load(std::memory_order_relaxed) & kOpenDenied) != 0;
    }
    return false;
}

template <typename Fn>
Fn Next(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

using PollFn = int (*)(struct pollfd *, nfds_t, int);
using OpenFn = int (*)(const char *, int, ...);
using Open2Fn = int (*)(const char *, int);

PollFn RealPoll() {
    static const PollFn fn = Next<PollFn>("poll");
    return fn;
}

// Where a polled descriptor of the caller went in the substitute set.
enum class Mapping : uint8_t { Pass, Live, Dead };

int ShimPoll(struct pollfd *fds, nfds_t n, int timeout) {
    PollFn real = RealPoll();
    const Table *t = ActiveTable();
    if (t == nullptr || n == 0 || t->slots_used.load(std::memory_order_acquire) == 0)
        return real(fds, n, timeout);

    constexpr nfds_t kInline = 16;
    struct pollfd inline_set[kInline];
    Mapping inline_map[kInline];
    std::vector<struct pollfd> heap_set;
    std::vector<Mapping> heap_map;
    struct pollfd *set = inline_set;
    Mapping *map = inline_map;
    if (n > kInline) {
        heap_set.resize(n);
        heap_map.resize(n);
        set = heap_set.data();
        map = heap_map.data();
    }

    bool any = false;
    bool dead = false;
    for (nfds_t i = 0; i < n; i++) {
        set[i] = fds[i];
        map[i] = Mapping::Pass;
        struct stat st {};
        if (fds[i].fd < 0 || fstat(fds[i].fd, &st) != 0) continue;
        const Slot *s = FindSlot(t, st.st_dev, st.st_ino);
        if (s == nullptr) continue;
        any = true;
        if (s->flags.load(std::memory_order_acquire) & kUnplugged) {
            map[i] = Mapping::Dead;
            set[i].fd = -1;  // ignored by poll
            dead = true;
        } else {
            map[i] = Mapping::Live;
            set[i].fd = s->eventfd.load(std::memory_order_relaxed);
            set[i].events = POLLIN;
        }
    }
    if (!any) return real(fds, n, timeout);

    int r = real(set, n, dead ? 0 : timeout);
    if (r < 0) return r;
    int ready = 0;
    for (nfds_t i = 0; i < n; i++) {
        short revents = set[i].revents;
        switch (map[i]) {
            case Mapping::Pass:
                break;
            case Mapping::Live:
                revents = (revents & POLLIN)
                              ? static_cast<short>(fds[i].events & (POLLOUT | POLLWRNORM))
                              : 0;
                break;
            case Mapping::Dead:
                revents = static_cast<short>((fds[i].events & (POLLOUT | POLLWRNORM)) | POLLERR |
                                             POLLHUP);
                break;
        }
        fds[i].revents = revents;
        if (revents != 0) ready++;
    }
    return ready;
}

}  // namespace

Table *HostTable(int *fd) {
    static int table_fd = -1;
    static Table *table = [] {
        int mfd = memfd_create("ftdisim-shim", MFD_CLOEXEC);
        if (mfd < 0) return static_cast<Table *>(nullptr);
        if (ftruncate(mfd, sizeof(Table)) != 0) {
            close(mfd);
            return static_cast<Table *>(nullptr);
        }
        void *p = mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE, MAP_SHARED, mfd, 0);
        if (p == MAP_FAILED) {
            close(mfd);
            return static_cast<Table *>(nullptr);
        }
        // A fresh memfd reads as zeros, which is a valid empty table for the
        // lock-free atomics it holds.
        auto *t = static_cast<Table *>(p);
        t->magic.store(kMagic, std::memory_order_release);
        table_fd = mfd;
        return t;
    }();
    if (fd != nullptr) *fd = table_fd;
    if (table != nullptr) g_host_table.store(table, std::memory_order_release);
    return table;
}

void ClearTable(Table *table) {
    table->slots_used.store(0, std::memory_order_release);
    table->denied_count.store(0, std::memory_order_release);
    for (Slot &s : table->slots) {
        s.ino.store(0, std::memory_order_release);
        s.flags.store(0, std::memory_order_relaxed);
    }
}

int AddSlot(Table *table, dev_t dev, ino_t ino, int eventfd, uint8_t bus, uint8_t address) {
    uint32_t used = table->slots_used.load(std::memory_order_acquire);
    if (used >= static_cast<uint32_t>(kSlots)) return -1;
    for (uint32_t i = 0; i < used; i++) {
        Slot &old = table->slots[i];
        if (old.ino.load(std::memory_order_relaxed) == ino &&
            old.dev.load(std::memory_order_relaxed) == dev) {
            if (old.flags.load(std::memory_order_relaxed) & kOpenDenied)
                table->denied_count.fetch_sub(1, std::memory_order_acq_rel);
            old.ino.store(0, std::memory_order_release);
        }
    }
    Slot &s = table->slots[used];
    s.dev.store(dev, std::memory_order_relaxed);
    s.eventfd.store(eventfd, std::memory_order_relaxed);
    s.flags.store(0, std::memory_order_relaxed);
    s.bus_address.store(static_cast<uint32_t>(bus) * 256 + address, std::memory_order_relaxed);
    s.ino.store(ino, std::memory_order_release);
    table->slots_used.store(used + 1, std::memory_order_release);
    return static_cast<int>(used);
}

void SetFlag(Table *table, int slot, uint32_t flag, bool on) {
    if (slot < 0 || slot >= kSlots) return;
    Slot &s = table->slots[slot];
    uint32_t before = on ? s.flags.fetch_or(flag, std::memory_order_acq_rel)
                         : s.flags.fetch_and(~flag, std::memory_order_acq_rel);
    if (flag == kOpenDenied && ((before & kOpenDenied) != 0) != on)
        table->denied_count.fetch_add(on ? 1u : ~0u, std::memory_order_acq_rel);
}

}  // namespace ftdisim::shim

// The interposed entry points. They must stay plain C symbols exported from
// the executable (or the preloaded object) so that libusb binds to them.
extern "C" {

int poll(struct pollfd *fds, nfds_t n, int timeout) {
    return ftdisim::shim::ShimPoll(fds, n, timeout);
}

static mode_t OpenMode(int flags, va_list ap) {
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(ap, int));
    return 0;
}

// A refused device's node fails to open as if its permissions said so;
// every other path goes to the real call.
static int OpenOrRefuse(ftdisim::shim::OpenFn real, const char *path, int flags, mode_t mode) {
    if (ftdisim::shim::OpenDenied(path)) {
        errno = EACCES;
        return -1;
    }
    return real(path, flags, mode);
}

int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = OpenMode(flags, ap);
    va_end(ap);
    static const auto real = ftdisim::shim::Next<ftdisim::shim::OpenFn>("open");
    return OpenOrRefuse(real, path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = OpenMode(flags, ap);
    va_end(ap);
    static const auto real = ftdisim::shim::Next<ftdisim::shim::OpenFn>("open64");
    return OpenOrRefuse(real, path, flags, mode);
}

int __open_2(const char *path, int flags) {
    if (ftdisim::shim::OpenDenied(path)) {
        errno = EACCES;
        return -1;
    }
    static const auto real = ftdisim::shim::Next<ftdisim::shim::Open2Fn>("__open_2");
    return real(path, flags);
}

int __open64_2(const char *path, int flags) {
    if (ftdisim::shim::OpenDenied(path)) {
        errno = EACCES;
        return -1;
    }
    static const auto real = ftdisim::shim::Next<ftdisim::shim::Open2Fn>("__open64_2");
    return real(path, flags);
}

}  // extern "C"
