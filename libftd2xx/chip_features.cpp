// The chip's own features beside the UART: latency timer, bit mode, vendor
// commands, EEPROM words, the host's USB transfer sizes and the port-level
// calls.
#include <algorithm>

#include "chip.h"
#include "ftd2xx-private.h"

namespace d2xx {
namespace {

constexpr uint8_t kReqSetLatencyTimer = 9;
constexpr uint8_t kReqGetLatencyTimer = 10;
constexpr uint8_t kReqSetBitMode = 11;
constexpr uint8_t kReqGetBitMode = 12;
constexpr uint8_t kReqVendorCmdGet = 0x20;
constexpr uint8_t kReqVendorCmdSet = 0x21;
constexpr uint8_t kReqReadEeprom = 0x90;
constexpr uint8_t kReqWriteEeprom = 0x91;
constexpr uint8_t kReqEraseEeprom = 0x92;

// The most a vendor command moves in one request, either way.
constexpr uint16_t kVendorCmdMaxLength = 128;

// Vendor commands address the interface only on chips that have several.
uint16_t VendorCmdIndex(const DeviceExtension &device) {
    return IsMultiInterfaceChip(device.dev_desc.bcdDevice) ? device.interface_selector : 0;
}

bool HasVendorCommands(const DeviceExtension &device) {
    return IsVendorCmdChip(device.dev_desc.bcdDevice);
}

// Reads one byte answer of a get request addressed to the interface.
FT_STATUS GetByte(DeviceExtension *device, uint8_t request, uint8_t *out) {
    uint8_t value = 0;
    const FT_STATUS status =
        FT_VendorRequest(request, 0, device->interface_selector, &value, 1, kVendorIn, device);
    if (status == FT_OK) *out = value;
    return status;
}

}  // namespace

FT_STATUS SetLatencyTimer(DeviceExtension *device, uint8_t ms) {
    if (!IsBmOrLater(*device)) return FT_NOT_SUPPORTED;
    const FT_STATUS status = FT_VendorRequest(kReqSetLatencyTimer, ms, device->interface_selector,
                                              nullptr, 0, kVendorOut, device);
    if (status != FT_OK) return status;
    device->latency_ms = ms;
    // A slower timer lets each bulk-in transfer take longer to fill.
    UpdateDeadmanTimeout(device);
    return FT_OK;
}

FT_STATUS GetLatencyTimer(DeviceExtension *device, uint8_t *latency) {
    if (!IsBmOrLater(*device)) return FT_NOT_SUPPORTED;
    return GetByte(device, kReqGetLatencyTimer, latency);
}

FT_STATUS SetBitMode(DeviceExtension *device, uint8_t mask, uint8_t mode) {
    if (!IsBmOrLater(*device)) return FT_NOT_SUPPORTED;
    const auto wValue = static_cast<uint16_t>(mask + (mode << 8));
    const FT_STATUS status = FT_VendorRequest(kReqSetBitMode, wValue, device->interface_selector,
                                              nullptr, 0, kVendorOut, device);
    if (status != FT_OK) return status;
    device->bit_mode_settings[0] = mask;
    device->bit_mode_settings[1] = mode;
    return FT_OK;
}

FT_STATUS GetBitMode(DeviceExtension *device, uint8_t *mode) {
    if (!IsBmOrLater(*device)) return FT_NOT_SUPPORTED;
    // The chip's answer (its pins), not the mode last set.
    return GetByte(device, kReqGetBitMode, mode);
}

FT_STATUS VendorCmdSet(DeviceExtension *device, uint8_t command, const uint8_t *data,
                       uint16_t length) {
    if (length != 0 && !data) return FT_INVALID_PARAMETER;
    uint16_t wValue = command;
    uint16_t wLength = std::min(length, kVendorCmdMaxLength);
    if (length == 1) {
        // A single byte travels in the setup packet itself.
        wValue = static_cast<uint16_t>(command + (data[0] << 8));
        wLength = 0;
    }
    // An OUT request only reads its data.
    auto *payload = wLength ? const_cast<uint8_t *>(data) : nullptr;
    return FT_VendorRequest(kReqVendorCmdSet, wValue, VendorCmdIndex(*device), payload, wLength,
                            kVendorOut, device);
}

FT_STATUS VendorCmdGet(DeviceExtension *device, uint16_t wValue, uint8_t *buffer, uint16_t length) {
    // wLength never exceeds the caller's length, so libusb never writes past
    // the caller's buffer.
    const uint16_t wLength = std::min(length, kVendorCmdMaxLength);
    return FT_VendorRequest(kReqVendorCmdGet, wValue, VendorCmdIndex(*device), buffer, wLength,
                            kVendorIn, device);
}

// The EEPROM belongs to the whole chip: its requests carry no interface
// selector. Words travel low byte first.
FT_STATUS Read_EE(DeviceExtension *device, uint16_t *addressThenWord) {
    uint8_t reply[2] = {};
    const FT_STATUS status =
        FT_VendorRequest(kReqReadEeprom, 0, *addressThenWord, reply, 2, kVendorIn, device);
    if (status == FT_OK) *addressThenWord = static_cast<uint16_t>(reply[0] | (reply[1] << 8));
    return status;
}

FT_STATUS Write_EE(DeviceExtension *device, const EepromWord &word) {
    const auto value = static_cast<uint16_t>(word.low + (word.high << 8));
    return FT_VendorRequest(kReqWriteEeprom, value, word.address, nullptr, 0, kVendorOut, device);
}

FT_STATUS Erase_EE(DeviceExtension *device) {
    return FT_VendorRequest(kReqEraseEeprom, 0, 0, nullptr, 0, kVendorOut, device);
}

namespace {

FT_STATUS SetUSBParameters(DeviceExtension *device, uint32_t inSize, uint32_t outSize)
    REQUIRES(device->settings_mutex) {
    const uint32_t packet = std::max<uint32_t>(device->packet_size, 1);
    inSize = std::min(inSize, device->in_transfer_size_max);
    if (inSize >= packet) {
        {
            // A transfer that ends inside a packet would overflow when the
            // chip sends that packet whole, ending reception: the size is
            // kept to whole packets.
            MutexLock lock(device->rx_mutex);
            device->in_transfer_size = inSize - inSize % packet;
        }
        // Larger transfers take longer to fill: the deadman time-out follows,
        // or a busy device would be taken for a dead one.
        UpdateDeadmanTimeout(device);
    }
    outSize = std::min(outSize, device->out_transfer_size_max);
    if (outSize >= packet) device->out_transfer_size = outSize;
    return FT_OK;
}

}  // namespace

}  // namespace d2xx

