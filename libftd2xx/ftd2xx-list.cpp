// Listing the attached devices (FT_ListDevices), facts about an open handle
// (FT_GetDeviceInfo, FT_GetDeviceLocId), and the device-information list.
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

struct DeviceListFree {
    void operator()(libusb_device **list) const { libusb_free_device_list(list, 1); }
};
using DeviceList = std::unique_ptr<libusb_device *[], DeviceListFree>;

// One enumeration pass: every device of the library's ids whose
// descriptors can be read, in libusb's order. `visit` returns false to stop.
// Returns false when the device list itself cannot be obtained.
template <typename Visit>
bool ForEachLibraryDevice(Visit visit) {
    libusb_device **raw = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &raw);
    if (n < 0) return false;
    DeviceList list(raw);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device *device = list[i];
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(device, &desc) < 0) continue;
        if (DeviceMatch(desc.idVendor, desc.idProduct) != 1) continue;
        libusb_config_descriptor *config_raw = nullptr;
        if (libusb_get_config_descriptor(device, 0, &config_raw) < 0 || !config_raw) continue;
        std::unique_ptr<libusb_config_descriptor, ConfigDescriptorDeleter> config(config_raw);
        if (!visit(device, desc, *config)) break;
    }
    return true;
}

uint32_t GetDeviceCount() {
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

FT_STATUS GetDeviceName(uint32_t index, void *buffer, uint32_t selection) {
    FT_STATUS status = FT_DEVICE_NOT_FOUND;
    uint32_t running = 0;
    const bool listed =
        ForEachLibraryDevice([&](libusb_device *device, const libusb_device_descriptor &,
                                 const libusb_config_descriptor &config) {
            const uint32_t interfaces = config.bNumInterfaces;
            running += interfaces;
            if (index >= running) return true;
            if (selection != kSelectSerial && selection != kSelectDescription &&
                selection != kSelectLocation) {
                status = FT_OK;  // nothing to produce
                return false;
            }
            const int usbInterface =
                interfaces == 1 ? -1 : static_cast<int>(index - (running - interfaces));
            status = ProduceEntry(device, usbInterface, buffer, selection);
            return false;
        });
    if (!listed) return FT_DEVICE_NOT_FOUND;
    return status;
}

FT_STATUS GetDeviceListAll(void *pBuffers, uint32_t *pdwCount, uint32_t selection) {
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
    std::mutex mutex;
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;  // guarded by mutex
    uint32_t count = 0;                           // guarded by mutex; may exceed nodes.size()
    bool present = false;                         // guarded by mutex
};

AttachedList &Attached() {
    static AttachedList list;
    return list;
}

void CopyInfo(FT_DEVICE_LIST_INFO_NODE *node, const FT_DEVICE_LIST_INFO_NODE &from) {
    node->Type = from.Type;
    node->ID = from.ID;
    node->LocId = from.LocId;
    std::memcpy(node->SerialNumber, from.SerialNumber, sizeof node->SerialNumber);
    std::memcpy(node->Description, from.Description, sizeof node->Description);
}

}  // namespace

void ResetAttachedList() {
    AttachedList &list = Attached();
    std::scoped_lock lock(list.mutex);
    list.nodes.clear();
    list.nodes.shrink_to_fit();
    list.count = 0;
    list.present = false;
}

}  // namespace d2xx

using namespace d2xx;

extern "C" {

FTD2XX_API FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, uint32_t Flags) {
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
}

FTD2XX_API FT_STATUS FT_GetDeviceInfo(FT_HANDLE ftHandle, FT_DEVICE *lpftDevice, uint32_t *lpdwID,
                                      char *SerialNumber, char *Description, void *Dummy) {
    (void)Dummy;
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    const libusb_device_descriptor &desc = device->dev_desc;
    const bool multi = IsMultiInterfaceChip(desc.bcdDevice);
    const char letter = InterfaceLetter(device->usb_interface);
    if (lpftDevice) *lpftDevice = GetDeviceType(desc);
    if (lpdwID) *lpdwID = (static_cast<uint32_t>(desc.idVendor) << 16) | desc.idProduct;
    if (SerialNumber) {
        SerialNumber[0] = '\0';
        if (desc.iSerialNumber != 0) {
            unsigned char s[17] = {};
            const int n = libusb_get_string_descriptor_ascii(device->usb_dev.get(),
                                                             desc.iSerialNumber, s, sizeof s);
            if (n < 0) return FT_OTHER_ERROR;
            const char *name = reinterpret_cast<const char *>(s);
            if (multi) {
                AppendSerialLetter(SerialNumber, 18, name, letter);
            } else {
                std::snprintf(SerialNumber, 17, "%s", name);
            }
        }
    }
    if (Description) {
        Description[0] = '\0';
        if (desc.iProduct != 0) {
            unsigned char s[65] = {};
            const int n = libusb_get_string_descriptor_ascii(device->usb_dev.get(), desc.iProduct,
                                                             s, sizeof s);
            if (n < 0) return FT_OTHER_ERROR;
            const char *name = reinterpret_cast<const char *>(s);
            if (multi) {
                AppendDescriptionLetter(Description, 67, name, letter);
            } else {
                std::snprintf(Description, 65, "%s", name);
            }
        }
    }
    return FT_OK;
}

