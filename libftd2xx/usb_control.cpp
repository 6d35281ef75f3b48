// Chip control requests: the one path every vendor request takes, and the
// UART and modem-line settings (baud rate, data characteristics, flow
// control, DTR/RTS, break, special characters, purge, reset, modem status).
//
// Every setting is recorded in the device record only once the chip has
// accepted it, so the record never claims a setting the chip refused.
#include "baud.h"
#include "chip.h"
#include "ftd2xx-private.h"

namespace d2xx {
namespace {

constexpr uint8_t kReqReset = 0;
constexpr uint8_t kReqModemControl = 1;
constexpr uint8_t kReqFlowControl = 2;
constexpr uint8_t kReqSetBaudRate = 3;
constexpr uint8_t kReqSetData = 4;
constexpr uint8_t kReqGetModemStatus = 5;
constexpr uint8_t kReqSetEventChar = 6;
constexpr uint8_t kReqSetErrorChar = 7;

constexpr uint16_t kResetChip = 0;
constexpr uint16_t kPurgeRx = 1;
constexpr uint16_t kPurgeTx = 2;

// Modem control: the high byte enables a change of the line whose level is
// in the low byte.
constexpr uint16_t kDtrOn = 0x0101;
constexpr uint16_t kDtrOff = 0x0100;
constexpr uint16_t kRtsOn = 0x0202;
constexpr uint16_t kRtsOff = 0x0200;
constexpr uint8_t kModemControlDtr = 0x01;  // bits of DeviceExtension::modem_control
constexpr uint8_t kModemControlRts = 0x02;

constexpr uint16_t kSpecialCharEnabled = 0x100;

// The chip needs several receive purges before its FIFO is reliably empty.
constexpr int kRxPurgeRepeats = 6;

std::atomic<uint32_t> gControlTimeoutMs{kControlTimeoutMs};

FT_STATUS SendSet(DeviceExtension *device, uint8_t request, uint16_t wValue, uint16_t wIndex) {
    return FT_VendorRequest(request, wValue, wIndex, nullptr, 0, kVendorOut, device);
}

FT_STATUS SendLineRequest(DeviceExtension *device, uint8_t request, uint16_t wValue) {
    return SendSet(device, request, wValue, device->interface_selector);
}

FT_STATUS SetModemLine(DeviceExtension *device, uint16_t wValue, uint8_t bit, bool on)
    REQUIRES(device->settings_mutex) {
    const FT_STATUS status = SendLineRequest(device, kReqModemControl, wValue);
    if (status == FT_OK) {
        device->modem_control =
            static_cast<uint8_t>(on ? device->modem_control | bit : device->modem_control & ~bit);
    }
    return status;
}

uint16_t SpecialCharWord(uint8_t character, uint8_t enabled) {
    return static_cast<uint16_t>(character + (enabled ? kSpecialCharEnabled : 0));
}

}  // namespace

uint32_t ControlTimeout() {
    return gControlTimeoutMs.load();
}

void SetControlTimeoutForTests(uint32_t ms) {
    gControlTimeoutMs = ms != 0 ? ms : kControlTimeoutMs;
}

FT_STATUS FT_VendorRequest(uint8_t request, uint16_t wValue, uint16_t wIndex, uint8_t *data,
                           uint16_t wLength, uint8_t bmRequestType, DeviceExtension *device) {
    // A call racing the close sends nothing once the close has begun.
    if (!device->usb_dev || device->stop_threads) return FT_IO_ERROR;
    const int n = libusb_control_transfer(device->usb_dev.get(), bmRequestType, request, wValue,
                                          wIndex, data, wLength, ControlTimeout());
    return n == wLength ? FT_OK : FT_IO_ERROR;
}

bool IsBmOrLater(const DeviceExtension &device) {
    return IsBmOrLaterChip(device.dev_desc.bcdDevice, device.dev_desc.iSerialNumber);
}

FT_STATUS SetBaudRate(DeviceExtension *device, uint32_t baud) {
    const std::optional<BaudRequest> request =
        EncodeBaudRate(device->dev_desc.bcdDevice, device->dev_desc.iSerialNumber,
                       device->interface_selector, baud);
    // A rate the chip cannot produce within 3 % is refused before anything
    // reaches the chip.
    if (!request) return FT_IO_ERROR;
    const FT_STATUS status = SendSet(device, kReqSetBaudRate, request->wValue, request->wIndex);
    if (status == FT_OK) device->current_baud = baud;
    return status;
}

FT_STATUS SetDivisor(DeviceExtension *device, uint16_t divisor) {
    // A raw divisor carries no upper word and names no rate: current_baud
    // keeps describing the last rate set by value.
    return SendLineRequest(device, kReqSetBaudRate, divisor);
}

FT_STATUS SetLineControl(DeviceExtension *device, const LineControl &line) {
    const auto word =
        static_cast<uint16_t>(line.word_length + (line.parity << 8) + (line.stop_bits << 11));
    const FT_STATUS status = SendLineRequest(device, kReqSetData, word);
    if (status == FT_OK) {
        // A break is sent on top of this word, so it only changes once the
        // chip runs with it.
        device->line_control_word = word;
        device->line_characteristics[0] = line.stop_bits;
        device->line_characteristics[1] = line.parity;
        device->line_characteristics[2] = line.word_length;
    }
    return status;
}

FT_STATUS SetBreak(DeviceExtension *device, uint16_t bit) {
    return SendLineRequest(device, kReqSetData,
                           static_cast<uint16_t>(device->line_control_word | bit));
}

FT_STATUS SetFlowControl(DeviceExtension *device, const FlowControl &flow) {
    const uint16_t wValue =
        flow.mode == FT_FLOW_XON_XOFF ? static_cast<uint16_t>((flow.xoff << 8) + flow.xon) : 0;
    const FT_STATUS status = SendSet(device, kReqFlowControl, wValue,
                                     static_cast<uint16_t>(flow.mode | device->interface_selector));
    if (status == FT_OK) {
        device->flow_control_mode = flow.mode;
        device->flow_settings.mode = flow.mode;
        device->flow_settings.xon = flow.xon;
        device->flow_settings.xoff = flow.xoff;
    }
    return status;
}

FT_STATUS SetDtr(DeviceExtension *device) {
    return SetModemLine(device, kDtrOn, kModemControlDtr, true);
}
FT_STATUS ClrDtr(DeviceExtension *device) {
    return SetModemLine(device, kDtrOff, kModemControlDtr, false);
}
FT_STATUS SetRts(DeviceExtension *device) {
    return SetModemLine(device, kRtsOn, kModemControlRts, true);
}
FT_STATUS ClrRts(DeviceExtension *device) {
    return SetModemLine(device, kRtsOff, kModemControlRts, false);
}

FT_STATUS SetChars(DeviceExtension *device, const SpecialChars &chars) {
    FT_STATUS status = SendLineRequest(device, kReqSetEventChar,
                                       SpecialCharWord(chars.event_char, chars.event_enable));
    if (status != FT_OK) return status;
    status = SendLineRequest(device, kReqSetErrorChar,
                             SpecialCharWord(chars.error_char, chars.error_enable));
    if (status != FT_OK) return status;
    device->event_char = chars.event_char;
    device->event_char_enabled = chars.event_enable;
    device->error_char = chars.error_char;
    device->error_char_enabled = chars.error_enable;
    return FT_OK;
}

FT_STATUS ResetDevice(DeviceExtension *device) {
    // The reset addresses the whole chip: wIndex 0 on every chip.
    return SendSet(device, kReqReset, kResetChip, 0);
}

FT_STATUS Purge(DeviceExtension *device, uint32_t mask) {
    FT_STATUS status = FT_OK;
    if (mask & FT_PURGE_RX) {
        // The first refused request fails the purge: the chip's FIFO may
        // still hold data, and the ring keeps what it has.
        for (int i = 0; i < kRxPurgeRepeats && status == FT_OK; ++i) {
            status = SendLineRequest(device, kReqReset, kPurgeRx);
        }
        if (status != FT_OK) return status;
        PurgeReceive(device);
    }
    if (mask & FT_PURGE_TX) status = SendLineRequest(device, kReqReset, kPurgeTx);
    return status;
}

FT_STATUS GetModemStatus(DeviceExtension *device) {
    uint8_t reply[2] = {};
    // Addressed by the zero-based interface number, not the selector.
    const auto wIndex = static_cast<uint16_t>(device->usb_interface & 0xFFFF);
    const FT_STATUS status =
        FT_VendorRequest(kReqGetModemStatus, 0, wIndex, reply, 2, kVendorIn, device);
    if (status != FT_OK) return FT_IO_ERROR;
    device->modem_status = static_cast<uint8_t>(reply[0] & 0xF0);
    device->line_status = reply[1];
    return FT_OK;
}

}  // namespace d2xx

