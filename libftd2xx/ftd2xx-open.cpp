// FT_Open, FT_OpenEx and FT_Close: find a device, claim its interface, bring
// the chip and the record to their initial state and start the device's
// threads; and tear all of it down again in order.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <iterator>
#include <list>
#include <string>
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
// still write into them, so they are never freed, not even at exit.
struct AbandonedRecords {
    Mutex mutex ACQUIRED_AFTER(gLibraryMutex);
    std::vector<std::shared_ptr<DeviceExtension>> records GUARDED_BY(mutex);
};

AbandonedRecords &Abandoned() {
    static Immortal<AbandonedRecords> abandoned;
    return abandoned.value;
}

std::atomic<int> gOpensInFlight{0};

// Counts one open in OpensInFlight from its start to its return.
class OpenInFlight {
  public:
    OpenInFlight() { gOpensInFlight.fetch_add(1); }
    ~OpenInFlight() { gOpensInFlight.fetch_sub(1); }
    OpenInFlight(const OpenInFlight &) = delete;
    OpenInFlight &operator=(const OpenInFlight &) = delete;
};

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
        MutexLock lock(device->out_mutex);
        if (device->out_transfer) libusb_cancel_transfer(device->out_transfer);
    }
    WakeReceiveThreads(device);
    JoinIfRunning(&device->reader_thread);
    JoinIfRunning(&device->processor_thread);
    if (device->writer_thread.joinable()) {
        {
            // Not while a write is posted: it finishes first.
            MutexLock write_lock(device->write_mutex);
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
        MutexLock lock(device->inflight_mutex);
        const auto deadline = std::chrono::steady_clock::now() + kCancelGrace;
        while (device->inflight != 0 &&
               device->inflight_cond.wait_until(device->inflight_mutex, deadline)) {
        }
        returned = device->inflight == 0;
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
        AbandonedRecords &abandoned = Abandoned();
        MutexLock lock(abandoned.mutex);
        abandoned.records.push_back(device);
    }
    RemoveDevice(device.get());
}

// The strings of the devices this process has opened, with their language
// id. A device's strings stay what they were at its enumeration (a changed
// serial number makes the kernel enumerate it afresh), so after the first
// open of a device its later opens send the chip only the requests that set
// it up. A device is known by its libusb device, which the entry holds a
// reference to, so the object cannot be freed and reused: libusb makes a new
// one for every device it sees arrive (replugged, or another chip in its
// place). Entries of devices that are no longer listed are dropped at the
// next open, and all of them before libusb ends. Strings that could not be
// read are not kept.
struct KnownDevice {
    std::unique_ptr<libusb_device, DeviceUnref> usb;
    uint16_t langid = 0;
    struct Text {
        uint8_t index;
        std::string text;
    };
    std::deque<Text> texts;  // grows at the back: a text handed out stays where it is
};

struct KnownDevices {
    // A list: an entry stays where it is while others come and go.
    std::list<KnownDevice> devices GUARDED_BY(gLibraryMutex);
};

KnownDevices &Known() {
    static Immortal<KnownDevices> known;
    return known.value;
}

// Forgets the devices that are not among `devices`.
void ForgetUnlisted(const LibraryDevices &devices) REQUIRES(gLibraryMutex) {
    Known().devices.remove_if([&devices](const KnownDevice &k) {
        return std::none_of(devices.entries().begin(), devices.entries().end(),
                            [&k](const LibraryDevices::Entry &e) { return e.usb == k.usb.get(); });
    });
}

KnownDevice *KnownFor(libusb_device *usb) REQUIRES(gLibraryMutex) {
    std::list<KnownDevice> &devices = Known().devices;
    for (KnownDevice &k : devices) {
        if (k.usb.get() == usb) return &k;
    }
    KnownDevice &k = devices.emplace_back();
    k.usb.reset(libusb_ref_device(usb));
    return &k;
}

// The strings of the device being opened: each is read from the chip at
// most once per open, and not at all when an earlier open has read it.
// Used only under the library lock.
class DeviceNames final : public NameSource {
  public:
    void Reset(libusb_device_handle *handle, KnownDevice *known) {
        handle_ = handle;
        known_ = known;
        failed_count_ = 0;
    }
    const char *String(uint8_t index) override NO_THREAD_SAFETY_ANALYSIS {
        if (!known_) return nullptr;
        for (const KnownDevice::Text &t : known_->texts) {
            if (t.index == index) return t.text.c_str();
        }
        for (size_t i = 0; i < failed_count_; ++i) {
            if (failed_[i] == index) return nullptr;
        }
        char text[kNameBufferSize] = {};
        if (!handle_ || ReadStringAscii(handle_, index, &known_->langid, text, sizeof text) < 0) {
            if (failed_count_ < std::size(failed_)) failed_[failed_count_++] = index;
            return nullptr;
        }
        known_->texts.push_back(KnownDevice::Text{index, text});
        return known_->texts.back().text.c_str();
    }
    uint16_t langid() const NO_THREAD_SAFETY_ANALYSIS { return known_ ? known_->langid : 0; }

