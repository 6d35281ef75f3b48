// Arbitrary bytes as a run of completed bulk-in transfers, parsed by the
// receive engine on a device record of its own (no USB involved).
//
// Input layout; a short input simply ends the run:
//   byte 0  packet size: low two bits 0 gives 64, 1 gives 512, otherwise the
//           high six bits as they are (0..63: odd sizes, and sizes below the
//           two status bytes, which the parser must still step over)
//   byte 1  bit 0 event notification armed (comm events otherwise), bit 1
//           event character enabled, bit 2 notification target given,
//           bits 3-7 ring size (0 the full ring, n about n x 83 bytes, never
//           less than the payload of the largest transfer)
//   byte 2  event character
//   byte 3  comm wait mask, one bit per comm event (EV_TXEMPTY included,
//           which the parser must never record)
//   byte 4  notification mask (low three bits); the high four bits are the
//           modem status the record starts with
//   then, per transfer: its length (two bytes, little-endian, cut to what is
//   left), a control byte (bit 0 purge first, bit 1 collect the events
//   first, bits 2-7 how much of the waiting data to read first, in 63rds)
//   and the transfer's bytes.
//
// Before each transfer the entry point reads enough waiting data for the
// transfer's whole payload to fit: the parser waits for room when the ring
// is full, and nothing else would make room here. After each transfer it
// checks the ring counters, that exactly the packets' payload bytes were
// appended in order (bytes 2.. of every packet_size-long packet), that free
// cells were not written, the status bytes kept, and the comm events, line
// errors and notification bits recorded, all against a model of its own.
//
// Built with FTD2XX_FUZZ_REPLAY it is a plain program instead: it runs the
// entry point over every file (or every file of every directory) named on
// its command line: the seed corpus in fuzz/corpus/.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "ftd2xx-private.h"

