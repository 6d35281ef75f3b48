// The receive engine: the reader thread keeps four bulk-in transfers in
// flight, the libusb event thread completes them, and the processor thread
// cuts each completed transfer into the chip's packets, strips their two
// status bytes and appends the payload to the receive ring.
#include <algorithm>
#include <bit>
#include <cstring>
#include <thread>

#include "ftd2xx-private.h"
#include "rx_stages.h"

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
    { MutexLock lock(device->rx_mutex); }
    device->rx_data_cond.notify_all();
    device->rx_space_cond.notify_all();
}

// An application waiting on its notification handle looks again and finds
// the device gone. Only the processor thread calls it: the application's
// mutex may be held for as long as the application likes, and the libusb
// event thread, which every device's transfers need, must never wait for it.
void SignalDeviceGone(DeviceExtension *device) {
    if (device->event_mode.load() & 1u) {
        if (auto *target = static_cast<EVENT_HANDLE *>(device->notify_target.load())) {
            pthread_mutex_lock(&target->eMutex);
            pthread_cond_broadcast(&target->eCondVar);
            pthread_mutex_unlock(&target->eMutex);
        }
    }
}

}  // namespace

// Runs on the libusb event thread too (a completion callback), so it takes
// only the record's own short-held locks and leaves signalling the
// application to the processor thread, which it wakes.
void MarkDeviceDead(DeviceExtension *device) {
    device->alive = false;
    NotifyUnderRxLock(device);
    // A comm-event waiter looks again and finds the device gone.
    device->comm_event.Set();
    // Wherever the processor waits, it wakes and, finding the device dead,
    // leaves its loop before it looks at the slot.
    for (InTransferSlot &slot : device->in_slots) slot.done_event.Set();
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
        MutexLock lock(device->inflight_mutex);
        ++device->inflight;
    }
    const int r = libusb_submit_transfer(slot.transfer.get());
    if (r != 0) {
        slot.status = 1;
        MutexLock lock(device->inflight_mutex);
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
    RX_STAGE(slot - device->in_slots, kCompleted);
    slot->status = transfer->status;
    slot->done_event.Set();
    // Last touch of the record: the close may free it once inflight is 0.
    MutexLock lock(device->inflight_mutex);
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
        RX_STAGE(i, kReaderWake);
        uint32_t size = 0;
        {
            MutexLock lock(device->rx_mutex);
            size = device->in_transfer_size;
        }
        const int r = InRequest(size, device, static_cast<int>(i));
        RX_STAGE(i, kSubmitted);
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
        RX_STAGE(i, kProcessorWake);
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
        RX_STAGE(i, kParsed);
        slot.free_event.Set();
        RX_STAGE(i, kFreed);
        i = NextSlot(i);
    }
    if (!device->stop_threads && !device->alive) SignalDeviceGone(device);
    while (!device->stop_threads) device->processor_wake_event.Wait(0);
}

namespace {

// The FT_EVENT_* bit one packet would record, in the order of precedence:
// data, then a modem-line change, then a line error.
uint32_t NotificationBit(uint32_t mask, bool received, uint8_t modemChanged, uint8_t lineErrors) {
    if (received && (mask & FT_EVENT_RXCHAR)) return FT_EVENT_RXCHAR;
    if (modemChanged && (mask & FT_EVENT_MODEM_STATUS)) return FT_EVENT_MODEM_STATUS;
    if ((lineErrors & kLineErrorMask) && (mask & FT_EVENT_LINE_STATUS)) {
        return FT_EVENT_LINE_STATUS;
    }
    return 0;
}

// Records `bit` unless one waits to be collected, and signals the
// application's condition variable when it was recorded.
void Notify(DeviceExtension *device, uint32_t bit) {
    uint32_t expected = 0;
    if (bit && device->event_status.compare_exchange_strong(expected, bit)) {
        if (auto *target = static_cast<EVENT_HANDLE *>(device->notify_target.load())) {
            pthread_mutex_lock(&target->eMutex);
            pthread_cond_signal(&target->eCondVar);
            pthread_mutex_unlock(&target->eMutex);
        }
    }
}

// What the packets of a transfer signal, gathered so that the comm-event
// lock and the notification are taken once per transfer. With notification
// armed only the first packet that yields a bit counts (one condition at a
// time, as if each packet were signalled on its own); the comm events are
// a union, which is what signalling them one by one amounts to.
struct PacketSignals {
    bool armed = false;
    uint32_t mask = 0;
    uint32_t bit = 0;
    uint8_t modem_changed = 0;
    uint8_t line_errors = 0;
    bool received = false;
    bool event_char_seen = false;

