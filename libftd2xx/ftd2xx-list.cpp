// Listing the attached devices (FT_ListDevices), facts about an open handle
// (FT_GetDeviceInfo, FT_GetDeviceLocId), and the device-information list.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "chip.h"
#include "ftd2xx-private.h"

namespace d2xx {
namespace {

// Listing writes names into caller buffers whose size the interface does
// not pass; they are documented as 64 bytes, so nothing longer is written.
constexpr size_t kListNameSize = 64;

// One enumeration pass over the library's devices in index order. `visit`
// returns false to stop. Returns false when the device list itself cannot be
// obtained.
template <typename Visit>
bool ForEachLibraryDevice(Visit visit) REQUIRES(gLibraryMutex) {
    const LibraryDevices devices;
    if (!devices.ok()) return false;
    for (const LibraryDevices::Entry &e : devices.entries()) {
        if (!visit(e.usb, e.desc, *e.config)) break;
    }
    return true;
}

uint32_t GetDeviceCount() REQUIRES(gLibraryMutex) {
    uint32_t count = 0;
    ForEachLibraryDevice([&](libusb_device *, const libusb_device_descriptor &,
                             const libusb_config_descriptor &config) {
        count += config.bNumInterfaces;
        return true;
    });
    return count;
}

// Produces the name (selection 1 or 2) or location (4) of interface
// `usbInterface` of `device` (-1: a one-interface device, no letter).
FT_STATUS ProduceEntry(libusb_device *device, int usbInterface, void *out, uint32_t selection) {
    if (selection == kSelectLocation) {
        const uint32_t value = usbInterface < 0 ? 0 : static_cast<uint32_t>(usbInterface) + 1;
        return GetDeviceLocation(device, value, static_cast<uint32_t *>(out));
    }
    return GetDeviceDescription(device, usbInterface, static_cast<char *>(out), kListNameSize,
                                selection);
}

FT_STATUS GetDeviceName(uint32_t index, void *buffer, uint32_t selection) REQUIRES(gLibraryMutex) {
    // Only a serial number, a description or a location can be produced.
    if (selection != kSelectSerial && selection != kSelectDescription &&
        selection != kSelectLocation) {
        return FT_INVALID_PARAMETER;
    }
    FT_STATUS status = FT_DEVICE_NOT_FOUND;
    uint32_t running = 0;
    const bool listed =
        ForEachLibraryDevice([&](libusb_device *device, const libusb_device_descriptor &,
                                 const libusb_config_descriptor &config) {
            const uint32_t interfaces = config.bNumInterfaces;
            running += interfaces;
            if (index >= running) return true;
            const int usbInterface =
                interfaces == 1 ? -1 : static_cast<int>(index - (running - interfaces));
            status = ProduceEntry(device, usbInterface, buffer, selection);
            return false;
        });
    if (!listed) return FT_DEVICE_NOT_FOUND;
    return status;
}

FT_STATUS GetDeviceListAll(void *pBuffers, uint32_t *pdwCount, uint32_t selection)
    REQUIRES(gLibraryMutex) {
    *pdwCount = 0;
    if (selection != kSelectSerial && selection != kSelectDescription &&
        selection != kSelectLocation) {
        return FT_INVALID_PARAMETER;
    }
    FT_STATUS status = FT_OK;
    ForEachLibraryDevice([&](libusb_device *device, const libusb_device_descriptor &,
                             const libusb_config_descriptor &config) {
        const int interfaces = config.bNumInterfaces;
        for (int i = 0; i < interfaces; ++i) {
            void *out = nullptr;
            if (selection == kSelectLocation) {
                out = static_cast<uint32_t *>(pBuffers) + *pdwCount;
            } else {
                out = static_cast<char **>(pBuffers)[*pdwCount];
                if (!out) {
                    status = FT_INVALID_PARAMETER;
                    return false;
                }
            }
            status = ProduceEntry(device, interfaces == 1 ? -1 : i, out, selection);
            if (status != FT_OK) return false;
            ++*pdwCount;
        }
        return true;
    });
    return status;
}

// The device-information list: replaced whole by every
// FT_CreateDeviceInfoList.
struct AttachedList {
    Mutex mutex ACQUIRED_AFTER(gLibraryMutex);
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes GUARDED_BY(mutex);
    uint32_t count GUARDED_BY(mutex) = 0;  // may exceed nodes.size()
    bool present GUARDED_BY(mutex) = false;
};

// Never destroyed: a thread still calling in at exit finds it intact.
AttachedList &Attached() {
    static Immortal<AttachedList> list;
    return list.value;
}

void CopyInfo(FT_DEVICE_LIST_INFO_NODE *node, const FT_DEVICE_LIST_INFO_NODE &from) {
    node->Type = from.Type;
    node->ID = from.ID;
    node->LocId = from.LocId;
    std::memcpy(node->SerialNumber, from.SerialNumber, sizeof node->SerialNumber);
    std::memcpy(node->Description, from.Description, sizeof node->Description);
}

// One index position of the information list: interface `iface` of `usb`.
struct ListPosition {
    std::unique_ptr<libusb_device, DeviceUnref> usb;
    libusb_device_descriptor desc;
    int iface;
    bool lettered;         // more than one interface: locations carry the interface
    uint32_t packet_size;  // of the first endpoint
};
using DevicePtr = std::unique_ptr<libusb_device, DeviceUnref>;

uint32_t PacketSize(const libusb_config_descriptor &config) {
    const libusb_interface_descriptor &alt = config.interface[0].altsetting[0];
    return alt.bNumEndpoints > 0 && alt.endpoint[0].wMaxPacketSize != 0
               ? alt.endpoint[0].wMaxPacketSize
               : 64;
}

uint32_t PositionLocation(const ListPosition &p) {
    return LocationId(libusb_get_bus_number(p.usb.get()), libusb_get_device_address(p.usb.get()),
                      p.lettered, p.lettered ? static_cast<uint32_t>(p.iface) + 1 : 0);
}

// Whether FT_Open would open the position: the chip family reaches it by
// index and has the latency timer every open reads.
bool OpenableAtIndex(const ListPosition &p) {
    return p.iface < OpenIndexWidth(p.desc.bcdDevice) &&
           IsBmOrLaterChip(p.desc.bcdDevice, p.desc.iSerialNumber);
}

void CopyNames(FT_DEVICE_LIST_INFO_NODE *node, const ListPosition &p, const char *serial,
               const char *product) {
    const bool lettered = LettersNames(NameForm::kNode, p.desc.bcdDevice, 0);
    const char letter = lettered ? InterfaceLetter(p.iface) : '\0';
    char text[kFormattedNameSize];
    FormatName(text, serial, NameForm::kNode, kSelectSerial, letter);
    std::memcpy(node->SerialNumber, text, sizeof node->SerialNumber);
    FormatName(text, product, NameForm::kNode, kSelectDescription, letter);
    std::memcpy(node->Description, text, sizeof node->Description);
}

// Whether anyone holds the interface, found by claiming it for a moment;
// when nobody does, the node gets the device's identity from its
// descriptors and strings, and the chip is sent nothing. Requires the
// library lock: no open of this process claims the interface meanwhile.
bool DescribeUnheld(const ListPosition &p, FT_DEVICE_LIST_INFO_NODE *node) {
    libusb_device_handle *raw = nullptr;
    if (libusb_open(p.usb.get(), &raw) < 0 || !raw) return false;
    std::unique_ptr<libusb_device_handle, HandleCloser> handle(raw);
    if (libusb_claim_interface(raw, p.iface) != 0) return false;
    uint16_t langid = 0;
    char serial[17] = {}, product[65] = {};
    const bool named =
        (p.desc.iSerialNumber == 0 ||
         ReadStringAscii(raw, p.desc.iSerialNumber, &langid, serial, sizeof serial) >= 0) &&
        (p.desc.iProduct == 0 ||
         ReadStringAscii(raw, p.desc.iProduct, &langid, product, sizeof product) >= 0);
    libusb_release_interface(raw, p.iface);
    if (!named) return false;
    // A chip without the latency timer cannot be opened by any call: the
    // node says so, as it does for a device in use.
    const bool openable = IsBmOrLaterChip(p.desc.bcdDevice, p.desc.iSerialNumber);
    node->Flags = (p.packet_size > 64 ? FT_FLAGS_HISPEED : 0) | (openable ? 0 : FT_FLAGS_OPENED);
    node->Type = GetDeviceType(p.desc);
    node->ID = (static_cast<uint32_t>(p.desc.idVendor) << 16) | p.desc.idProduct;
    node->LocId = PositionLocation(p);
    CopyNames(node, p, serial, product);
    return true;
}

void DescribeHeld(const DeviceExtension &held, FT_DEVICE_LIST_INFO_NODE *node) {
    CopyInfo(node, held.info);
    node->Flags = FT_FLAGS_OPENED | (held.packet_size > 64 ? FT_FLAGS_HISPEED : 0);
    node->ftHandle = held.info.ftHandle;
}

void DescribeNameless(FT_DEVICE_LIST_INFO_NODE *node) {
    *node = FT_DEVICE_LIST_INFO_NODE{};
    node->Flags = FT_FLAGS_OPENED;
    node->Type = FT_DEVICE_UNKNOWN;
}

// One node: a device this process holds is described by its own record; a
// chip FT_Open does not open at this index is described from its
// descriptors; any other is opened (by its location, so no other device is
// touched) and closed. One that cannot be opened is described from its
// descriptors when nobody holds it, else marked opened with unknown type and
// no names. An interface changing hands within this process is waited for
// first, so that neither a close nor an open under way makes it look held
// elsewhere, and no open waiting for it is refused by this list. Those
// waits end at `deadline`, one for the whole list: other threads opening and
// closing without pause hold a list up once, not once per device.
void DescribePosition(const ListPosition &p, FT_DEVICE_LIST_INFO_NODE *node,
                      std::chrono::steady_clock::time_point deadline) {
    const uint32_t key = ClaimKey(p.usb.get(), p.iface);
    bool waited_out = std::chrono::steady_clock::now() >= deadline;
    HandOver probe;  // the short open's hold
    for (;;) {
        LibraryLock lock;
        if (!lock.ok()) return DescribeNameless(node);
        if (!waited_out && !HandOver::Quiet(key)) {
            lock.unlock();
            waited_out = !HandOver::WaitQuiet(key, deadline);
            continue;
        }
        if (const auto held = FindClaimingDevice(key)) return DescribeHeld(*held, node);
        if (!OpenableAtIndex(p)) {
            if (!DescribeUnheld(p, node)) DescribeNameless(node);
            return;
        }
        probe.Begin(key);
        break;
    }
    FT_HANDLE handle = nullptr;
    if (OpenForList(PositionLocation(p), &handle) == FT_OK) {
        if (auto device = AcquireDevice(handle)) {
            CopyInfo(node, device->info);
            node->Flags = device->packet_size > 64 ? FT_FLAGS_HISPEED : 0;
        }
        node->ftHandle = nullptr;
        CloseHandle(handle);
        return;
    }
    // Another thread's open may have claimed the interface between the look
    // above and the short open: the device is then this process's own.
    LibraryLock lock;
    if (lock.ok()) {
        if (const auto held = FindClaimingDevice(key)) return DescribeHeld(*held, node);
        if (DescribeUnheld(p, node)) return;
    }
    DescribeNameless(node);
}

}  // namespace

LibraryDevices::LibraryDevices() {
    const ssize_t n = libusb_get_device_list(nullptr, &list_);
    if (n < 0) {
        list_ = nullptr;
        return;
    }
    ok_ = true;
    try {
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device *device = list_[i];
            libusb_device_descriptor desc{};
            if (libusb_get_device_descriptor(device, &desc) < 0) continue;
            if (DeviceMatch(desc.idVendor, desc.idProduct) != 1) continue;
            libusb_config_descriptor *config = nullptr;
            if (libusb_get_config_descriptor(device, 0, &config) < 0 || !config) continue;
            entries_.push_back(Entry{device, desc, decltype(Entry::config)(config)});
        }
    } catch (...) {
        // No destructor runs for an object whose constructor threw.
        entries_.clear();
        libusb_free_device_list(list_, 1);
        throw;
    }
    auto location = [](const Entry &e) {
        return (uint32_t{libusb_get_bus_number(e.usb)} << 8) | libusb_get_device_address(e.usb);
    };
    std::stable_sort(entries_.begin(), entries_.end(),
                     [&](const Entry &a, const Entry &b) { return location(a) < location(b); });
}