namespace {

using d2xx::DeviceExtension;

constexpr uint8_t kCanary = 0xA5;  // what a free cell of the ring holds
constexpr uint32_t kCanaryWindow = 32;
constexpr uint32_t kRingStep = 83;
constexpr uint32_t kCommBits[8] = {EV_RXCHAR, EV_RXFLAG, EV_TXEMPTY, EV_CTS,
                                   EV_DSR,    EV_RLSD,   EV_ERR,     EV_RING};

void Require(bool ok, const char *what, size_t transfer) {
    if (ok) return;
    std::fprintf(stderr, "bulk_in_fuzz: transfer %zu: %s\n", transfer, what);
    std::abort();
}

uint32_t PacketSize(uint8_t selector) {
    switch (selector & 3) {
        case 0:
            return 64;
        case 1:
            return 512;
        default:
            return selector >> 2;
    }
}

// Calls fn(packet, k, left) for every packet of a transfer of n bytes: a
// packet is packet_size bytes (the last may be shorter) and always carries
// its two status bytes; `left` counts the transfer's bytes from this
// packet on. A lone trailing byte is no packet.
template <typename Fn>
void ForEachPacket(const uint8_t *data, uint32_t n, uint32_t packet_size, Fn fn) {
    const uint32_t size = packet_size < 2 ? 2 : packet_size;
    uint32_t off = 0;
    while (n - off >= 2) {
        const uint32_t k = n - off < size ? n - off : size;
        fn(data + off, k, n - off);
        off += k;
    }
}

uint32_t PayloadBytes(const uint8_t *data, uint32_t n, uint32_t packet_size) {
    uint32_t total = 0;
    ForEachPacket(data, n, packet_size,
                  [&](const uint8_t *, uint32_t k, uint32_t) { total += k - 2; });
    return total;
}

struct Transfer {
    const uint8_t *data;
    uint32_t length;
    uint8_t control;
};

// What the record must hold after each transfer, worked out from the bytes
// alone.
struct Model {
    std::deque<uint8_t> waiting;
    uint8_t modem_status = 0;
    uint8_t line_status = 0;
    uint32_t comm_events = 0;
    uint32_t comm_errors = 0;
    uint32_t event_status = 0;
};

struct Harness {
    std::unique_ptr<DeviceExtension> device;
    Model model;
    bool notification = false;
    bool event_char_enabled = false;
    uint8_t event_char = 0;
    uint32_t comm_wait_mask = 0;
    uint32_t notify_mask = 0;
    size_t transfer = 0;  // index of the transfer being checked, for messages
};

// Reads `count` waiting bytes the way a read does, checking each against the
// model, and marks the cells free again.
void Drain(Harness &h, uint32_t count) {
    DeviceExtension *d = h.device.get();
    d2xx::MutexLock lock(d->rx_mutex);
    for (uint32_t i = 0; i < count; ++i) {
        Require(!h.model.waiting.empty(), "more bytes waiting than were appended", h.transfer);
        Require(d->rx_data[d->rx_read_index] == h.model.waiting.front(),
                "waiting data differs from the payload received", h.transfer);
        h.model.waiting.pop_front();
        d->rx_data[d->rx_read_index] = kCanary;
        d->rx_read_index = (d->rx_read_index + 1) % d->rx_capacity;
    }
    d->rx_free += count;
}

void CheckRing(Harness &h) {
    DeviceExtension *d = h.device.get();
    d2xx::MutexLock lock(d->rx_mutex);
    const uint32_t cap = d->rx_capacity;
    const uint32_t free_bytes = d->rx_free;
    Require(free_bytes <= cap, "rx_free exceeds rx_capacity", h.transfer);
    Require(d->rx_write_index < cap, "rx_write_index outside the ring", h.transfer);
    Require(d->rx_read_index < cap, "rx_read_index outside the ring", h.transfer);
    Require(cap - free_bytes == h.model.waiting.size(), "bytes waiting differ from bytes appended",
            h.transfer);
    Require((d->rx_read_index + (cap - free_bytes)) % cap == d->rx_write_index,
            "rx_write_index does not follow the waiting bytes", h.transfer);
    const uint32_t window = free_bytes < kCanaryWindow ? free_bytes : kCanaryWindow;
    for (uint32_t i = 0; i < window; ++i) {
        Require(d->rx_data[(d->rx_write_index + i) % cap] == kCanary, "a free cell was written",
                h.transfer);
    }
}

void CheckEvents(Harness &h) {
    DeviceExtension *d = h.device.get();
    Require(d->modem_status.load() == h.model.modem_status, "modem_status is not the last packet's",
            h.transfer);
    Require(d->line_status.load() == h.model.line_status, "line_status is not the last packet's",
            h.transfer);
    Require(d->event_status.load() == h.model.event_status, "notification bits differ", h.transfer);
    d2xx::MutexLock lock(d->comm_mutex);
    Require(d->comm_events == h.model.comm_events, "comm events differ", h.transfer);
    Require(d->comm_errors == h.model.comm_errors, "line errors differ", h.transfer);
    Require(d->comm_event.IsSet() == (h.model.comm_events != 0),
            "comm_event does not match the events recorded", h.transfer);
}

// Applies one transfer to the model; returns its payload in order.
std::vector<uint8_t> Expect(Harness &h, const Transfer &t) {
    std::vector<uint8_t> payload;
    const uint32_t packet_size = h.device->packet_size;
    ForEachPacket(t.data, t.length, packet_size, [&](const uint8_t *p, uint32_t k, uint32_t left) {
        const auto modem = static_cast<uint8_t>(p[0] & 0xF0);
        const auto changed = static_cast<uint8_t>(modem ^ h.model.modem_status);
        h.model.modem_status = modem;
        h.model.line_status = p[1];
        const uint32_t errors = left > 2 ? (p[1] & 0x1Eu) : 0u;
        const bool received = k > 2;
        bool char_seen = false;
        for (uint32_t i = 2; i < k; ++i) {
            payload.push_back(p[i]);
            h.model.waiting.push_back(p[i]);
            if (h.event_char_enabled && p[i] == h.event_char) char_seen = true;
        }
        if (h.notification) {
            uint32_t bit = 0;
            if (received && (h.notify_mask & FT_EVENT_RXCHAR)) {
                bit = FT_EVENT_RXCHAR;
            } else if (changed && (h.notify_mask & FT_EVENT_MODEM_STATUS)) {
                bit = FT_EVENT_MODEM_STATUS;
            } else if (errors && (h.notify_mask & FT_EVENT_LINE_STATUS)) {
                bit = FT_EVENT_LINE_STATUS;
            }
            if (h.model.event_status == 0) h.model.event_status = bit;
            return;
        }
        uint32_t seen = 0;
        if (received) seen |= EV_RXCHAR;
        if (changed & 0x10) seen |= EV_CTS;
        if (changed & 0x20) seen |= EV_DSR;
        if (changed & 0x80) seen |= EV_RLSD;
        if (changed & 0x40) seen |= EV_RING;
        if (errors) {
            h.model.comm_errors |= errors;
            seen |= EV_ERR;
        }
        if (char_seen) seen |= EV_RXFLAG;
        h.model.comm_events |= seen & h.comm_wait_mask;
    });
    return payload;
}

void CollectEvents(Harness &h) {
    DeviceExtension *d = h.device.get();
    d->event_status = 0;
    {
        d2xx::MutexLock lock(d->comm_mutex);
        d->comm_events = 0;
        d->comm_errors = 0;
    }
    d->comm_event.Reset();
    h.model.event_status = h.model.comm_events = h.model.comm_errors = 0;
}

// A purge leaves the old bytes in cells that are free again; they are marked
// free here so that the check for writes into free cells still holds.
void Purge(Harness &h) {
    d2xx::PurgeReceive(h.device.get());
    DeviceExtension *d = h.device.get();
    d2xx::MutexLock lock(d->rx_mutex);
    std::memset(d->rx_data.get(), kCanary, d->rx_capacity);
    h.model.waiting.clear();
}

void RunTransfer(Harness &h, const Transfer &t) {
    DeviceExtension *d = h.device.get();
    if (t.control & 1) Purge(h);
    if (t.control & 2) CollectEvents(h);

    const uint32_t p = PayloadBytes(t.data, t.length, d->packet_size);
    const auto waiting = static_cast<uint32_t>(h.model.waiting.size());
    const uint32_t needed = waiting + p > d->rx_capacity ? waiting + p - d->rx_capacity : 0;
    const uint32_t chosen = static_cast<uint32_t>(uint64_t{waiting} * (t.control >> 2) / 63);
    Drain(h, needed > chosen ? needed : chosen);

    uint32_t start = 0;
    {
        d2xx::MutexLock lock(d->rx_mutex);
        start = d->rx_write_index;
    }
    const std::vector<uint8_t> payload = Expect(h, t);
    const d2xx::ParseResult r =
        d2xx::ProcessBulkInData(d, t.data, t.length, d->rx_purge_count.load());
    Require(r == d2xx::ParseResult::kDone, "the parse did not run to the end", h.transfer);
    {
        d2xx::MutexLock lock(d->rx_mutex);
        for (size_t i = 0; i < payload.size(); ++i) {
            Require(d->rx_data[(start + i) % d->rx_capacity] == payload[i],
                    "appended bytes differ from the packets' payload", h.transfer);
        }
    }
    CheckRing(h);
    CheckEvents(h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    std::vector<Transfer> transfers;
    uint32_t largest = 0;
    const uint32_t packet_size = PacketSize(data[0]);
    for (size_t pos = 5; size - pos >= 3;) {
        const uint32_t wanted = data[pos] | (uint32_t{data[pos + 1]} << 8);
        const uint8_t control = data[pos + 2];
        pos += 3;
        const auto length = static_cast<uint32_t>(wanted < size - pos ? wanted : size - pos);
        transfers.push_back({data + pos, length, control});
        const uint32_t p = PayloadBytes(data + pos, length, packet_size);
        if (p > largest) largest = p;
        pos += length;
    }

    Harness h;
    h.device = std::make_unique<DeviceExtension>();
    DeviceExtension *d = h.device.get();
    const uint8_t flags = data[1];
    const uint32_t ring_steps = flags >> 3;
    uint32_t capacity = ring_steps == 0 ? d2xx::kRxCapacity : ring_steps * kRingStep;
    if (capacity < largest) capacity = largest;
    d->rx_data = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    std::memset(d->rx_data.get(), kCanary, capacity);
    d->rx_capacity = capacity;
    d->rx_free = capacity;
    d->packet_size = packet_size;
    d->alive = true;

    h.notification = (flags & 1) != 0;
    h.event_char_enabled = (flags & 2) != 0;
    h.event_char = data[2];
    for (int bit = 0; bit < 8; ++bit) {
        if (data[3] & (1u << bit)) h.comm_wait_mask |= kCommBits[bit];
    }
    h.notify_mask = data[4] & 7u;
    h.model.modem_status = data[4] & 0xF0;
    h.model.line_status = 0;

    EVENT_HANDLE target;
    pthread_mutex_init(&target.eMutex, nullptr);
    pthread_cond_init(&target.eCondVar, nullptr);
    d->event_mode = h.notification ? 1 : 0;
    d->notify_mask = h.notify_mask;
    d->notify_target = (flags & 4) ? &target : nullptr;
    d->event_char = h.event_char;
    d->event_char_enabled = h.event_char_enabled ? 1 : 0;
    {
        d2xx::MutexLock lock(d->comm_mutex);
        d->comm_wait_mask = h.comm_wait_mask;
    }
    d->modem_status = h.model.modem_status;

    for (const Transfer &t : transfers) {
        RunTransfer(h, t);
        ++h.transfer;
    }
    Drain(h, static_cast<uint32_t>(h.model.waiting.size()));
    CheckRing(h);

    h.device.reset();
    pthread_cond_destroy(&target.eCondVar);
    pthread_mutex_destroy(&target.eMutex);
    return 0;
}

#ifdef FTD2XX_FUZZ_REPLAY

#include "replay.h"

int main(int argc, char **argv) {
    return fuzz_replay::ReplayMain(argc, argv);
}

#endif  // FTD2XX_FUZZ_REPLAY