    void Add(bool packetReceived, uint8_t changed, uint8_t errors, bool eventChar) {
        if (armed) {
            if (!bit) bit = NotificationBit(mask, packetReceived, changed, errors);
            return;
        }
        modem_changed |= changed;
        line_errors |= errors;
        received |= packetReceived;
        event_char_seen |= eventChar;
    }
    // Signals what was gathered and starts over. Called without rx_mutex.
    void Flush(DeviceExtension *device) {
        if (armed) {
            Notify(device, bit);
            bit = 0;
            return;
        }
        if (modem_changed || (line_errors & kLineErrorMask) || received) {
            signalSomeEvents(device, modem_changed, line_errors, received ? 1 : 0,
                             event_char_seen ? 1 : 0);
        }
        modem_changed = line_errors = 0;
        received = event_char_seen = false;
    }
};

// Payload bytes of a full-speed packet: copied with a constant length, which
// the compiler turns into a few moves.
constexpr uint32_t kFullSpeedPayload = 62;

void CopyIntoRing(uint8_t *ring, uint32_t capacity, uint32_t at, const uint8_t *payload,
                  uint32_t p) {
    const uint32_t room = capacity - at;
    if (p <= room) {
        std::memcpy(ring + at, payload, p);
        return;
    }
    std::memcpy(ring + at, payload, room);
    std::memcpy(ring, payload + room, p - room);
}

// Copies `count` whole packets of `packet_size` bytes to `out` without
// their status bytes; returns the modem-line changes and the line-status
// bits seen, and leaves `modem` and `line` at the last packet's.
struct RunStatus {
    uint8_t changed = 0, line_bits = 0;
};
template <uint32_t kPayload>
inline RunStatus CopyPacketsBody(const uint8_t *in, uint8_t *out, uint32_t count, uint32_t payload,
                                 uint8_t *modem, uint8_t *line) {
    RunStatus r;
    uint8_t m = *modem;
    const uint32_t size = (kPayload ? kPayload : payload) + 2;
    for (uint32_t i = 0; i < count; ++i, in += size, out += size - 2) {
        const auto packet_modem = static_cast<uint8_t>(in[0] & kModemStatusMask);
        r.changed |= static_cast<uint8_t>(packet_modem ^ m);
        m = packet_modem;
        r.line_bits |= in[1];
        std::memcpy(out, in + 2, kPayload ? kPayload : payload);
    }
    *modem = m;
    *line = in[-static_cast<int32_t>(size) + 1];
    return r;
}

#if defined(__x86_64__) && defined(__GNUC__)
// Full-speed packets carry 62 payload bytes. With 32-byte vector moves the
// payload is two overlapping blocks, one load and one store each: the
// compiler's own 62-byte copy uses four 16-byte moves even there.
__attribute__((target("avx2"))) RunStatus CopyFullSpeedPacketsWide(const uint8_t *in, uint8_t *out,
                                                                   uint32_t count, uint8_t *modem,
                                                                   uint8_t *line) {
    typedef uint8_t Block __attribute__((vector_size(32)));
    static_assert(kFullSpeedPayload > sizeof(Block) && kFullSpeedPayload <= 2 * sizeof(Block));
    constexpr uint32_t kSecond = kFullSpeedPayload - sizeof(Block);
    RunStatus r;
    uint8_t m = *modem;
    for (uint32_t i = 0; i < count; ++i, in += kFullSpeedPayload + 2, out += kFullSpeedPayload) {
        const auto packet_modem = static_cast<uint8_t>(in[0] & kModemStatusMask);
        r.changed |= static_cast<uint8_t>(packet_modem ^ m);
        m = packet_modem;
        r.line_bits |= in[1];
        Block first, second;
        std::memcpy(&first, in + 2, sizeof first);
        std::memcpy(&second, in + 2 + kSecond, sizeof second);
        std::memcpy(out, &first, sizeof first);
        std::memcpy(out + kSecond, &second, sizeof second);
    }
    *modem = m;
    if (count) *line = in[-static_cast<int32_t>(kFullSpeedPayload + 2) + 1];
    return r;
}

bool HasWideMoves() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}
#endif

