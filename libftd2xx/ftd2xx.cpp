// Library start-up and shut-down, the library lock, the accepted-id calls,
// and the version and platform calls.
#include <libusb.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>

#include "ftd2xx-private.h"

namespace d2xx {
namespace {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 4;
constexpr int kVersionBuild = 8;

// Each component is written as two decimal digits that are read back as
// hexadecimal: 1.4.8 becomes 0x00010408.
constexpr int PackVersion(int major, int minor, int build) {
    auto digits = [](int v) { return ((v / 10) << 4) | (v % 10); };
    return (digits(major) << 16) | (digits(minor) << 8) | digits(build);
}
static_assert(kVersionMajor >= 0 && kVersionMajor <= 99 && kVersionMinor >= 0 &&
                  kVersionMinor <= 99 && kVersionBuild >= 0 && kVersionBuild <= 99,
              "each version component must be two decimal digits");
static_assert(PackVersion(kVersionMajor, kVersionMinor, kVersionBuild) > 0,
              "the version must not be 0.0.0");
static_assert(PackVersion(1, 4, 8) == 0x00010408);

constexpr int kIdTableCapacity = 24;
constexpr uint32_t kDefaultIds[] = {
    0x04036001, 0x04036006, 0x04036010, 0x04036011, 0x04036012, 0x04036014, 0x04036015, 0x0403601C,
    0x0403FAC1, 0x0403FAC2, 0x0403FAC3, 0x0403FAC4, 0x0403FAC5, 0x0403FAC6, 0x08AC1025, 0x15D60001,
};

// The libusb event thread wakes at least this often to look at its stop
// flag; a stop also interrupts it at once.
constexpr suseconds_t kPollIntervalUs = 100000;

struct LibraryState {
    std::atomic<int> gInitialised{0};  // written under the library mutex
    std::unique_ptr<IdTable> gIdt GUARDED_BY(gLibraryMutex);
    std::atomic<bool> do_libusb_update{false};
    std::thread poll_libusb_thread GUARDED_BY(gLibraryMutex);  // started and joined under it
    // Set by the finaliser: from then on nothing brings libusb up again, so
    // opens, listings and the id calls fail.
    bool finalising GUARDED_BY(gLibraryMutex) = false;
};

// Never destroyed: a thread still calling in at exit finds the lock intact.
LibraryState &Lib() {
    static Immortal<LibraryState> state;
    return state.value;
}

// How long the finaliser waits for calls still running on other threads to
// leave the library before it ends libusb. Closing their handles ends
// every wait of theirs (reads, writes, comm-event waits) at once; only a
// control request to a chip that does not answer can take longer.
constexpr auto kExitGrace = std::chrono::seconds(2);

// Polls `done` until it is true or the deadline passes; its last value.
template <typename Done>
bool WaitUntilDeadline(std::chrono::steady_clock::time_point deadline, Done done) {
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void poll_async_libusb() {
    LibraryState &lib = Lib();
    while (lib.do_libusb_update.load()) {
        timeval interval{0, kPollIntervalUs};
        libusb_handle_events_timeout_completed(nullptr, &interval, nullptr);
    }
}

bool StartLibusb(LibraryState &lib) REQUIRES(gLibraryMutex) {
    if (libusb_init(nullptr) < 0) return false;
    lib.do_libusb_update = true;
    try {
        lib.poll_libusb_thread = std::thread(poll_async_libusb);
    } catch (const std::system_error &) {
        lib.do_libusb_update = false;
        libusb_exit(nullptr);
        return false;
    }
    return true;
}

void StopEventThread(LibraryState &lib) REQUIRES(gLibraryMutex) {
    lib.do_libusb_update = false;
    libusb_interrupt_event_handler(nullptr);
    if (lib.poll_libusb_thread.joinable()) lib.poll_libusb_thread.join();
}

void StopLibusb(LibraryState &lib) REQUIRES(gLibraryMutex) {
    StopEventThread(lib);
    ForgetKnownDevices();  // its device references go before the context
    libusb_exit(nullptr);
}

// Runs constructD2xx before main and destroyD2xx after it returns. Defined
// after Lib()'s first use in construction, so the state outlives it.
struct Lifetime {
    Lifetime() {
        MutexLock lock(gLibraryMutex);
        constructD2xx();
    }
    ~Lifetime() { destroyD2xx(); }
};

}  // namespace

// Constant-initialised: usable by any other translation unit's start-up.
Mutex gLibraryMutex;

namespace {
Lifetime gLifetime;
}  // namespace

int constructD2xx() {
    LibraryState &lib = Lib();
    // The registry and the information list are function-local statics:
    // touching them here, while the start-up object is being built, makes
    // them outlive its shut-down.
    RegisteredDeviceCount();
    ResetAttachedList();
    if (!lib.gIdt) {
        // A table that survived a failed or ended start keeps the ids an
        // application added.
        auto table = IdTable_create(kIdTableCapacity);
        if (!table) return 0;
        int errors = 0;
        for (uint32_t id : kDefaultIds) errors += table->Add(id);
        if (errors != 0) return 0;  // cannot happen: the defaults fit the initial capacity
        lib.gIdt = std::move(table);
    }
    if (lib.gInitialised.load()) return 1;
    if (!StartLibusb(lib)) return 0;
    lib.gInitialised = 1;
    return 1;
}

void destroyD2xx() {
    LibraryState &lib = Lib();
    {
        MutexLock lock(gLibraryMutex);
        lib.finalising = true;
    }
    // Nothing of libusb may run after libusb_exit: not an open that is still
    // setting its device up, not the threads and transfers of the devices
    // the application left open, and not the libusb_close of a record whose
    // last reference a call on another thread still holds. Each is waited
    // for, within kExitGrace in all; whatever is still running then keeps
    // the libusb context, which the process's end takes with it.
    const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
    bool quiet = WaitUntilDeadline(deadline, [] { return OpensInFlight() == 0; });
    if (quiet) {
        while (auto device = FindDevice(0)) CloseHandle(device.get());
        const auto kept = static_cast<int>(AbandonedRecordCount());
        quiet = WaitUntilDeadline(deadline, [kept] { return LiveRecord::Count() == kept; }) &&
                kept == 0;
    }
    MutexLock lock(gLibraryMutex);
    if (lib.gInitialised.load()) {
        if (quiet) {
            StopLibusb(lib);
        } else {
            StopEventThread(lib);
        }
    }
    lib.gInitialised = 0;
    ResetAttachedList();
    lib.gIdt.reset();
}

LibraryLock::LibraryLock() {
    try {
        lock_ = std::unique_lock(gLibraryMutex.mutex_);
    } catch (const std::system_error &) {
        // ok() stays false: the caller reports FT_OTHER_ERROR
    }
}

FT_STATUS StatusOfException() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc &) {
        return FT_INSUFFICIENT_RESOURCES;
    } catch (...) {
        return FT_OTHER_ERROR;
    }
}