  private:
    libusb_device_handle *handle_ = nullptr;
    KnownDevice *known_ = nullptr;
    uint8_t failed_[2] = {};  // the serial number and the product string
    size_t failed_count_ = 0;
};

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
    device->interface_selector = IsMultiInterfaceChip(device->dev_desc.bcdDevice)
                                     ? static_cast<uint8_t>(alt.bInterfaceNumber + 1)
                                     : 0;
    device->usb_interface = alt.bInterfaceNumber;
}

// What a refused claim was refused for: an interface this process is
// handing over (`key`), or 0 when someone else holds it.
struct Refusal {
    uint32_t key = 0;
};

FT_STATUS ConfigureDevice(DeviceExtension *device, int iface, DeviceNames *names,
                          Refusal *refusal) {
    if (iface < 0 || iface >= device->config_desc->bNumInterfaces ||
        device->config_desc->interface[iface].num_altsetting < 1) {
        return FT_DEVICE_NOT_OPENED;
    }
    SetDeviceContext(device, iface);
    const uint32_t key = ClaimKey(device->usb_device.get(), iface);
    const uint64_t ended = HandOver::Ended(key);
    if (libusb_claim_interface(device->usb_dev.get(), iface) < 0) {
        device->usb_interface = -1;
        // A hand-over under way, or one that ended during the attempt, is
        // this process letting go of the interface: worth waiting for.
        if (HandOver::Busy(key) || HandOver::Ended(key) != ended) refusal->key = key;
        return FT_DEVICE_NOT_OPENED;
    }
    device->claim_key = key;
    GetDeviceConfigSettings(device->dev_desc, device->usb_interface, *names, &device->config);
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

// Finds the device the arguments name and claims its interface. Whatever
// the descriptors decide (index positions, locations) is decided before a
// device is opened, so only a search by serial number or description opens
// devices it does not take.
FT_STATUS OpenDevice(const char *name, uint32_t flags, DeviceExtension *device, int index,
                     DeviceNames *names, Refusal *refusal) REQUIRES(gLibraryMutex) {
    const LibraryDevices devices;
    if (!devices.ok()) return FT_DEVICE_NOT_FOUND;
    ForgetUnlisted(devices);
    const uint32_t selection = flags & 7u;
    if (index == -1 && selection != kSelectSerial && selection != kSelectDescription &&
        selection != kSelectLocation) {
        return FT_DEVICE_NOT_FOUND;
    }
    uint32_t running = 0;

    for (const LibraryDevices::Entry &entry : devices.entries()) {
        libusb_device *usb = entry.usb;
        const libusb_device_descriptor &desc = entry.desc;
        const int interfaces = entry.config->bNumInterfaces;
        int iface = -1;
        if (index != -1) {
            // Positions count every interface, as the listing does; those of
            // a chip that cannot be opened by index are not opened.
            const uint32_t first = running;
            running += static_cast<uint32_t>(interfaces);
            const auto wanted = static_cast<uint32_t>(index);
            if (wanted >= running) continue;
            const uint32_t k = wanted - first;
            if (k >= static_cast<uint32_t>(OpenIndexWidth(desc.bcdDevice))) {
                return FT_DEVICE_NOT_FOUND;
            }
            iface = static_cast<int>(k);
        } else if (selection == kSelectLocation) {
            const uint32_t location = LocationId(libusb_get_bus_number(usb),
                                                 libusb_get_device_address(usb), interfaces > 1, 0);
            const auto requested = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(name));
            const bool multi = IsMultiInterfaceChip(desc.bcdDevice);
            if ((multi ? requested & ~0xFu : requested) != location) continue;
            iface = 0;
            if (multi) {
                const uint32_t n = requested & 0xFu;
                if (n < 1 || n > static_cast<uint32_t>(interfaces)) return FT_DEVICE_NOT_FOUND;
                iface = static_cast<int>(n - 1);
            }
        }

        libusb_device_handle *handle = nullptr;
        if (libusb_open(usb, &handle) < 0 || !handle) {  // e.g. no permission
            if (index != -1) return FT_DEVICE_NOT_FOUND;
            continue;
        }
        device->usb_dev.reset(handle);
        device->usb_device.reset(libusb_ref_device(usb));
        device->dev_desc = desc;
        names->Reset(handle, KnownFor(usb));
        libusb_config_descriptor *config = nullptr;
        if (libusb_get_config_descriptor(usb, 0, &config) < 0 || !config) {
            Reject(device);
            if (iface != -1) return FT_DEVICE_NOT_FOUND;
            continue;
        }
        device->config_desc.reset(config);

        auto configure = [device, names, refusal](int i) {
            const FT_STATUS s = ConfigureDevice(device, i, names, refusal);
            if (s != FT_OK) Reject(device);
            return s;
        };
        if (iface != -1) return configure(iface);

        // By serial number or description.
        const uint8_t string_index =
            selection == kSelectSerial ? desc.iSerialNumber : desc.iProduct;
        const char *own = string_index == 0 ? "" : names->String(string_index);
        // Only a name the device lists opens it; the search goes on past
        // every other device (one whose string cannot be read included).
        iface = own ? ListedInterface(name, own, selection, desc.bcdDevice, interfaces) : -1;
        if (iface == -1) {
            Reject(device);
            continue;
        }
        return configure(iface);
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

// The information node, from the strings the open has read (the same text
// FT_GetDeviceInfo gives). Written while the library lock is held: the
// information list reads the nodes of the devices this process holds.
FT_STATUS FillInformationNode(DeviceExtension *device, DeviceNames *names) REQUIRES(gLibraryMutex) {
    const libusb_device_descriptor &desc = device->dev_desc;
    const char *serial = desc.iSerialNumber == 0 ? "" : names->String(desc.iSerialNumber);
    const char *product = desc.iProduct == 0 ? "" : names->String(desc.iProduct);
    device->string_langid = names->langid();
    if (serial && product) {
        const char letter = LettersNames(NameForm::kNode, desc.bcdDevice, 0)
                                ? InterfaceLetter(device->usb_interface)
                                : '\0';
        char serial_text[kFormattedNameSize];
        char description_text[kFormattedNameSize];
        FormatName(serial_text, serial, NameForm::kNode, kSelectSerial, letter);
        FormatName(description_text, product, NameForm::kNode, kSelectDescription, letter);
        device->info.Flags = 0;
        device->info.Type = GetDeviceType(desc);
        device->info.ID = (static_cast<uint32_t>(desc.idVendor) << 16) | desc.idProduct;
        std::memcpy(device->info.SerialNumber, serial_text, sizeof device->info.SerialNumber);
        std::memcpy(device->info.Description, description_text, sizeof device->info.Description);
        device->info.ftHandle = device;
    }
    return FT_GetDeviceLocId(device, &device->info.LocId);
}

FT_STATUS InitDeviceStructure(DeviceExtension *device) {
    // Nobody else has the handle yet; held for the settings it starts.
    MutexLock settings(device->settings_mutex);
    FT_STATUS status = ResetDevice(device);
    if (status == FT_OK) status = Purge(device, FT_PURGE_RX | FT_PURGE_TX);
    if (status != FT_OK) return status;
    status = GetModemStatus(device);
    if (status != FT_OK) return status;

    device->stop_threads = false;
    device->in_task_stopped = 0;
    {
        MutexLock lock(device->rx_mutex);
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

// Packet size of the first endpoint, as the information list reports it.
void SetPacketSize(DeviceExtension *device) {
    const libusb_interface_descriptor &alt0 = device->config_desc->interface[0].altsetting[0];
    device->packet_size = alt0.bNumEndpoints > 0 && alt0.endpoint[0].wMaxPacketSize != 0
                              ? alt0.endpoint[0].wMaxPacketSize
                              : 64;
}

// One attempt at an open. A claim refused because this process is handing
// the interface over leaves its key in `refusal`; the waiter is registered
// for it before the library lock is dropped.
FT_STATUS TryOpen(const char *name, uint32_t flags, int index, FT_HANDLE *pHandle, Refusal *refusal,
                  HandOverWaiter *waiter) {
    // Declared first, so that it ends last: after a failed open has let the
    // interface go and left the registry, or after a good one is complete.
    HandOver opening;
    LibraryLock lock;
    if (!lock.ok()) return FT_OTHER_ERROR;
    if (!EnsureInitialisedLocked()) return FT_OTHER_ERROR;
    // Counted while the library lock is held: once the finaliser has
    // refused new opens (under the same lock) the count only falls.
    const OpenInFlight in_flight;
    std::shared_ptr<DeviceExtension> device = AddDevice();
    if (!device) return FT_INSUFFICIENT_RESOURCES;
    device->usb_interface = -1;

    auto fail = [&device](FT_STATUS status) {
        DiscardRecord(device, ShutdownDevice(device.get()));
        return status;
    };
    // Whatever throws on the way (an allocation, a thread) undoes the open
    // as a refused one does.
    try {
        DeviceNames names;
        FT_STATUS status = OpenDevice(name, flags, device.get(), index, &names, refusal);
        if (status != FT_OK) {
            if (waiter && refusal->key != 0) waiter->Wait(refusal->key);
            return fail(status);
        }
        opening.Begin(device->claim_key);
        SetPacketSize(device.get());
        status = AllocateReceiveStorage(device.get());
        if (status == FT_OK) status = FillInformationNode(device.get(), &names);
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
    } catch (...) {
        return fail(StatusOfException());
    }
    *pHandle = device.get();
    return FT_OK;
}

// An open refused an interface that this process is handing over (another
// thread closing it, or the information list's short open) waits for the
// hand-over and tries again, within HandOverWait.
FT_STATUS FTCommonOpen(const char *name, uint32_t flags, int index, FT_HANDLE *pHandle,
                       bool wait_for_hand_over = true) {
    if (!pHandle) return FT_INVALID_PARAMETER;
    const auto deadline = std::chrono::steady_clock::now() + HandOverWait();
    HandOverWaiter waiter;
    for (;;) {
        Refusal refusal;
        const FT_STATUS status =
            TryOpen(name, flags, index, pHandle, &refusal, wait_for_hand_over ? &waiter : nullptr);
        if (status != FT_DEVICE_NOT_OPENED || refusal.key == 0 || !wait_for_hand_over) {
            return status;
        }
        if (!HandOver::WaitIdle(refusal.key, deadline)) return status;
    }
}

}  // namespace

void ForgetKnownDevices() REQUIRES(gLibraryMutex) {
    Known().devices.clear();
}

FT_STATUS OpenForList(uint32_t location, FT_HANDLE *handle) {
    return FTCommonOpen(reinterpret_cast<const char *>(static_cast<uintptr_t>(location)),
                        FT_OPEN_BY_LOCATION, -1, handle, false);
}

void SetThreadStartFaultForTests(int n) {
    gThreadStartFault = n;
}

int OpensInFlight() {
    return gOpensInFlight.load();
}

size_t AbandonedRecordCount() {
    AbandonedRecords &abandoned = Abandoned();
    MutexLock lock(abandoned.mutex);
    return abandoned.records.size();
}

FT_STATUS CloseHandle(FT_HANDLE handle) {
    std::shared_ptr<DeviceExtension> device = AcquireDevice(handle);
    if (!device) return FT_INVALID_HANDLE;
    // In hand-over from before the record leaves the registry until the
    // interface is released: an open or a list of this process meanwhile
    // waits for it instead of finding the interface held by nobody it knows.
    HandOver releasing(device->claim_key);
    // Unlinked first: a second close, or any later call, sees an invalid
    // handle, while calls already running keep the record alive. Of two
    // closes racing on one handle only the one that unlinked it goes on.
    if (!RemoveDevice(device.get())) return FT_INVALID_HANDLE;
    const bool reclaimable = ShutdownDevice(device.get());
    {
        MutexLock lock(device->comm_mutex);
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

FTD2XX_API FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle) try {
    if (deviceNumber < 0) {
        if (!pHandle) return FT_INVALID_PARAMETER;
        return FT_DEVICE_NOT_FOUND;
    }
    return FTCommonOpen(nullptr, 0, deviceNumber, pHandle);
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_OpenEx(void *pArg1, uint32_t Flags, FT_HANDLE *pHandle) try {
    const uint32_t selection = Flags & 7u;
    if ((selection == kSelectSerial || selection == kSelectDescription) && !pArg1) {
        return FT_INVALID_PARAMETER;
    }
    return FTCommonOpen(static_cast<const char *>(pArg1), Flags, -1, pHandle);
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_Close(FT_HANDLE ftHandle) try {
    return CloseHandle(ftHandle);
} catch (...) {
    return StatusOfException();
}

}  // extern "C"
