// The Win32-style calls (FT_W32_*): a thin layer over the FT_* calls that
// answers TRUE/FALSE, keeps a per-handle last error, the comm state and the
// comm-event wait.
#include <utility>

#include "ftd2xx-private.h"

namespace d2xx {
namespace {

constexpr int kTrue = 1;
constexpr int kFalse = 0;

int Result(FT_STATUS status) {
    return status == FT_OK ? kTrue : kFalse;
}

// Keeps the status of a mapped FT_* call as the handle's last error.
int Recorded(DeviceExtension *device, FT_STATUS status) {
    device->last_error = status;
    return Result(status);
}

int Fail(DeviceExtension *device, FT_STATUS status) {
    device->last_error = status;
    return kFalse;
}

// FT_W32_PurgeComm's flags as an FT_Purge mask: either the abort or the
// clear flag of a direction purges it.
uint32_t PurgeMask(uint32_t flags) {
    uint32_t mask = 0;
    if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) mask |= FT_PURGE_RX;
    if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) mask |= FT_PURGE_TX;
    return mask;
}

uint16_t FlowMode(const FTDCB &dcb) {
    if (dcb.fOutxCtsFlow) return FT_FLOW_RTS_CTS;
    if (dcb.fOutxDsrFlow) return FT_FLOW_DTR_DSR;
    if (dcb.fOutX || dcb.fInX) return FT_FLOW_XON_XOFF;
    return FT_FLOW_NONE;
}

// The close raises stop_threads before it aborts a comm-event wait, so a
// waiter that the close ended always sees it.
bool Closing(const DeviceExtension &device) {
    return device.stop_threads.load();
}

// Applies comm_settings to the chip, stopping at the first failed request.
// RTS and DTR are only driven when their control differs from what the last
// call applied. The applied copy is taken whatever happened, except that an
// RTS or DTR control whose request failed (or was never reached) keeps its
// previous value: the next comm state with the same control then sends the
// request again instead of taking the line as already set.
FT_STATUS SetState(DeviceExtension *device) REQUIRES(device->settings_mutex) {
    FTDCB dcb{};
    {
        MutexLock lock(device->comm_mutex);
        dcb = device->comm_settings;
    }
    const FTDCB applied = device->applied_comm_settings;

    FT_STATUS status = SetBaudRate(device, dcb.BaudRate);
    if (status == FT_OK) {
        status = SetLineControl(device, LineControl{dcb.StopBits, dcb.Parity, dcb.ByteSize});
    }
    if (status == FT_OK) {
        const uint16_t mode = FlowMode(dcb);
        FlowControl flow{mode, 0, 0};
        if (mode == FT_FLOW_XON_XOFF) {
            flow.xon = static_cast<uint8_t>(dcb.XonChar);
            flow.xoff = static_cast<uint8_t>(dcb.XoffChar);
        }
        status = SetFlowControl(device, flow);
        if (status == FT_OK && mode == FT_FLOW_RTS_CTS) status = SetRts(device);
        if (status == FT_OK && mode == FT_FLOW_DTR_DSR) status = SetDtr(device);
    }
    bool rts_done = dcb.fRtsControl == applied.fRtsControl;
    if (status == FT_OK && !rts_done) {
        status = dcb.fRtsControl == RTS_CONTROL_DISABLE ? ClrRts(device) : SetRts(device);
        rts_done = status == FT_OK;
    }
    bool dtr_done = dcb.fDtrControl == applied.fDtrControl;
    if (status == FT_OK && !dtr_done) {
        status = dcb.fDtrControl == DTR_CONTROL_DISABLE ? ClrDtr(device) : SetDtr(device);
        dtr_done = status == FT_OK;
    }
    if (status == FT_OK) {
        const auto event_char = static_cast<uint8_t>(dcb.EvtChar);
        const auto error_char = static_cast<uint8_t>(dcb.ErrorChar);
        status =
            SetChars(device, SpecialChars{event_char, event_char != 0 ? uint8_t{1} : uint8_t{0},
                                          error_char, error_char != 0 ? uint8_t{1} : uint8_t{0}});
    }

    FTDCB next = dcb;
    if (!rts_done) next.fRtsControl = applied.fRtsControl;
    if (!dtr_done) next.fDtrControl = applied.fDtrControl;
    device->applied_comm_settings = next;
    return status;
}

}  // namespace
}  // namespace d2xx