RunStatus CopyPackets(const uint8_t *in, uint8_t *out, uint32_t count, uint32_t payload,
                      uint8_t *modem, uint8_t *line) {
    if (payload != kFullSpeedPayload)
        return CopyPacketsBody<0>(in, out, count, payload, modem, line);
#if defined(__x86_64__) && defined(__GNUC__)
    if (HasWideMoves()) return CopyFullSpeedPacketsWide(in, out, count, modem, line);
#endif
    // A constant length, which the compiler turns into a few moves.
    return CopyPacketsBody<kFullSpeedPayload>(in, out, count, payload, modem, line);
}

}  // namespace

// Not analysed for locks (the lambdas inside are): the ring's lock is taken
// lazily, at the first payload byte, and let go around the wait for room, so
// whether it is held is the unique_lock's run-time state (owns_lock()), which
// the analysis cannot follow.
ParseResult ProcessBulkInData(DeviceExtension *device, const uint8_t *data, uint32_t n,
                              uint64_t generation) NO_THREAD_SAFETY_ANALYSIS {
    if (n < 2) return ParseResult::kDone;
    PacketSignals signals;
    signals.armed = (device->event_mode.load() & 1u) != 0;
    if (signals.armed) signals.mask = device->notify_mask.load();
    const uint8_t event_char = device->event_char;
    const bool event_char_enabled = n > 2 && device->event_char_enabled != 0;
    const uint32_t packet_size = std::max<uint32_t>(device->packet_size, 2);

    // The ring is locked once for the whole transfer (from its first
    // payload byte) and readers are woken once; only a full ring makes the
    // parser let go in between, after waking readers and signalling what it
    // has appended so far.
    std::unique_lock<Mutex> lock(device->rx_mutex, std::defer_lock);
    uint8_t *const ring = device->rx_data.get();
    uint32_t capacity = 0, write_index = 0, free = 0;
    bool appended = false;  // since readers were last woken
    uint8_t modem = device->modem_status.load();
    uint8_t line = device->line_status.load();
    ParseResult result = ParseResult::kDone;

    // Stores the ring's counters; true when a waiting FT_Read now has what
    // it waits for and must be woken (after the lock is let go).
    auto publish = [&]() REQUIRES(device->rx_mutex) {
        device->rx_write_index = write_index;
        device->rx_free.store(free, std::memory_order_relaxed);  // the lock orders it
        if (!appended || capacity - free < device->rx_wanted) return false;
        device->rx_wanted = kNoneWanted;
        return true;
    };
    // Without notification or event character, whole packets after the
    // first are copied in runs that fit the ring before its end.
    const bool plain_run = !signals.armed && !event_char_enabled && packet_size > 2;
    const uint32_t packet_payload = packet_size - 2;
    const int packet_shift =
        (packet_size & (packet_size - 1)) == 0 ? std::countr_zero(packet_size) : 0;
    // With the ring just locked for the rest of the transfer; false (with
    // `result` set) when the transfer is to be dropped.
    auto acquire = [&]() REQUIRES(device->rx_mutex) {
        // The lock keeps purges out from here on; one that came after the
        // completion drops the whole transfer.
        if (device->stop_threads || !device->alive) {
            result = ParseResult::kStopped;
            return false;
        }
        if (device->rx_purge_count != generation) {
            result = ParseResult::kPurged;
            return false;
        }
        capacity = device->rx_capacity;
        write_index = device->rx_write_index;
        free = device->rx_free;
        return true;
    };
    while (n >= 2) {  // a packet always starts with its two status bytes
        if (plain_run && n >= packet_size) {
            if (!lock.owns_lock()) {
                lock.lock();
                if (!acquire()) break;
            }
            // Packet sizes are powers of two: the common case, a transfer
            // that fits the ring before its end, needs no division.
            uint32_t run = packet_shift ? n >> packet_shift : n / packet_size;
            const uint32_t room = std::min(free, capacity - write_index);
            if (run * packet_payload > room) run = std::min(run, room / packet_payload);
            if (run > 0) {
                uint8_t *out = ring + write_index;
                const RunStatus r = CopyPackets(data, out, run, packet_payload, &modem, &line);
                const uint32_t copied = run * packet_payload;
                write_index += copied;
                if (write_index >= capacity) write_index -= capacity;
                free -= copied;
                appended = true;
                // Every packet of the run has payload after it, so its line
                // errors count.
                signals.Add(true, r.changed, static_cast<uint8_t>(r.line_bits & kLineErrorMask),
                            false);
                data += run * packet_size;
                n -= run * packet_size;
                continue;
            }
        }
        const uint32_t k = std::min(packet_size, n);
        const auto packet_modem = static_cast<uint8_t>(data[0] & kModemStatusMask);
        const auto changed = static_cast<uint8_t>(packet_modem ^ modem);
        modem = packet_modem;
        line = data[1];
        const uint8_t errors = n > 2 ? static_cast<uint8_t>(data[1] & kLineErrorMask) : 0;
        const uint32_t p = k - 2;
        if (p > 0) {
            if (!lock.owns_lock()) {
                lock.lock();
                if (!acquire()) break;
            }
            if (free < p) {
                // A full ring holds the transfer (and with it reception)
                // until a read, a purge or the close makes room: nothing is
                // dropped here.
                const bool wake = publish();
                lock.unlock();
                device->modem_status.store(modem, std::memory_order_release);
                device->line_status.store(line, std::memory_order_release);
                if (wake) device->rx_data_cond.notify_all();
                appended = false;
                signals.Flush(device);
                lock.lock();
                while (!(device->rx_free >= p || device->stop_threads || !device->alive ||
                         device->rx_purge_count != generation)) {
                    device->rx_space_cond.wait(device->rx_mutex);
                }
                if (device->stop_threads || !device->alive) {
                    result = ParseResult::kStopped;
                    break;
                }
                if (device->rx_purge_count != generation) {
                    result = ParseResult::kPurged;
                    break;
                }
                write_index = device->rx_write_index;
                free = device->rx_free;
            }
            const uint8_t *payload = data + 2;
            CopyIntoRing(ring, capacity, write_index, payload, p);
            write_index += p;
            if (write_index >= capacity) write_index -= capacity;
            free -= p;
            appended = true;
            const bool seen = event_char_enabled && std::memchr(payload, event_char, p) != nullptr;
            signals.Add(true, changed, errors, seen);
        } else {
            signals.Add(false, changed, errors, false);
        }
        data += k;
        n -= k;
    }
    bool wake = false;
    if (lock.owns_lock()) {
        if (result == ParseResult::kDone) wake = publish();
        lock.unlock();
    }
    if (result == ParseResult::kDone) {
        device->modem_status.store(modem, std::memory_order_release);
        device->line_status.store(line, std::memory_order_release);
    }
    if (wake) device->rx_data_cond.notify_all();
    signals.Flush(device);
    return result;
}

