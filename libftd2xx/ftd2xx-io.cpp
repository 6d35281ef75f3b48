// The application's side of the receive ring (FT_Read and the queue calls)
// and the transmit path (FT_Write, direct or through the writer thread).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "ftd2xx-private.h"

namespace d2xx {
namespace {

constexpr uint32_t kQueueStatusCap = 65536;

// A write goes out in transfers of at most this many bytes: libusb takes a
// transfer's length as an int, and a whole number of high-speed packets
// keeps a short packet from ending a transfer early.
constexpr uint32_t kOutChunk = 1u << 20;

// Time-outs stay the documented result of a write that took too long: the
// caller gets FT_OK and the count that went out. Every other libusb error
// is a failure.
int MapWriteResult(int r) {
    return r == LIBUSB_ERROR_TIMEOUT ? 0 : r;
}

// One bulk-out transfer's completion. The writing thread handles libusb's
// events itself while it waits, as libusb's own synchronous calls do, so a
// write never waits for the library's event thread to come round.
struct OutCompletion {
    int completed = 0;  // libusb reads it under its event-waiters lock
    std::atomic<bool> done{false};
};

void LIBUSB_CALL OutTransferDone(libusb_transfer *transfer) {
    auto *completion = static_cast<OutCompletion *>(transfer->user_data);
    completion->completed = 1;
    completion->done = true;
}

int TransferStatusToError(int status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return 0;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        default:  // failed, or cancelled by the close
            return LIBUSB_ERROR_IO;
    }
}

// One transfer of at most kOutChunk bytes, registered as the record's
// out_transfer while libusb holds it so that the close can cancel it.
int SendChunk(DeviceExtension *device, unsigned char *data, uint32_t length, int *transferred) {
    *transferred = 0;
    TransferPtr transfer(libusb_alloc_transfer(0));
    if (!transfer) return LIBUSB_ERROR_NO_MEM;
    OutCompletion completion;
    libusb_fill_bulk_transfer(transfer.get(), device->usb_dev.get(), device->out_ep, data,
                              static_cast<int>(length), OutTransferDone, &completion,
                              device->write_timeout.load());
    {
        MutexLock lock(device->out_mutex);
        if (device->stop_threads) return LIBUSB_ERROR_NO_DEVICE;
        const int r = libusb_submit_transfer(transfer.get());
        if (r != 0) return r;
        device->out_transfer = transfer.get();
    }
    while (!completion.done) {
        const int r = libusb_handle_events_completed(nullptr, &completion.completed);
        if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED) libusb_cancel_transfer(transfer.get());
    }
    {
        MutexLock lock(device->out_mutex);
        device->out_transfer = nullptr;
    }
    *transferred = transfer->actual_length;
    return TransferStatusToError(transfer->status);
}

// Sends `length` bytes in chunks, each with the write time-out; stops at
// the first chunk that fails or goes out short.
int BulkOut(DeviceExtension *device, const void *buffer, uint32_t length, uint32_t *transferred) {
    static unsigned char empty = 0;  // libusb wants a buffer even for a zero-length packet
    auto *data = length ? static_cast<unsigned char *>(const_cast<void *>(buffer)) : &empty;
    *transferred = 0;
    if (!device->usb_dev) return LIBUSB_ERROR_NO_DEVICE;
    uint32_t done = 0;
    do {
        const uint32_t chunk = std::min(length - done, kOutChunk);
        int sent = 0;
        const int r = SendChunk(device, data + done, chunk, &sent);
        done += static_cast<uint32_t>(sent);
        *transferred = done;
        if (r != 0) return MapWriteResult(r);
        if (static_cast<uint32_t>(sent) != chunk) break;
    } while (done < length);
    return 0;
}

}  // namespace

int FT_WriteSingleThread(DeviceExtension *device, const void *buffer, uint32_t length,
                         uint32_t *transferred) {
    return BulkOut(device, buffer, length, transferred);
}

int FT_WriteMultiThread(DeviceExtension *device, const void *buffer, uint32_t length,
                        uint32_t *transferred) {
    if (!device->writer_running) return LIBUSB_ERROR_NO_DEVICE;
    device->write_buffer = buffer;
    device->write_length = length;
    device->write_result = transferred;
    device->write_request_event.Set();
    device->write_done_event.Wait(0);
    device->write_done_event.Reset();
    return device->write_status;
}

void write_thread(DeviceExtension *device) {
    while (device->writer_running) {
        device->write_request_event.Wait(0);
        device->write_request_event.Reset();
        uint32_t sent = 0;
        int r = 0;
        // A zero-length request sends nothing; the close's wake-up ends the
        // thread, and a write that meets it fails rather than passing as sent.
        if (!device->writer_running) {
            r = LIBUSB_ERROR_NO_DEVICE;
        } else if (device->write_length != 0) {
            r = BulkOut(device, device->write_buffer, device->write_length, &sent);
        }
        if (uint32_t *result = device->write_result.load()) *result = sent;
        device->write_status = r;
        device->write_done_event.Set();
    }
}

}  // namespace d2xx

using namespace d2xx;