using namespace d2xx;

extern "C" {

// Each configuration call holds the record's settings_mutex throughout, so
// that its requests and what it records about them are not interleaved with
// another configuration call on the same handle.
FTD2XX_API FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, uint32_t dwBaudRate) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return SetBaudRate(d, dwBaudRate);
    });
}

FTD2XX_API FT_STATUS FT_SetDivisor(FT_HANDLE ftHandle, uint16_t usDivisor) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return SetDivisor(d, usDivisor);
    });
}

FTD2XX_API FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle, uint8_t uWordLength,
                                               uint8_t uStopBits, uint8_t uParity) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return SetLineControl(d, LineControl{uStopBits, uParity, uWordLength});
    });
}

FTD2XX_API FT_STATUS FT_SetFlowControl(FT_HANDLE ftHandle, uint16_t usFlowControl, uint8_t uXon,
                                       uint8_t uXoff) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        const FT_STATUS status = SetFlowControl(d, FlowControl{usFlowControl, uXon, uXoff});
        if (status != FT_OK) return status;
        // Hardware handshaking needs the host's own handshake line raised.
        if (usFlowControl == FT_FLOW_RTS_CTS) return SetRts(d);
        if (usFlowControl == FT_FLOW_DTR_DSR) return SetDtr(d);
        return status;
    });
}

