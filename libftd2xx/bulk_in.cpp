// The receive engine: the reader thread keeps four bulk-in transfers in
// flight, the libusb event thread completes them, and the processor thread
// cuts each completed transfer into the chip's packets, strips their two
// status bytes and appends the payload to the receive ring.
#include <algorithm>
#include <cstring>
#include <thread>

#include "ftd2xx-private.h"

namespace d2xx {
namespace {

constexpr uint8_t kModemStatusMask = 0xF0;  // CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80
constexpr uint8_t kLineErrorMask = 0x1E;    // overrun, parity, framing, break
// A submission that failed for no stated reason is retried after this pause,
// so a chip that keeps refusing does not make the threads spin.
constexpr uint32_t kRetryPauseMs = 10;
// Refused submissions in a row after which the device counts as lost (about
// half a second of retries).
constexpr int kSubmitRetries = 200;

uint32_t NextSlot(uint32_t i) {
    return (i + 1) % kInSlotCount;
}

// Lets a thread that waits on `cond` under rx_mutex see a change made
// without the lock before it goes back to sleep.
void NotifyUnderRxLock(DeviceExtension *device) {
    { std::scoped_lock lock(device->rx_mutex); }
    device->rx_data_cond.notify_all();
    device->rx_space_cond.notify_all();
}

}  // namespace

void MarkDeviceDead(DeviceExtension *device) {
    device->alive = false;
    NotifyUnderRxLock(device);
    // A comm-event waiter and an application waiting on its notification
    // handle look again and find the device gone.
    device->comm_event.Set();
    if (device->event_mode.load() & 1u) {
        if (auto *target = static_cast<EVENT_HANDLE *>(device->notify_target.load())) {
            pthread_mutex_lock(&target->eMutex);
            pthread_cond_broadcast(&target->eCondVar);
            pthread_mutex_unlock(&target->eMutex);
        }
    }
}

void WakeReceiveThreads(DeviceExtension *device) {
    device->reader_wake_event.Set();
    device->processor_wake_event.Set();
    for (InTransferSlot &slot : device->in_slots) {
        slot.free_event.Set();
        slot.done_event.Set();
    }
    NotifyUnderRxLock(device);
}

int InRequest(uint32_t length, DeviceExtension *device, int i) {
    InTransferSlot &slot = device->in_slots[i];
    libusb_fill_bulk_transfer(slot.transfer.get(), device->usb_dev.get(), device->in_ep,
                              slot.buffer.get(), static_cast<int>(length), InRequestCompletion,
                              &slot, device->in_timeout.load());
    // Pending before submission: a completion that arrives before
    // libusb_submit_transfer returns is never overwritten.
    slot.status = -1;
    {
        std::scoped_lock lock(device->inflight_mutex);
        ++device->inflight;
    }
    const int r = libusb_submit_transfer(slot.transfer.get());
    if (r != 0) {
        slot.status = 1;
        std::scoped_lock lock(device->inflight_mutex);
        --device->inflight;
        device->inflight_cond.notify_all();
    }
    return r;
}

void LIBUSB_CALL InRequestCompletion(libusb_transfer *transfer) {
    auto *slot = static_cast<InTransferSlot *>(transfer->user_data);
    DeviceExtension *device = slot->device;
    slot->length = 0;
    switch (transfer->status) {
        case LIBUSB_TRANSFER_NO_DEVICE:
        case LIBUSB_TRANSFER_ERROR:
        case LIBUSB_TRANSFER_TIMED_OUT:
            MarkDeviceDead(device);
            break;
        case LIBUSB_TRANSFER_CANCELLED:
            break;
        default:
            slot->length = transfer->actual_length;
            break;
    }
    slot->purge_generation = device->rx_purge_count.load();
    slot->status = transfer->status;
    slot->done_event.Set();
    // Last touch of the record: the close may free it once inflight is 0.
    std::scoped_lock lock(device->inflight_mutex);
    --device->inflight;
    device->inflight_cond.notify_all();
}

void reader_thread(DeviceExtension *device) {
    uint32_t i = 0;
    int refused = 0;  // submissions refused in a row
    bool running = true;
    while (running && !device->stop_threads) {
        InTransferSlot &slot = device->in_slots[i];
        if (!slot.free_event.Wait(device->reader_wait_ms)) continue;
        if (device->stop_threads) break;
        slot.free_event.Reset();
        uint32_t size = 0;
        {
            std::scoped_lock lock(device->rx_mutex);
            size = device->in_transfer_size;
        }
        const int r = InRequest(size, device, static_cast<int>(i));
        if (r == 0) {
            refused = 0;
            i = NextSlot(i);
        } else if (r == LIBUSB_ERROR_NO_DEVICE || r == LIBUSB_ERROR_PIPE ||
                   ++refused > kSubmitRetries) {
            // Nothing will be received any more: reads must fail rather
            // than wait for data that cannot come.
            MarkDeviceDead(device);
            running = false;
        } else {
            // Possibly passing (busy, out of memory): no completion will
            // come, so the slot goes to the processor, which gives it back
            // (status 1) after a pause.
            slot.done_event.Set();
            i = NextSlot(i);
        }
    }
    // Stopped: nothing restarts reception; wait for the close.
    while (!device->stop_threads) device->reader_wake_event.Wait(0);
}

void processor_thread(DeviceExtension *device) {
    uint32_t i = 0;
    while (!device->stop_threads) {
        InTransferSlot &slot = device->in_slots[i];
        if (!slot.done_event.Wait(device->processor_wait_ms)) continue;
        if (device->stop_threads) break;
        slot.done_event.Reset();
        if (!device->alive) break;
        const int status = slot.status;
        if (status == 1) {  // submission failed without a completion
            device->processor_wake_event.Wait(kRetryPauseMs);
            slot.free_event.Set();
            i = NextSlot(i);
            continue;
        }
        if (status != LIBUSB_TRANSFER_COMPLETED) {
            if (status != LIBUSB_TRANSFER_STALL) {
                // An outcome reception cannot go on from (e.g. an overflow).
                MarkDeviceDead(device);
                break;
            }
            libusb_clear_halt(device->usb_dev.get(), device->in_ep);
            std::this_thread::yield();
            slot.free_event.Set();
            i = NextSlot(i);
            continue;
        }
        // Data that arrived before the latest receive purge was purged with
        // the ring; what arrived after it is kept.
        if (slot.purge_generation != device->rx_purge_count) {
            slot.length = 0;
        } else {
            const ParseResult r =
                ProcessBulkInData(device, slot.buffer.get(),
                                  static_cast<uint32_t>(slot.length.load()), slot.purge_generation);
            if (r == ParseResult::kStopped) break;
        }
        slot.free_event.Set();
        i = NextSlot(i);
    }
    while (!device->stop_threads) device->processor_wake_event.Wait(0);
}

ParseResult ProcessBulkInData(DeviceExtension *device, const uint8_t *data, uint32_t n,
                              uint64_t generation) {
    bool event_char_enabled = false;
    uint8_t event_char = 0;
    if (n > 2) {
        event_char = device->event_char;
        event_char_enabled = device->event_char_enabled != 0;
    }
    const uint32_t packet_size = std::max<uint32_t>(device->packet_size, 2);
    const uint64_t purges_seen = generation;
    while (n >= 2) {  // a packet always starts with its two status bytes
        const uint32_t k = std::min(packet_size, n);
        const auto modem = static_cast<uint8_t>(data[0] & kModemStatusMask);
        const auto changed = static_cast<uint8_t>(modem ^ device->modem_status.load());
        device->modem_status = modem;
        device->line_status = data[1];
        const uint8_t errors = n > 2 ? static_cast<uint8_t>(data[1] & kLineErrorMask) : 0;
        bool appended = false;
        bool event_char_seen = false;
        if (k > 2) {
            const uint8_t *payload = data + 2;
            const uint32_t p = k - 2;
            std::unique_lock lock(device->rx_mutex);
            // A full ring holds the transfer (and with it reception) until a
            // read, a purge or the close makes room: nothing is dropped here.
            device->rx_space_cond.wait(lock, [&] {
                return device->rx_free >= p || device->stop_threads || !device->alive ||
                       device->rx_purge_count != purges_seen;
            });
            if (device->stop_threads || !device->alive) return ParseResult::kStopped;
            if (device->rx_purge_count != purges_seen) return ParseResult::kPurged;
            const uint32_t first = std::min(p, device->rx_capacity - device->rx_write_index);
            std::memcpy(device->rx_data.get() + device->rx_write_index, payload, first);
            std::memcpy(device->rx_data.get(), payload + first, p - first);
            device->rx_write_index = (device->rx_write_index + p) % device->rx_capacity;
            device->rx_free -= p;
            lock.unlock();
            device->rx_data_cond.notify_all();
            appended = true;
            event_char_seen = event_char_enabled && std::memchr(payload, event_char, p) != nullptr;
        }
        signalSomeEvents(device, changed, errors, appended ? 1 : 0, event_char_seen ? 1 : 0);
        data += k;
        n -= k;
    }
    return ParseResult::kDone;
}

void PurgeReceive(DeviceExtension *device) {
    {
        std::scoped_lock lock(device->rx_mutex);
        device->rx_write_index = 0;
        device->rx_read_index = 0;
        device->rx_free = device->rx_capacity;
        ++device->rx_purge_count;
    }
    device->rx_space_cond.notify_all();
}

void UpdateDeadmanTimeout(DeviceExtension *device) {
    if (device->packet_size <= 2) return;
    uint32_t size = 0;
    {
        std::scoped_lock lock(device->rx_mutex);
        size = device->in_transfer_size;
    }
    const uint64_t timeout =
        uint64_t{size / (device->packet_size - 2)} * device->latency_ms.load() +
        device->deadman_timeout;
    device->in_timeout = static_cast<uint32_t>(std::min<uint64_t>(timeout, UINT32_MAX));
}

void signalSomeEvents(DeviceExtension *device, uint8_t modemChanged, uint8_t lineErrors,
                      int received, int eventCharSeen) {
    if (device->event_mode.load() & 1u) {
        const uint32_t mask = device->notify_mask.load();
        uint32_t bit = 0;
        if (received && (mask & FT_EVENT_RXCHAR)) {
            bit = FT_EVENT_RXCHAR;
        } else if (modemChanged && (mask & FT_EVENT_MODEM_STATUS)) {
            bit = FT_EVENT_MODEM_STATUS;
        } else if ((lineErrors & kLineErrorMask) && (mask & FT_EVENT_LINE_STATUS)) {
            bit = FT_EVENT_LINE_STATUS;
        }
        // One condition at a time: nothing is recorded while a bit waits
        // to be collected.
        uint32_t expected = 0;
        if (bit && device->event_status.compare_exchange_strong(expected, bit)) {
            if (auto *target = static_cast<EVENT_HANDLE *>(device->notify_target.load())) {
                pthread_mutex_lock(&target->eMutex);
                pthread_cond_signal(&target->eCondVar);
                pthread_mutex_unlock(&target->eMutex);
            }
        }
        return;
    }
    uint32_t newly = 0;
    {
        std::scoped_lock lock(device->comm_mutex);
        auto record = [&](uint32_t bit) {
            if ((device->comm_wait_mask & bit) && !(device->comm_events & bit)) {
                device->comm_events |= bit;
                newly |= bit;
            }
        };
        if (received) record(EV_RXCHAR);
        if (modemChanged & 0x10) record(EV_CTS);
        if (modemChanged & 0x20) record(EV_DSR);
        if (modemChanged & 0x80) record(EV_RLSD);
        if (modemChanged & 0x40) record(EV_RING);
        if (lineErrors & kLineErrorMask) {
            device->comm_errors |= lineErrors & kLineErrorMask;
            record(EV_ERR);
        }
        if (eventCharSeen) record(EV_RXFLAG);
    }
    if (newly) device->comm_event.Set();
}

}  // namespace d2xx

using namespace d2xx;

extern "C" {

FTD2XX_API FT_STATUS FT_SetDeadmanTimeout(FT_HANDLE ftHandle, uint32_t ulDeadmanTimeout) {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    if (ulDeadmanTimeout == 0) return FT_INVALID_PARAMETER;
    device->deadman_timeout = ulDeadmanTimeout;
    UpdateDeadmanTimeout(device.get());
    return FT_OK;
}

}  // extern "C"