extern "C" {

FTD2XX_API FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer, uint32_t dwBytesToRead,
                             uint32_t *lpdwBytesReturned) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    if (!lpBuffer || !lpdwBytesReturned) return FT_INVALID_PARAMETER;
    *lpdwBytesReturned = 0;
    if (dwBytesToRead == 0) return FT_OK;

    const uint32_t timeout = device->read_timeout.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    uint32_t want = dwBytesToRead;
    MutexLock lock(device->rx_mutex);
    for (;;) {
        if (device->stop_threads) return FT_IO_ERROR;
        const uint32_t waiting = device->rx_capacity - device->rx_free;
        if (waiting >= want) break;
        if (!device->alive) {
            // What arrived before the device was lost is still handed over;
            // once nothing is left, reads fail.
            if (waiting == 0) return FT_IO_ERROR;
            want = waiting;
            break;
        }
        if (timeout != 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                want = waiting;  // the time-out passed: hand over what is there
                break;
            }
            device->rx_wanted = std::min(device->rx_wanted, want);
            device->rx_data_cond.wait_until(device->rx_mutex, deadline);
        } else {
            device->rx_wanted = std::min(device->rx_wanted, want);
            device->rx_data_cond.wait(device->rx_mutex);
        }
    }
    auto *out = static_cast<uint8_t *>(lpBuffer);
    const uint32_t first = std::min(want, device->rx_capacity - device->rx_read_index);
    std::memcpy(out, device->rx_data.get() + device->rx_read_index, first);
    std::memcpy(out + first, device->rx_data.get(), want - first);
    device->rx_read_index = (device->rx_read_index + want) % device->rx_capacity;
    device->rx_free += want;
    *lpdwBytesReturned = want;
    if (device->rx_free == device->rx_capacity) device->event_status.fetch_and(~FT_EVENT_RXCHAR);
    lock.unlock();
    device->rx_space_cond.notify_all();
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

// The bytes waiting, also on a dead device until they have been read;
// FT_IO_ERROR once a dead device has nothing left.
static FT_STATUS WaitingBytes(DeviceExtension *device, uint32_t *waiting) {
    {
        MutexLock lock(device->rx_mutex);
        *waiting = device->rx_capacity - device->rx_free;
    }
    if (*waiting == 0 && !device->alive) return FT_IO_ERROR;
    // Gives the receive threads a turn in a caller's tight polling loop.
    std::this_thread::yield();
    return FT_OK;
}

static FT_STATUS QueueStatus(FT_HANDLE ftHandle, uint32_t *dwRxBytes, bool capped) {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    if (!dwRxBytes) return FT_INVALID_PARAMETER;
    *dwRxBytes = 0;
    uint32_t waiting = 0;
    const FT_STATUS status = WaitingBytes(device.get(), &waiting);
    if (status != FT_OK) return status;
    *dwRxBytes = capped ? std::min(waiting, kQueueStatusCap) : waiting;
    return FT_OK;
}

FTD2XX_API FT_STATUS FT_GetQueueStatus(FT_HANDLE ftHandle, uint32_t *dwRxBytes) try {
    return QueueStatus(ftHandle, dwRxBytes, true);
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_GetQueueStatusEx(FT_HANDLE ftHandle, uint32_t *dwRxBytes) try {
    return QueueStatus(ftHandle, dwRxBytes, false);
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, uint32_t *dwRxBytes, uint32_t *dwTxBytes,
                                  uint32_t *dwEventDWord) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    if (!dwRxBytes || !dwTxBytes || !dwEventDWord) return FT_INVALID_PARAMETER;
    uint32_t waiting = 0;
    const FT_STATUS status = WaitingBytes(device.get(), &waiting);
    if (status != FT_OK) return status;
    *dwRxBytes = std::min(waiting, kQueueStatusCap);
    *dwTxBytes = 0;  // nothing is queued for transmission on the host
    *dwEventDWord = device->event_status.exchange(0);
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, uint32_t dwReadTimeout,
                                    uint32_t dwWriteTimeout) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    // The two stay paired when several threads set them.
    MutexLock lock(device->settings_mutex);
    device->read_timeout = dwReadTimeout;
    device->write_timeout = dwWriteTimeout;
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_StopInTask(FT_HANDLE ftHandle) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    device->in_task_stopped = 1;
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_RestartInTask(FT_HANDLE ftHandle) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    device->in_task_stopped = 0;
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

FTD2XX_API FT_STATUS FT_Write(FT_HANDLE ftHandle, const void *lpBuffer, uint32_t dwBytesToWrite,
                              uint32_t *lpdwBytesWritten) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    if (!lpdwBytesWritten || (!lpBuffer && dwBytesToWrite != 0)) return FT_INVALID_PARAMETER;
    MutexLock write_lock(device->write_mutex);
    *lpdwBytesWritten = 0;
    const int r = device->write_routine(device.get(), lpBuffer, dwBytesToWrite, lpdwBytesWritten);
    if (*lpdwBytesWritten == dwBytesToWrite) {
        const uint16_t zlp = device->zlp_packet_size;
        if (dwBytesToWrite != 0 && zlp != 0 && dwBytesToWrite % zlp == 0) {
            uint32_t scratch = 0;
            device->write_routine(device.get(), lpBuffer, 0, &scratch);
        }
        MutexLock comm_lock(device->comm_mutex);
        if (device->comm_wait_mask & EV_TXEMPTY) {
            if (device->comm_events == 0) device->comm_events = EV_TXEMPTY;
            device->comm_event.Set();
        }
    }
    return r != 0 ? FT_IO_ERROR : FT_OK;
} catch (...) {
    return StatusOfException();
}

}  // extern "C"
