// Chip control requests: the one path every vendor request takes, and the
// requests an open needs (reset and purges, modem status, latency timer).
#include "chip.h"
#include "ftd2xx-private.h"

namespace d2xx {
namespace {

constexpr uint8_t kRequestOut = 0x40;  // vendor, host to device
constexpr uint8_t kRequestIn = 0xC0;   // vendor, device to host

constexpr uint8_t kReqReset = 0;
constexpr uint8_t kReqGetModemStatus = 5;
constexpr uint8_t kReqGetLatencyTimer = 10;

constexpr uint16_t kResetChip = 0;
constexpr uint16_t kPurgeRx = 1;
constexpr uint16_t kPurgeTx = 2;

// The chip needs several receive purges before its FIFO is reliably empty.
constexpr int kRxPurgeRepeats = 6;

}  // namespace

FT_STATUS FT_VendorRequest(uint8_t request, uint16_t wValue, uint16_t wIndex, uint8_t *data,
                           uint16_t wLength, uint8_t bmRequestType, DeviceExtension *device) {
    if (!device->usb_dev) return FT_IO_ERROR;
    const int n = libusb_control_transfer(device->usb_dev.get(), bmRequestType, request, wValue,
                                          wIndex, data, wLength, device->in_timeout.load());
    return n == wLength ? FT_OK : FT_IO_ERROR;
}

bool IsBmOrLater(const DeviceExtension &device) {
    return IsBmOrLaterChip(device.dev_desc.bcdDevice, device.dev_desc.iSerialNumber);
}

FT_STATUS ResetDevice(DeviceExtension *device) {
    // The reset addresses the whole chip: wIndex 0 on every chip.
    return FT_VendorRequest(kReqReset, kResetChip, 0, nullptr, 0, kRequestOut, device);
}

FT_STATUS Purge(DeviceExtension *device, uint32_t mask) {
    FT_STATUS status = FT_OK;
    if (mask & FT_PURGE_RX) {
        for (int i = 0; i < kRxPurgeRepeats; ++i) {
            status = FT_VendorRequest(kReqReset, kPurgeRx, device->interface_selector, nullptr, 0,
                                      kRequestOut, device);
        }
        if (status != FT_OK) return status;
        PurgeReceive(device);
    }
    if (mask & FT_PURGE_TX) {
        status = FT_VendorRequest(kReqReset, kPurgeTx, device->interface_selector, nullptr, 0,
                                  kRequestOut, device);
    }
    return status;
}

FT_STATUS GetModemStatus(DeviceExtension *device) {
    uint8_t reply[2] = {};
    // Addressed by the zero-based interface number, not the selector.
    const auto wIndex = static_cast<uint16_t>(device->usb_interface & 0xFFFF);
    const FT_STATUS status =
        FT_VendorRequest(kReqGetModemStatus, 0, wIndex, reply, 2, kRequestIn, device);
    if (status != FT_OK) return FT_IO_ERROR;
    device->modem_status = static_cast<uint8_t>(reply[0] & 0xF0);
    device->line_status = reply[1];
    return FT_OK;
}

FT_STATUS GetLatencyTimer(DeviceExtension *device, uint8_t *latency) {
    if (!IsBmOrLater(*device)) return FT_NOT_SUPPORTED;
    uint8_t value = 0;
    const FT_STATUS status = FT_VendorRequest(kReqGetLatencyTimer, 0, device->interface_selector,
                                              &value, 1, kRequestIn, device);
    if (status == FT_OK) *latency = value;
    return status;
}

}  // namespace d2xx

using namespace d2xx;

extern "C" {

FTD2XX_API FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle) {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    const FT_STATUS status = ResetDevice(device.get());
    if (status != FT_OK) return status;
    return Purge(device.get(), FT_PURGE_RX | FT_PURGE_TX);
}

FTD2XX_API FT_STATUS FT_Purge(FT_HANDLE ftHandle, uint32_t dwMask) {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    return Purge(device.get(), dwMask);
}

}  // extern "C"