LibraryDevices::~LibraryDevices() {
    entries_.clear();
    if (list_) libusb_free_device_list(list_, 1);
}

void ResetAttachedList() {
    AttachedList &list = Attached();
    MutexLock lock(list.mutex);
    list.nodes.clear();
    list.nodes.shrink_to_fit();
    list.count = 0;
    list.present = false;
}

}  // namespace d2xx

using namespace d2xx;

extern "C" {

FTD2XX_API FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, uint32_t Flags) try {
    LibraryLock lock;
    if (!lock.ok()) return FT_OTHER_ERROR;
    if (!EnsureInitialisedLocked()) return FT_OTHER_ERROR;

    const uint32_t operation = Flags & FT_LIST_MASK;
    if (operation == FT_LIST_NUMBER_ONLY) {
        if (!pArg1) return FT_INVALID_PARAMETER;
        *static_cast<uint32_t *>(pArg1) = GetDeviceCount();
        return FT_OK;
    }
    if (!pArg1 && !pArg2) return FT_INVALID_PARAMETER;
    uint32_t selection = Flags & 7u;
    if (selection == 0) selection = kSelectSerial;
    if (operation == FT_LIST_BY_INDEX) {
        // The first argument is the index itself; the second the buffer.
        if (!pArg2) return FT_INVALID_PARAMETER;
        const auto index = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pArg1));
        return GetDeviceName(index, pArg2, selection);
    }
    if (operation == FT_LIST_ALL) {
        if (!pArg1 || !pArg2) return FT_INVALID_PARAMETER;
        return GetDeviceListAll(pArg1, static_cast<uint32_t *>(pArg2), selection);
    }
    return FT_INVALID_PARAMETER;
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_GetDeviceInfo(FT_HANDLE ftHandle, FT_DEVICE *lpftDevice, uint32_t *lpdwID,
                                      char *SerialNumber, char *Description, void *Dummy) try {
    (void)Dummy;
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    const libusb_device_descriptor &desc = device->dev_desc;
    const char letter = LettersNames(NameForm::kDeviceInfo, desc.bcdDevice, 0)
                            ? InterfaceLetter(device->usb_interface)
                            : '\0';
    if (lpftDevice) *lpftDevice = GetDeviceType(desc);
    if (lpdwID) *lpdwID = (static_cast<uint32_t>(desc.idVendor) << 16) | desc.idProduct;
    libusb_device_handle *usb = device->usb_dev.get();
    uint16_t langid = device->string_langid.load();
    auto read = [&](uint8_t index, char *text, size_t size) {
        const int n = ReadStringAscii(usb, index, &langid, text, size);
        device->string_langid = langid;
        return n >= 0;
    };
    if (SerialNumber) {
        SerialNumber[0] = '\0';
        if (desc.iSerialNumber != 0) {
            char s[17];
            if (!read(desc.iSerialNumber, s, sizeof s)) return FT_OTHER_ERROR;
            char text[kFormattedNameSize];
            FormatName(text, s, NameForm::kDeviceInfo, kSelectSerial, letter);
            std::memcpy(SerialNumber, text, std::strlen(text) + 1);
        }
    }
    if (Description) {
        Description[0] = '\0';
        if (desc.iProduct != 0) {
            char s[65];
            if (!read(desc.iProduct, s, sizeof s)) return FT_OTHER_ERROR;
            char text[kFormattedNameSize];
            FormatName(text, s, NameForm::kDeviceInfo, kSelectDescription, letter);
            std::memcpy(Description, text, std::strlen(text) + 1);
        }
    }
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_GetDeviceLocId(FT_HANDLE ftHandle, uint32_t *lpdwLocId) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    if (!lpdwLocId) return FT_INVALID_PARAMETER;
    libusb_device *usb = device->usb_device.get();
    *lpdwLocId = LocationId(libusb_get_bus_number(usb), libusb_get_device_address(usb),
                            IsMultiInterfaceChip(device->dev_desc.bcdDevice),
                            static_cast<uint32_t>(device->usb_interface + 1));
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_CreateDeviceInfoList(uint32_t *lpdwNumDevs) try {
    if (!lpdwNumDevs) return FT_INVALID_PARAMETER;
    ResetAttachedList();
    *lpdwNumDevs = 0;

    // What each index position is, from one enumeration (positions as
    // FT_ListDevices and FT_Open count them).
    std::vector<ListPosition> positions;
    {
        LibraryLock lock;
        if (!lock.ok()) return FT_OTHER_ERROR;
        if (!EnsureInitialisedLocked()) return FT_OTHER_ERROR;
        const LibraryDevices devices;
        try {
            for (const LibraryDevices::Entry &e : devices.entries()) {
                for (int k = 0; k < e.config->bNumInterfaces; ++k) {
                    positions.push_back(ListPosition{DevicePtr(libusb_ref_device(e.usb)), e.desc, k,
                                                     e.config->bNumInterfaces > 1,
                                                     PacketSize(*e.config)});
                }
            }
        } catch (const std::bad_alloc &) {
            return FT_INSUFFICIENT_RESOURCES;
        }
    }
    const auto n = static_cast<uint32_t>(positions.size());

    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
    try {
        nodes.resize(n);
    } catch (const std::bad_alloc &) {
        AttachedList &list = Attached();
        MutexLock lock(list.mutex);
        list.count = n;  // a length without nodes: details report not found
        list.present = false;
        return FT_INSUFFICIENT_RESOURCES;
    }
    const auto deadline = std::chrono::steady_clock::now() + HandOverWait();
    for (uint32_t i = 0; i < n; ++i) {
        nodes[i] = FT_DEVICE_LIST_INFO_NODE{};
        DescribePosition(positions[i], &nodes[i], deadline);
    }
    AttachedList &list = Attached();
    {
        MutexLock lock(list.mutex);
        list.nodes = std::move(nodes);
        list.count = n;
        list.present = n > 0;
    }
    *lpdwNumDevs = n;
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *pDest,
                                          uint32_t *lpdwNumDevs) try {
    if (!lpdwNumDevs) return FT_INVALID_PARAMETER;
    AttachedList &list = Attached();
    MutexLock lock(list.mutex);
    if (pDest && list.present) {
        std::memcpy(pDest, list.nodes.data(), list.nodes.size() * sizeof(FT_DEVICE_LIST_INFO_NODE));
    }
    *lpdwNumDevs = list.count;
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_GetDeviceInfoDetail(uint32_t dwIndex, uint32_t *lpdwFlags,
                                            uint32_t *lpdwType, uint32_t *lpdwID,
                                            uint32_t *lpdwLocId, void *lpSerialNumber,
                                            void *lpDescription, FT_HANDLE *pftHandle) try {
    AttachedList &list = Attached();
    MutexLock lock(list.mutex);
    if (!list.present || dwIndex >= list.nodes.size()) return FT_DEVICE_NOT_FOUND;
    const FT_DEVICE_LIST_INFO_NODE &node = list.nodes[dwIndex];
    if (lpdwFlags) *lpdwFlags = node.Flags;
    if (lpdwType) *lpdwType = node.Type;
    if (lpdwID) *lpdwID = node.ID;
    if (lpdwLocId) *lpdwLocId = node.LocId;
    if (lpSerialNumber) std::memcpy(lpSerialNumber, node.SerialNumber, sizeof node.SerialNumber);
    if (lpDescription) std::memcpy(lpDescription, node.Description, sizeof node.Description);
    if (pftHandle) *pftHandle = node.ftHandle;
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

}  // extern "C"