void PurgeReceive(DeviceExtension *device) {
    {
        MutexLock lock(device->rx_mutex);
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
        MutexLock lock(device->rx_mutex);
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
        Notify(device, NotificationBit(device->notify_mask.load(), received != 0, modemChanged,
                                       lineErrors));
        return;
    }
    // Without line errors (counted whatever the mask) and without a waited
    // for event among what the packets bring, there is nothing to record.
    uint32_t bits = received ? EV_RXCHAR : 0u;
    if (modemChanged & 0x10) bits |= EV_CTS;
    if (modemChanged & 0x20) bits |= EV_DSR;
    if (modemChanged & 0x80) bits |= EV_RLSD;
    if (modemChanged & 0x40) bits |= EV_RING;
    if (eventCharSeen) bits |= EV_RXFLAG;
    if (!(lineErrors & kLineErrorMask) &&
        !(device->comm_wait_mask.load(std::memory_order_relaxed) & bits)) {
        return;
    }
    uint32_t newly = 0;
    {
        MutexLock lock(device->comm_mutex);
        auto record = [&](uint32_t bit) REQUIRES(device->comm_mutex) {
            if ((device->comm_wait_mask & bit) && !(device->comm_events & bit)) {
                device->comm_events |= bit;
                newly |= bit;
            }
        };
        for (uint32_t bit : {EV_RXCHAR, EV_CTS, EV_DSR, EV_RLSD, EV_RING}) {
            if (bits & bit) record(bit);
        }
        if (lineErrors & kLineErrorMask) {
            device->comm_errors |= lineErrors & kLineErrorMask;
            record(EV_ERR);
        }
        if (bits & EV_RXFLAG) record(EV_RXFLAG);
    }
    if (newly) device->comm_event.Set();
}

}  // namespace d2xx

using namespace d2xx;

extern "C" {

FTD2XX_API FT_STATUS FT_SetDeadmanTimeout(FT_HANDLE ftHandle, uint32_t ulDeadmanTimeout) try {
    auto device = AcquireDevice(ftHandle);
    if (!device) return FT_INVALID_HANDLE;
    if (ulDeadmanTimeout == 0) return FT_INVALID_PARAMETER;
    MutexLock lock(device->settings_mutex);
    device->deadman_timeout = ulDeadmanTimeout;
    UpdateDeadmanTimeout(device.get());
    return FT_OK;
} catch (...) {
    return StatusOfException();
}

}  // extern "C"
