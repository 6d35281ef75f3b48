// What the library's sources share: the per-device record every FT_HANDLE
// points to, the handle registry, and the library-wide state and lock.
#pragma once

#include <libusb.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "ftd2xx.h"
#include "idtable.h"

namespace d2xx {

// One per open device. An FT_HANDLE is the address of one of these; the
// registry owns it from the start of an open until FT_Close (or the failed
// open) removes it. Calls that are in flight when the record leaves the
// registry keep it alive through their own reference (AcquireDevice).
struct DeviceExtension {
    libusb_device_handle *usb_dev = nullptr;  // null when not open
    libusb_device *usb_device = nullptr;      // the enumerated device opened from
    int usb_interface = -1;                   // claimed interface; -1 while none
    uint8_t interface_selector = 0;           // wIndex of line requests
};

// --- handle registry (device-list.cpp) ---------------------------------
// Newest record first. Guarded by its own registry mutex, so validation and
// removal are safe while other threads open and close devices; never held
// while calling into libusb or waiting.
std::shared_ptr<DeviceExtension> AddDevice();
void RemoveDevice(const void *record);
bool IsDeviceValid(const void *handle);
// The n-th record counting from the newest (0), or null.
std::shared_ptr<DeviceExtension> FindDevice(int n);
// The registered record `handle` points to, or null: the caller's reference
// keeps the record's memory valid until it is dropped.
std::shared_ptr<DeviceExtension> AcquireDevice(const void *handle);
size_t RegisteredDeviceCount();

// --- library-wide state (ftd2xx.cpp) ------------------------------------
// Lock order: the library mutex > the registry mutex. The library mutex is
// held for a whole open, FT_ListDevices and FT_SetVIDPID.
class LibraryLock {
public:
    LibraryLock();
    bool ok() const { return lock_.owns_lock(); }

private:
    std::unique_lock<std::mutex> lock_;
};

// Brings the library up (id table, libusb default context, libusb event
// thread). Runs before main and again lazily; returns 1 when the library is
// ready. Callers after start-up hold the library lock.
int constructD2xx();
void destroyD2xx();
// With the library lock held: initialise if needed; false if that fails.
bool EnsureInitialisedLocked();
bool IsInitialised();
// The accepted-id table; requires the library lock after start-up.
IdTable *IdTableLocked();
// 1 when vid:pid is one of the library's devices. Requires the library lock.
int DeviceMatch(uint32_t vid, uint32_t pid);

// For tests that build a simulated bus after the library started: libusb's
// hot-plug monitor only sees devices that exist when its context is created,
// and no context may outlive the simulated bus. Neither is exported.
// Ends the libusb context and the event thread; the next open or listing
// brings them up again. Refused (false) while devices are open.
bool FinaliseLibusb();
// Ends and restarts them at once.
bool ReinitialiseLibusb();

// Packed library version 0x00MMmmBB.
int versionNumberToHex();

}  // namespace d2xx