bool EnsureInitialisedLocked() {
    LibraryState &lib = Lib();
    if (lib.finalising) return false;
    if (lib.gInitialised.load() && lib.gIdt) return true;
    return constructD2xx() == 1;
}

bool IsInitialised() {
    return Lib().gInitialised.load() != 0;
}

IdTable *IdTableLocked() {
    return Lib().gIdt.get();
}

int DeviceMatch(uint32_t vid, uint32_t pid) {
    IdTable *idt = IdTableLocked();
    return idt && idt->Find(MakeUsbId(vid, pid)) ? 1 : 0;
}

bool FinaliseLibusb() {
    LibraryState &lib = Lib();
    MutexLock lock(gLibraryMutex);
    if (RegisteredDeviceCount() != 0) return false;
    if (lib.gInitialised.load()) StopLibusb(lib);
    lib.gInitialised = 0;
    return true;
}

bool ReinitialiseLibusb() {
    if (!FinaliseLibusb()) return false;
    MutexLock lock(gLibraryMutex);
    return EnsureInitialisedLocked();
}

int versionNumberToHex() {
    return PackVersion(kVersionMajor, kVersionMinor, kVersionBuild);
}

}  // namespace d2xx

using namespace d2xx;

extern "C" {

FTD2XX_API FT_STATUS FT_GetLibraryVersion(uint32_t *lpdwVersion) {
    if (!lpdwVersion) return FT_INVALID_PARAMETER;
    *lpdwVersion = static_cast<uint32_t>(versionNumberToHex());
    return FT_OK;
}

FTD2XX_API FT_STATUS FT_GetDriverVersion(FT_HANDLE, uint32_t *lpdwVersion) {
    // The library is its own driver: same number, and the handle is not used.
    return FT_GetLibraryVersion(lpdwVersion);
}

FTD2XX_API FT_STATUS FT_SetVIDPID(uint32_t dwVID, uint32_t dwPID) try {
    if (dwVID == 0 && dwPID == 0) return FT_OK;
    LibraryLock lock;
    if (!lock.ok()) return FT_OTHER_ERROR;
    if (!EnsureInitialisedLocked()) return FT_OTHER_ERROR;
    if (IdTableLocked()->Add(MakeUsbId(dwVID, dwPID)) != 0) return FT_INSUFFICIENT_RESOURCES;
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_GetVIDPID(uint32_t *pdwVID, uint32_t *pdwPID) try {
    if (!pdwVID || !pdwPID) return FT_INVALID_PARAMETER;
    // The table can grow under FT_SetVIDPID on another thread: read it locked.
    LibraryLock lock;
    if (!lock.ok()) return FT_OTHER_ERROR;
    if (!EnsureInitialisedLocked()) return FT_OTHER_ERROR;
    const uint32_t id = IdTableLocked()->FinalEntry();
    *pdwVID = id >> 16;
    *pdwPID = id & 0xFFFFu;
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

// Calls that only mean something on other platforms.
FTD2XX_API FT_STATUS FT_Rescan(void) {
    return FT_NOT_SUPPORTED;
}
FTD2XX_API FT_STATUS FT_Reload(uint16_t, uint16_t) {
    return FT_NOT_SUPPORTED;
}
FTD2XX_API FT_STATUS FT_GetComPortNumber(FT_HANDLE, int32_t *) {
    return FT_NOT_SUPPORTED;
}
FTD2XX_API FT_STATUS FT_ComPortIdle(FT_HANDLE) {
    return FT_NOT_SUPPORTED;
}
FTD2XX_API FT_STATUS FT_ComPortCancelIdle(FT_HANDLE) {
    return FT_NOT_SUPPORTED;
}

}  // extern "C"