FTD2XX_API FT_STATUS FT_GetDeviceLocId(FT_HANDLE ftHandle, uint32_t *lpdwLocId) {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    if (!lpdwLocId) return FT_INVALID_PARAMETER;
    libusb_device *usb = device->usb_device.get();
    *lpdwLocId = LocationId(libusb_get_bus_number(usb), libusb_get_device_address(usb),
                            IsMultiInterfaceChip(device->dev_desc.bcdDevice),
                            static_cast<uint32_t>(device->usb_interface + 1));
    return FT_OK;
}

FTD2XX_API FT_STATUS FT_CreateDeviceInfoList(uint32_t *lpdwNumDevs) {
    if (!lpdwNumDevs) return FT_INVALID_PARAMETER;
    ResetAttachedList();
    *lpdwNumDevs = 0;
    uint32_t n = 0;
    const FT_STATUS counted = FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY);
    if (counted != FT_OK) return counted;

    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
    try {
        nodes.resize(n);
    } catch (const std::bad_alloc &) {
        AttachedList &list = Attached();
        std::scoped_lock lock(list.mutex);
        list.count = n;  // a length without nodes: details report not found
        list.present = false;
        return FT_INSUFFICIENT_RESOURCES;
    }
    int failures = 0;
    for (uint32_t i = 0; i < n; ++i) {
        FT_DEVICE_LIST_INFO_NODE &node = nodes[i];
        node = FT_DEVICE_LIST_INFO_NODE{};
        FT_HANDLE handle = nullptr;
        if (FT_Open(static_cast<int>(i), &handle) == FT_OK) {
            if (auto device = AcquireDevice(handle)) {
                CopyInfo(&node, device->info);
                node.Flags = device->packet_size > 64 ? FT_FLAGS_HISPEED : 0;
            }
            node.ftHandle = nullptr;
            FT_Close(handle);
            continue;
        }
        // Not openable: in use by this process (the k-th open record, in
        // registry order, stands for the k-th failure) or by someone else.
        node.Flags = FT_FLAGS_OPENED;
        if (auto held = FindDevice(failures)) {
            CopyInfo(&node, held->info);
            node.ftHandle = held->info.ftHandle;
            if (held->packet_size > 64) node.Flags |= FT_FLAGS_HISPEED;
        } else {
            node.Type = FT_DEVICE_UNKNOWN;
        }
        ++failures;
    }
    AttachedList &list = Attached();
    {
        std::scoped_lock lock(list.mutex);
        list.nodes = std::move(nodes);
        list.count = n;
        list.present = n > 0;
    }
    *lpdwNumDevs = n;
    return FT_OK;
}

FTD2XX_API FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *pDest, uint32_t *lpdwNumDevs) {
    if (!lpdwNumDevs) return FT_INVALID_PARAMETER;
    AttachedList &list = Attached();
    std::scoped_lock lock(list.mutex);
    if (pDest && list.present) {
        std::memcpy(pDest, list.nodes.data(), list.nodes.size() * sizeof(FT_DEVICE_LIST_INFO_NODE));
    }
    *lpdwNumDevs = list.count;
    return FT_OK;
}

FTD2XX_API FT_STATUS FT_GetDeviceInfoDetail(uint32_t dwIndex, uint32_t *lpdwFlags,
                                            uint32_t *lpdwType, uint32_t *lpdwID,
                                            uint32_t *lpdwLocId, void *lpSerialNumber,
                                            void *lpDescription, FT_HANDLE *pftHandle) {
    AttachedList &list = Attached();
    std::scoped_lock lock(list.mutex);
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
}

}  // extern "C"