FTD2XX_API FT_STATUS FT_SetDtr(FT_HANDLE ftHandle) {
    return WithDevice(ftHandle, [](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return SetDtr(d);
    });
}
FTD2XX_API FT_STATUS FT_ClrDtr(FT_HANDLE ftHandle) {
    return WithDevice(ftHandle, [](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return ClrDtr(d);
    });
}
FTD2XX_API FT_STATUS FT_SetRts(FT_HANDLE ftHandle) {
    return WithDevice(ftHandle, [](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return SetRts(d);
    });
}
FTD2XX_API FT_STATUS FT_ClrRts(FT_HANDLE ftHandle) {
    return WithDevice(ftHandle, [](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return ClrRts(d);
    });
}

FTD2XX_API FT_STATUS FT_SetBreakOn(FT_HANDLE ftHandle) {
    return WithDevice(ftHandle, [](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return SetBreak(d, kBreakOn);
    });
}

FTD2XX_API FT_STATUS FT_SetBreakOff(FT_HANDLE ftHandle) {
    return WithDevice(ftHandle, [](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return SetBreak(d, 0);
    });
}

FTD2XX_API FT_STATUS FT_SetChars(FT_HANDLE ftHandle, uint8_t uEventCh, uint8_t uEventChEn,
                                 uint8_t uErrorCh, uint8_t uErrorChEn) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        MutexLock lock(d->settings_mutex);
        return SetChars(d, SpecialChars{uEventCh, uEventChEn, uErrorCh, uErrorChEn});
    });
}

FTD2XX_API FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle) {
    return WithDevice(ftHandle, [](DeviceExtension *d) -> FT_STATUS {
        const FT_STATUS status = ResetDevice(d);
        if (status != FT_OK) return status;
        return Purge(d, FT_PURGE_RX | FT_PURGE_TX);
    });
}

FTD2XX_API FT_STATUS FT_Purge(FT_HANDLE ftHandle, uint32_t dwMask) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS { return Purge(d, dwMask); });
}

FTD2XX_API FT_STATUS FT_GetModemStatus(FT_HANDLE ftHandle, uint32_t *lpdwModemStatus) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        if (!lpdwModemStatus) return FT_INVALID_PARAMETER;
        // The processor keeps modem_status current from every packet's
        // status byte; no request is needed.
        *lpdwModemStatus = d->modem_status.load();
        d->event_status.fetch_and(~FT_EVENT_MODEM_STATUS);
        return FT_OK;
    });
}

FTD2XX_API FT_STATUS FT_IoCtl(FT_HANDLE, uint32_t, void *, uint32_t, void *, uint32_t, uint32_t *,
                              void *) {
    return FT_NOT_SUPPORTED;
}

}  // extern "C"