using namespace d2xx;

extern "C" {

FTD2XX_API FT_HANDLE FT_W32_CreateFile(const char *name, uint32_t, uint32_t, void *, uint32_t,
                                       uint32_t flagsAndAttributes, void *) {
    const uint32_t selection =
        flagsAndAttributes & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION);
    if (selection == 0) return FT_INVALID_HANDLE_VALUE;
    FT_HANDLE handle = nullptr;
    if (FT_OpenEx(const_cast<char *>(name), selection, &handle) != FT_OK) {
        return FT_INVALID_HANDLE_VALUE;
    }
    return handle;
}

FTD2XX_API FT_HANDLE FT_W32_OpenFile(uint32_t index, uint32_t, uint32_t, uint32_t) {
    FT_HANDLE handle = nullptr;
    // An index past INT_MAX turns negative and names no device.
    if (FT_Open(static_cast<int>(index), &handle) != FT_OK) return nullptr;
    return handle;
}

FTD2XX_API int FT_W32_CloseHandle(FT_HANDLE ftHandle) {
    return Result(FT_Close(ftHandle));
}

FTD2XX_API int FT_W32_ReadFile(FT_HANDLE ftHandle, void *buffer, uint32_t bytesToRead,
                               uint32_t *bytesReturned, void *) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    return Recorded(device.get(), FT_Read(ftHandle, buffer, bytesToRead, bytesReturned));
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_WriteFile(FT_HANDLE ftHandle, const void *buffer, uint32_t bytesToWrite,
                                uint32_t *bytesWritten, void *) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    return Recorded(device.get(), FT_Write(ftHandle, buffer, bytesToWrite, bytesWritten));
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_GetOverlappedResult(FT_HANDLE ftHandle, void *, uint32_t *, int) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    return Fail(device.get(), FT_NOT_SUPPORTED);
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_CancelIo(FT_HANDLE ftHandle) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    return Fail(device.get(), FT_NOT_SUPPORTED);
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_ClearCommBreak(FT_HANDLE ftHandle) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    return Recorded(device.get(), FT_SetBreakOff(ftHandle));
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_SetCommBreak(FT_HANDLE ftHandle) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    return Recorded(device.get(), FT_SetBreakOn(ftHandle));
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_EscapeCommFunction(FT_HANDLE ftHandle, uint32_t function) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    FT_STATUS status = FT_OK;
    switch (function) {
        case SETRTS:
            status = FT_SetRts(ftHandle);
            break;
        case CLRRTS:
            status = FT_ClrRts(ftHandle);
            break;
        case SETDTR:
            status = FT_SetDtr(ftHandle);
            break;
        case CLRDTR:
            status = FT_ClrDtr(ftHandle);
            break;
        case SETBREAK:
            status = FT_SetBreakOn(ftHandle);
            break;
        case CLRBREAK:
            status = FT_SetBreakOff(ftHandle);
            break;
        default:  // XON/XOFF by hand and a device reset are not offered
            return kFalse;
    }
    return Recorded(device.get(), status);
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_PurgeComm(FT_HANDLE ftHandle, uint32_t flags) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    return Recorded(device.get(), FT_Purge(ftHandle, PurgeMask(flags)));
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_GetCommModemStatus(FT_HANDLE ftHandle, uint32_t *modemStatus) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    const FT_STATUS status = FT_GetModemStatus(ftHandle, modemStatus);
    // A modem change that arrived meanwhile is taken as seen too.
    device->event_status.fetch_and(~FT_EVENT_MODEM_STATUS);
    return Result(status);
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_ClearCommError(FT_HANDLE ftHandle, uint32_t *errors, FTCOMSTAT *status) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    if (!errors || !status) return Fail(device.get(), FT_INVALID_PARAMETER);
    {
        MutexLock lock(device->comm_mutex);
        *errors = std::exchange(device->comm_errors, 0u);
    }
    status->fCtsHold = 0;
    status->fDsrHold = 0;
    status->fRlsdHold = 0;
    status->fXoffHold = 0;
    status->fXoffSent = 0;
    status->fEof = 0;
    status->fTxim = 0;
    status->cbInQue = device->rx_capacity - device->rx_free.load();
    status->cbOutQue = 0;  // writes are never queued on the host
    device->event_status = 0;
    return kTrue;
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_GetCommState(FT_HANDLE ftHandle, FTDCB *dcb) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    if (!dcb) return Fail(device.get(), FT_INVALID_PARAMETER);
    MutexLock lock(device->comm_mutex);
    *dcb = device->comm_settings;
    return kTrue;
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_SetCommState(FT_HANDLE ftHandle, const FTDCB *dcb) try {
    auto device = AcquireDevice(ftHandle);
    if (!device || !dcb) return kFalse;
    // The state given and the state applied stay paired: comm states set
    // from several threads are taken and applied one at a time.
    MutexLock settings(device->settings_mutex);
    {
        MutexLock lock(device->comm_mutex);
        device->comm_settings = *dcb;
    }
    return Result(SetState(device.get()));
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_GetCommTimeouts(FT_HANDLE ftHandle, FTTIMEOUTS *timeouts) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    if (!timeouts) return Fail(device.get(), FT_INVALID_PARAMETER);
    *timeouts = FTTIMEOUTS{};
    timeouts->ReadTotalTimeoutConstant = device->read_timeout.load();
    timeouts->WriteTotalTimeoutConstant = device->write_timeout.load();
    return kTrue;
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_SetCommTimeouts(FT_HANDLE ftHandle, const FTTIMEOUTS *timeouts) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    if (!timeouts) return Fail(device.get(), FT_INVALID_PARAMETER);
    return Result(FT_SetTimeouts(ftHandle, timeouts->ReadTotalTimeoutConstant,
                                 timeouts->WriteTotalTimeoutConstant));
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_SetCommMask(FT_HANDLE ftHandle, uint32_t mask) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    {
        MutexLock lock(device->comm_mutex);
        device->comm_wait_mask = mask;
        device->comm_wait_abort = 1;
        device->comm_event.Set();
    }
    device->event_mode.fetch_and(~1u);
    return kTrue;
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_WaitCommEvent(FT_HANDLE ftHandle, uint32_t *mask, void *) try {
    // The reference keeps the record, and comm_event with it, alive even when
    // FT_Close runs on another thread while this one waits.
    auto device = AcquireDevice(ftHandle);
    if (!device) return kFalse;
    if (!mask) return Fail(device.get(), FT_INVALID_PARAMETER);
    {
        MutexLock lock(device->comm_mutex);
        if (!Closing(*device)) {
            if (device->comm_wait_mask == 0) return Fail(device.get(), FT_INVALID_PARAMETER);
            device->comm_wait_abort = 0;
        }
    }
    // A mask change or the close after this point sets comm_wait_abort and
    // then comm_event. The abort is looked at under comm_mutex right after
    // the event is reset, so a wake-up can never fall between the two.
    // A device found gone sets comm_event after clearing alive. Other threads
    // may wait on the same handle: a waiter that ends on the abort, the close
    // or the loss sets the event again, so that its reset does not swallow
    // the wake-up the others need.
    uint32_t seen = 0;
    bool lost = false;
    for (;;) {
        {
            MutexLock lock(device->comm_mutex);
            device->comm_event.Reset();
            if (device->comm_wait_abort || Closing(*device)) {
                device->comm_event.Set();
                break;
            }
            // Events taken here but outside the mask are dropped.
            seen = std::exchange(device->comm_events, 0u) & device->comm_wait_mask;
            if (seen != 0) break;
            lost = !device->alive;
            if (lost) {
                device->comm_event.Set();
                break;
            }
        }
        device->comm_event.Wait(0);
    }
    if (Closing(*device)) {
        *mask = 0;
        return kFalse;
    }
    if (lost) {
        *mask = 0;
        return Fail(device.get(), FT_IO_ERROR);
    }
    *mask = seen;
    return kTrue;
} catch (...) {
    return kFalse;
}

FTD2XX_API int FT_W32_SetupComm(FT_HANDLE ftHandle, uint32_t, uint32_t) try {
    return IsDeviceValid(ftHandle) ? kTrue : kFalse;
} catch (...) {
    return kFalse;
}

FTD2XX_API FT_STATUS FT_W32_GetLastError(FT_HANDLE ftHandle) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    return device->last_error.load();
} catch (...) {
    return StatusOfException();
}

}  // extern "C"
