// FT_Open, FT_OpenEx and FT_Close: find a device, claim its interface, bring
// the chip and the record to their initial state and start the device's
// threads; and tear all of it down again in order.
#include <cctype>
#include <chrono>
#include <cstring>
#include <vector>

#include "chip.h"
#include "ftd2xx-private.h"

namespace d2xx {
namespace {

// Tests make the n-th thread start of the next opens fail (0: none).
std::atomic<int> gThreadStartFault{0};

bool StartThread(std::thread *thread, void (*body)(DeviceExtension *), DeviceExtension *device) {
    const int fault = gThreadStartFault.load();
    if (fault > 0 && gThreadStartFault.fetch_sub(1) == 1) return false;
    try {
        *thread = std::thread(body, device);
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

void JoinIfRunning(std::thread *thread) {
    if (thread->joinable()) thread->join();
}

// Records of devices whose cancelled transfers never completed: libusb may
// still write into them, so they are never freed.
std::mutex gAbandonedMutex;
std::vector<std::shared_ptr<DeviceExtension>> gAbandoned;  // gAbandonedMutex

// How long the close waits for libusb to hand back cancelled transfers. They
// always come back while the event thread runs; this only bounds a broken
// libusb.
constexpr auto kCancelGrace = std::chrono::seconds(10);

// Stops the threads, gets every transfer back from libusb and releases the
// interface. Safe on a record in any state of a partial open. Returns false when
// libusb kept a transfer: the record must then never be freed.
bool ShutdownDevice(DeviceExtension *device) {
    device->stop_threads = true;
    {
        // A write the chip never accepts would otherwise hold the close for
        // ever; no new transfer is submitted once stop_threads is set.
        std::scoped_lock lock(device->out_mutex);
        if (device->out_transfer) libusb_cancel_transfer(device->out_transfer);
    }
    WakeReceiveThreads(device);
    JoinIfRunning(&device->reader_thread);
    JoinIfRunning(&device->processor_thread);
    if (device->writer_thread.joinable()) {
        {
            // Not while a write is posted: it finishes first.
            std::scoped_lock write_lock(device->write_mutex);
            device->write_result = nullptr;
            device->writer_running = false;
            device->write_length = 0;
            device->write_request_event.Set();
        }
        device->writer_thread.join();
    }
    device->writer_running = false;
    device->alive = false;

    for (InTransferSlot &slot : device->in_slots) {
        if (slot.transfer && slot.status == -1) libusb_cancel_transfer(slot.transfer.get());
    }
    bool returned = false;
    {
        std::unique_lock lock(device->inflight_mutex);
        returned = device->inflight_cond.wait_for(lock, kCancelGrace,
                                                  [device] { return device->inflight == 0; });
    }
    // The interface is free for the next open at once; the handle itself
    // closes with the record, after the last call that raced this close.
    if (returned && device->usb_dev && device->usb_interface != -1) {
        libusb_release_interface(device->usb_dev.get(), device->usb_interface);
    }
    return returned;
}

void DiscardRecord(const std::shared_ptr<DeviceExtension> &device, bool reclaimable) {
    if (!reclaimable) {
        std::scoped_lock lock(gAbandonedMutex);
        gAbandoned.push_back(device);
    }
    RemoveDevice(device.get());
}

// Which interface `index` names on this device, given the running count of
// index positions before it (advanced past the device). -1 when none.
int IndexWithinRange(const DeviceExtension &device, uint32_t *running, uint32_t index) {
    const int width = OpenIndexWidth(device.dev_desc.bcdDevice);
    if (width == 0) return -1;
    const uint32_t first = *running;
    *running += static_cast<uint32_t>(width);
    if (index >= first && index < first + static_cast<uint32_t>(width)) {
        return static_cast<int>(index - first);
    }
    return -1;
}

// Which interface a requested name opens, given the device's own string.
// Multi-interface chips are opened by their string plus the interface
// letter (serial numbers) or a space and the letter (descriptions).
int GetDeviceInterface(const DeviceExtension &device, uint32_t selection, const char *requested,
                       const char *own) {
    const size_t want = std::strlen(requested);
    const size_t have = std::strlen(own);
    if (!IsMultiInterfaceChip(device.dev_desc.bcdDevice)) return want == have ? 0 : -1;
    const size_t extra = selection == kSelectSerial ? 1 : 2;
    if (want != have + extra) return -1;
    const int letter = std::toupper(static_cast<unsigned char>(requested[want - 1]));
    if (letter < 'A' || letter > 'D') return -1;
    return letter - 'A';
}

void SetDeviceContext(DeviceExtension *device, int iface) {
    device->read_timeout = 0;
    device->write_timeout = 0;
    device->vendor_id = device->dev_desc.idVendor;
    device->product_id = device->dev_desc.idProduct;
    const libusb_interface_descriptor &alt = device->config_desc->interface[iface].altsetting[0];
    const bool keeps_zlp = KeepsZlpPacketSize(device->dev_desc.bcdDevice);
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor &ep = alt.endpoint[e];
        if (ep.bEndpointAddress & 0x80) {
            device->in_ep = ep.bEndpointAddress;
        } else {
            device->out_ep = ep.bEndpointAddress;
            device->zlp_packet_size = keeps_zlp ? ep.wMaxPacketSize : 0;
        }
    }
    if (IsMultiInterfaceChip(device->dev_desc.bcdDevice)) {
        device->interface_selector = static_cast<uint8_t>(alt.bInterfaceNumber + 1);
        device->usb_interface = alt.bInterfaceNumber;
    } else {
        device->interface_selector = 0;
        device->usb_interface = 0;
    }
}

FT_STATUS ConfigureDevice(DeviceExtension *device, int iface) {
    if (iface < 0 || iface >= device->config_desc->bNumInterfaces ||
        device->config_desc->interface[iface].num_altsetting < 1) {
        return FT_DEVICE_NOT_OPENED;
    }
    SetDeviceContext(device, iface);
    if (libusb_claim_interface(device->usb_dev.get(), iface) < 0) {
        device->usb_interface = -1;
        return FT_DEVICE_NOT_OPENED;
    }
    GetDeviceConfigSettings(device->usb_dev.get(), device->dev_desc, device->usb_interface,
                            &device->config);
    device->write_routine = (device->config.config_flags & kConfigWriteThread)
                                ? FT_WriteMultiThread
                                : FT_WriteSingleThread;
    return FT_OK;
}

// Lets go of a device the search looked at and did not take.
void Reject(DeviceExtension *device) {
    CloseDevice(device);
    device->usb_device.reset();
    device->config_desc.reset();
    device->dev_desc = {};
}

struct DeviceListFree {
    void operator()(libusb_device **list) const { libusb_free_device_list(list, 1); }
};

FT_STATUS OpenDevice(const char *name, uint32_t flags, DeviceExtension *device, int index) {
    libusb_device **raw = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &raw);
    if (count < 0) return FT_DEVICE_NOT_FOUND;
    std::unique_ptr<libusb_device *[], DeviceListFree> list(raw);
    const uint32_t selection = flags & 7u;
    uint32_t running = 0;

    for (ssize_t d = 0; d < count; ++d) {
        libusb_device *usb = list[d];
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(usb, &desc) < 0) continue;
        if (DeviceMatch(desc.idVendor, desc.idProduct) != 1) continue;
        libusb_device_handle *handle = nullptr;
        if (libusb_open(usb, &handle) < 0 || !handle) continue;  // e.g. no permission
        device->usb_dev.reset(handle);
        device->usb_device.reset(libusb_ref_device(usb));
        device->dev_desc = desc;
        libusb_config_descriptor *config = nullptr;
        if (libusb_get_config_descriptor(usb, 0, &config) < 0 || !config) {
            Reject(device);
            continue;
        }
        device->config_desc.reset(config);

        auto configure = [device](int iface) {
            const FT_STATUS s = ConfigureDevice(device, iface);
            if (s != FT_OK) Reject(device);
            return s;
        };
        auto give_up = [device](FT_STATUS s) {
            Reject(device);
            return s;
        };

        if (index != -1) {
            const int iface = IndexWithinRange(*device, &running, static_cast<uint32_t>(index));
            if (iface == -1) {
                Reject(device);
                continue;
            }
            return configure(iface);
        }
        if (selection == kSelectSerial || selection == kSelectDescription) {
            char own[kNameBufferSize];
            if (GetOpenDeviceName(usb, device->usb_dev.get(), own, sizeof own, selection) !=
                FT_OK) {
                return give_up(FT_DEVICE_NOT_OPENED);
            }
            // A blank serial number or description names no device: taken as
            // a prefix it would match every request and end the search here.
            const size_t own_length = std::strlen(own);
            if (own_length == 0 || std::strncmp(name, own, own_length) != 0) {
                Reject(device);
                continue;
            }
            const int iface = GetDeviceInterface(*device, selection, name, own);
            if (iface == -1 || iface >= device->config_desc->bNumInterfaces) {
                return give_up(FT_DEVICE_NOT_FOUND);
            }
            return configure(iface);
        }
        if (selection == kSelectLocation) {
            uint32_t location = 0;
            if (GetOpenDeviceLocation(usb, 0, &location) != FT_OK) {
                Reject(device);
                continue;
            }
            const auto requested = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(name));
            const bool multi = IsMultiInterfaceChip(desc.bcdDevice);
            if ((multi ? requested & ~0xFu : requested) != location) {
                Reject(device);
                continue;
            }
            int iface = 0;
            if (multi) {
                const uint32_t n = requested & 0xFu;
                if (n < 1 || n > device->config_desc->bNumInterfaces) {
                    return give_up(FT_DEVICE_NOT_FOUND);
                }
                iface = static_cast<int>(n - 1);
            }
            return configure(iface);
        }
        Reject(device);
    }
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS AllocateReceiveStorage(DeviceExtension *device) {
    try {
        device->rx_data = std::make_unique_for_overwrite<uint8_t[]>(kRxCapacity);
        for (InTransferSlot &slot : device->in_slots) {
            slot.buffer = std::make_unique_for_overwrite<uint8_t[]>(kInSlotBufferSize);
            slot.transfer.reset(libusb_alloc_transfer(0));
            if (!slot.transfer) return FT_INSUFFICIENT_RESOURCES;
            slot.done_event.Reset();
            slot.free_event.Reset();
            slot.free_event.Set();
            slot.purge_generation = 0;
            slot.status = 0;
            slot.length = 0;
            slot.device = device;
        }
    } catch (const std::bad_alloc &) {
        return FT_INSUFFICIENT_RESOURCES;
    }
    return FT_OK;
}

FT_STATUS InitDeviceStructure(DeviceExtension *device) {
    FT_STATUS status = ResetDevice(device);
    if (status == FT_OK) status = Purge(device, FT_PURGE_RX | FT_PURGE_TX);
    if (status != FT_OK) return status;
    status = GetModemStatus(device);
    if (status != FT_OK) return status;

    const libusb_interface_descriptor &alt0 = device->config_desc->interface[0].altsetting[0];
    device->packet_size = alt0.bNumEndpoints > 0 && alt0.endpoint[0].wMaxPacketSize != 0
                              ? alt0.endpoint[0].wMaxPacketSize
                              : 64;
    device->stop_threads = false;
    device->in_task_stopped = 0;
    {
        std::scoped_lock lock(device->rx_mutex);
        device->rx_capacity = kRxCapacity;
        device->rx_write_index = 0;
        device->rx_read_index = 0;
        device->rx_free = kRxCapacity;
        device->in_transfer_size = 4096;
    }
    device->in_transfer_size_max = kInSlotBufferSize;
    device->out_transfer_size_max = 65536;
    device->out_transfer_size = 4096;
    device->processor_wait_ms = 300;
    device->reader_wait_ms = 500;
    device->deadman_timeout = 5000;
    device->in_timeout = 5000;

    uint8_t latency = 0;
    status = GetLatencyTimer(device, &latency);
    if (status != FT_OK) return status;
    device->latency_ms = latency;

    char serial[18] = {};
    char description[67] = {};
    FT_DEVICE type = 0;
    uint32_t id = 0;
    if (FT_GetDeviceInfo(device, &type, &id, serial, description, nullptr) == FT_OK) {
        device->info.Flags = 0;
        device->info.Type = type;
        device->info.ID = id;
        std::memcpy(device->info.SerialNumber, serial, sizeof device->info.SerialNumber);
        std::memcpy(device->info.Description, description, sizeof device->info.Description);
        device->info.ftHandle = device;
    }
    status = FT_GetDeviceLocId(device, &device->info.LocId);
    if (status != FT_OK) return status;

    device->comm_event.Reset();
    device->reader_wake_event.Reset();
    device->processor_wake_event.Reset();
    device->write_request_event.Reset();
    device->write_done_event.Reset();
    device->event_char = 0;
    device->event_char_enabled = 0;
    device->error_char = 0;
    device->error_char_enabled = 0;
    device->line_control_word = 8;
    device->alive = true;
    return FT_OK;
}

FT_STATUS FTCommonOpen(const char *name, uint32_t flags, int index, FT_HANDLE *pHandle) {
    if (!pHandle) return FT_INVALID_PARAMETER;
    LibraryLock lock;
    if (!lock.ok()) return FT_OTHER_ERROR;
    if (!EnsureInitialisedLocked()) return FT_OTHER_ERROR;
    std::shared_ptr<DeviceExtension> device = AddDevice();
    if (!device) return FT_INSUFFICIENT_RESOURCES;
    device->usb_interface = -1;

    auto fail = [&device](FT_STATUS status) {
        DiscardRecord(device, ShutdownDevice(device.get()));
        return status;
    };
    FT_STATUS status = OpenDevice(name, flags, device.get(), index);
    if (status != FT_OK) return fail(status);
    status = AllocateReceiveStorage(device.get());
    if (status != FT_OK) return fail(status);
    // The interface is ours: a chip that is slow to answer the requests
    // below holds up only this open, not the opens and listings of others.
    lock.unlock();
    status = InitDeviceStructure(device.get());
    if (status != FT_OK) return fail(status);

    if (!StartThread(&device->reader_thread, reader_thread, device.get()) ||
        !StartThread(&device->processor_thread, processor_thread, device.get())) {
        return fail(FT_INSUFFICIENT_RESOURCES);
    }
    device->writer_running = true;
    if (!StartThread(&device->writer_thread, write_thread, device.get())) {
        return fail(FT_INSUFFICIENT_RESOURCES);
    }
    *pHandle = device.get();
    return FT_OK;
}

}  // namespace