using namespace d2xx;

extern "C" {

FTD2XX_API FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, uint8_t ucLatency) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return SetLatencyTimer(d, ucLatency);
    });
}

FTD2XX_API FT_STATUS FT_GetLatencyTimer(FT_HANDLE ftHandle, uint8_t *pucLatency) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        if (!pucLatency) return FT_INVALID_PARAMETER;
        return GetLatencyTimer(d, pucLatency);
    });
}

FTD2XX_API FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, uint8_t ucMask, uint8_t ucEnable) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return SetBitMode(d, ucMask, ucEnable);
    });
}

FTD2XX_API FT_STATUS FT_GetBitMode(FT_HANDLE ftHandle, uint8_t *pucMode) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        if (!pucMode) return FT_INVALID_PARAMETER;
        return GetBitMode(d, pucMode);
    });
}

FTD2XX_API FT_STATUS FT_SetUSBParameters(FT_HANDLE ftHandle, uint32_t ulInTransferSize,
                                         uint32_t ulOutTransferSize) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return SetUSBParameters(d, ulInTransferSize, ulOutTransferSize);
    });
}

FTD2XX_API FT_STATUS FT_VendorCmdGet(FT_HANDLE ftHandle, uint8_t request, uint8_t *buf,
                                     uint16_t len) {
    return FT_VendorCmdGetEx(ftHandle, request, buf, len);
}

FTD2XX_API FT_STATUS FT_VendorCmdGetEx(FT_HANDLE ftHandle, uint16_t wValue, uint8_t *buf,
                                       uint16_t len) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        if (!HasVendorCommands(*d)) return FT_IO_ERROR;
        if (!buf) return FT_INVALID_PARAMETER;
        return VendorCmdGet(d, wValue, buf, len);
    });
}

FTD2XX_API FT_STATUS FT_VendorCmdSet(FT_HANDLE ftHandle, uint8_t request, const uint8_t *buf,
                                     uint16_t len) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        if (!HasVendorCommands(*d)) return FT_IO_ERROR;
        if (!buf && len != 0) return FT_INVALID_PARAMETER;
        return VendorCmdSet(d, request, buf, len);
    });
}

FTD2XX_API FT_STATUS FT_VendorCmdSetEx(FT_HANDLE, uint16_t, const uint8_t *, uint16_t) {
    return FT_NOT_SUPPORTED;
}

FTD2XX_API FT_STATUS FT_CyclePort(FT_HANDLE ftHandle) {
    return WithDevice(ftHandle, [](DeviceExtension *d) -> FT_STATUS {
        if (!d->usb_dev) return FT_IO_ERROR;
        return libusb_reset_device(d->usb_dev.get()) == 0 ? FT_OK : FT_IO_ERROR;
    });
}

FTD2XX_API FT_STATUS FT_ResetPort(FT_HANDLE) {
    return FT_NOT_SUPPORTED;
}

FTD2XX_API FT_STATUS FT_SetResetPipeRetryCount(FT_HANDLE, uint32_t) {
    return FT_NOT_SUPPORTED;
}

}  // extern "C"

// EEPROM words, over the chip-wide EEPROM requests above. wIndex carries 16
// bits: a larger offset would reach another word, so it is refused unsent.
extern "C" {

FTD2XX_API FT_STATUS FT_ReadEE(FT_HANDLE ftHandle, DWORD dwWordOffset, LPWORD lpwValue) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        if (!lpwValue) return FT_INVALID_PARAMETER;
        if (dwWordOffset > 0xFFFF) return FT_EEPROM_READ_FAILED;
        auto word = static_cast<uint16_t>(dwWordOffset);
        if (Read_EE(d, &word) != FT_OK) return FT_EEPROM_READ_FAILED;
        *lpwValue = word;
        return FT_OK;
    });
}

FTD2XX_API FT_STATUS FT_WriteEE(FT_HANDLE ftHandle, DWORD dwWordOffset, WORD wValue) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        if (dwWordOffset > 0xFFFF) return FT_EEPROM_WRITE_FAILED;
        const EepromWord word{static_cast<uint16_t>(dwWordOffset),
                              static_cast<uint8_t>(wValue & 0xFF),
                              static_cast<uint8_t>(wValue >> 8)};
        return Write_EE(d, word) == FT_OK ? FT_OK : FT_EEPROM_WRITE_FAILED;
    });
}

FTD2XX_API FT_STATUS FT_EraseEE(FT_HANDLE ftHandle) {
    return WithDevice(ftHandle, [](DeviceExtension *d) -> FT_STATUS {
        return Erase_EE(d) == FT_OK ? FT_OK : FT_EEPROM_ERASE_FAILED;
    });
}

}  // extern "C"