void SetThreadStartFaultForTests(int n) {
    gThreadStartFault = n;
}

FT_STATUS CloseHandle(FT_HANDLE handle) {
    std::shared_ptr<DeviceExtension> device = AcquireDevice(handle);
    if (!device) return FT_INVALID_HANDLE;
    // Unlinked first: a second close, or any later call, sees an invalid
    // handle, while calls already running keep the record alive. Of two
    // closes racing on one handle only the one that unlinked it goes on.
    if (!RemoveDevice(device.get())) return FT_INVALID_HANDLE;
    const bool reclaimable = ShutdownDevice(device.get());
    {
        std::scoped_lock lock(device->comm_mutex);
        device->comm_wait_mask = 0;
        device->comm_wait_abort = 1;
    }
    device->comm_event.Set();
    if (!reclaimable) DiscardRecord(device, false);
    return FT_OK;
}

}  // namespace d2xx

using namespace d2xx;

extern "C" {

FTD2XX_API FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle) {
    if (deviceNumber < 0) {
        if (!pHandle) return FT_INVALID_PARAMETER;
        return FT_DEVICE_NOT_FOUND;
    }
    return FTCommonOpen(nullptr, 0, deviceNumber, pHandle);
}

FTD2XX_API FT_STATUS FT_OpenEx(void *pArg1, uint32_t Flags, FT_HANDLE *pHandle) {
    const uint32_t selection = Flags & 7u;
    if ((selection == kSelectSerial || selection == kSelectDescription) && !pArg1) {
        return FT_INVALID_PARAMETER;
    }
    return FTCommonOpen(static_cast<const char *>(pArg1), Flags, -1, pHandle);
}

FTD2XX_API FT_STATUS FT_Close(FT_HANDLE ftHandle) {
    return CloseHandle(ftHandle);
}

}  // extern "C"
