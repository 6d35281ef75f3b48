// Packet parsing, the receive ring and event recording, driven directly on a
// device record (no USB involved).
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "ftd2xx-private.h"

using namespace std::chrono_literals;
using d2xx::DeviceExtension;
using d2xx::ParseResult;

namespace {

std::unique_ptr<DeviceExtension> MakeRecord(uint32_t packet_size = 64) {
    auto d = std::make_unique<DeviceExtension>();
    d->rx_data = std::make_unique<uint8_t[]>(d2xx::kRxCapacity);
    d->packet_size = packet_size;
    d->alive = true;
    return d;
}

// A transfer of packets: each packet_size-long chunk starts with the two
// status bytes.
std::vector<uint8_t> Packets(const std::vector<uint8_t> &payload, uint32_t packet_size,
                             uint8_t modem = 0x01, uint8_t line = 0x60) {
    std::vector<uint8_t> out;
    size_t i = 0;
    do {
        out.push_back(modem);
        out.push_back(line);
        for (uint32_t k = 0; k < packet_size - 2 && i < payload.size(); ++k)
            out.push_back(payload[i++]);
    } while (i < payload.size());
    return out;
}

std::vector<uint8_t> Drain(DeviceExtension *d) {
    std::scoped_lock lock(d->rx_mutex);
    std::vector<uint8_t> out;
    const uint32_t waiting = d->rx_capacity - d->rx_free;
    for (uint32_t i = 0; i < waiting; ++i) {
        out.push_back(d->rx_data[(d->rx_read_index + i) % d->rx_capacity]);
    }
    d->rx_read_index = (d->rx_read_index + waiting) % d->rx_capacity;
    d->rx_free = d->rx_capacity;
    return out;
}

std::vector<uint8_t> Bytes(size_t n, uint8_t start = 0) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

TEST(PacketParsing, StatusOnlyTransferUpdatesStatusButAppendsAndReportsNothing) {
    auto d = MakeRecord();
    d->comm_wait_mask = EV_RXCHAR | EV_ERR | EV_CTS;
    const uint8_t idle[2] = {0x11, 0x62};  // CTS, overrun bit in the line status
    EXPECT_EQ(d2xx::ProcessBulkInData(d.get(), idle, 2, d->rx_purge_count.load()),
              ParseResult::kDone);
    EXPECT_EQ(d->modem_status.load(), 0x10);  // low four bits cleared
    EXPECT_EQ(d->line_status.load(), 0x62);
    EXPECT_EQ(d->rx_free.load(), d->rx_capacity);
    // Line errors count only while payload follows; the CTS change counts.
    EXPECT_EQ(d->comm_errors, 0u);
    EXPECT_EQ(d->comm_events, static_cast<uint32_t>(EV_CTS));
    // The same status again is no change.
    d->comm_events = 0;
    d2xx::ProcessBulkInData(d.get(), idle, 2, d->rx_purge_count.load());
    EXPECT_EQ(d->comm_events, 0u);
}

TEST(PacketParsing, TransferIsCutAtPacketBoundariesAndStatusBytesStripped) {
    auto d = MakeRecord(64);
    // 130 bytes: packets of 64, 64 and 2.
    const auto payload = Bytes(124, 1);
    auto transfer = Packets(payload, 64);
    transfer.push_back(0x01);
    transfer.push_back(0x60);
    ASSERT_EQ(transfer.size(), 130u);
    EXPECT_EQ(d2xx::ProcessBulkInData(d.get(), transfer.data(), 130, d->rx_purge_count.load()),
              ParseResult::kDone);
    EXPECT_EQ(Drain(d.get()), payload);

    // 512-byte packets on a high-speed chip.
    auto hs = MakeRecord(512);
    const auto big = Bytes(1020, 7);
    const auto hs_transfer = Packets(big, 512);
    ASSERT_EQ(hs_transfer.size(), 1024u);
    d2xx::ProcessBulkInData(hs.get(), hs_transfer.data(), static_cast<uint32_t>(hs_transfer.size()),
                            hs->rx_purge_count.load());
    EXPECT_EQ(Drain(hs.get()), big);
}

TEST(PacketParsing, LineErrorsAndModemChangesAreRecordedAsCommEvents) {
    auto d = MakeRecord();
    d->comm_wait_mask = EV_ERR | EV_RLSD | EV_RING | EV_RXCHAR;
    auto transfer = Packets(Bytes(3), 64, 0x81 /* DCD */, 0x64 /* parity */);
    d2xx::ProcessBulkInData(d.get(), transfer.data(), static_cast<uint32_t>(transfer.size()),
                            d->rx_purge_count.load());
    EXPECT_EQ(d->comm_errors, 0x04u);
    EXPECT_EQ(d->comm_events, static_cast<uint32_t>(EV_ERR | EV_RLSD | EV_RXCHAR));
    EXPECT_TRUE(d->comm_event.IsSet());

    // Errors accumulate even when nobody waits for EV_ERR.
    auto quiet = MakeRecord();
    auto framing = Packets(Bytes(1), 64, 0x41 /* RI */, 0x68);
    d2xx::ProcessBulkInData(quiet.get(), framing.data(), static_cast<uint32_t>(framing.size()),
                            quiet->rx_purge_count.load());
    EXPECT_EQ(quiet->comm_errors, 0x08u);
    EXPECT_EQ(quiet->comm_events, 0u);
    EXPECT_FALSE(quiet->comm_event.IsSet());
}

TEST(PacketParsing, EventCharacterIsSeenOnlyWhenEnabled) {
    auto d = MakeRecord();
    d->comm_wait_mask = EV_RXFLAG;
    auto transfer = Packets({'a', 0x7E, 'b'}, 64);
    d2xx::ProcessBulkInData(d.get(), transfer.data(), static_cast<uint32_t>(transfer.size()),
                            d->rx_purge_count.load());
    EXPECT_EQ(d->comm_events, 0u);
    d->event_char = 0x7E;
    d->event_char_enabled = 1;
    d2xx::ProcessBulkInData(d.get(), transfer.data(), static_cast<uint32_t>(transfer.size()),
                            d->rx_purge_count.load());
    EXPECT_EQ(d->comm_events, static_cast<uint32_t>(EV_RXFLAG));
}

TEST(ReceiveRing, WritesWrapAtTheEndOfTheStorageInOrder) {
    auto d = MakeRecord();
    {
        std::scoped_lock lock(d->rx_mutex);
        d->rx_write_index = d->rx_capacity - 10;
        d->rx_read_index = d->rx_capacity - 10;
    }
    const auto payload = Bytes(62, 40);
    const auto transfer = Packets(payload, 64);
    d2xx::ProcessBulkInData(d.get(), transfer.data(), static_cast<uint32_t>(transfer.size()),
                            d->rx_purge_count.load());
    EXPECT_EQ(d->rx_write_index, 52u);
    EXPECT_EQ(Drain(d.get()), payload);
}

TEST(ReceiveRing, PayloadThatExactlyFillsTheRingIsAccepted) {
    auto d = MakeRecord();
    d->rx_free = 62;
    const auto transfer = Packets(Bytes(62), 64);
    EXPECT_EQ(d2xx::ProcessBulkInData(d.get(), transfer.data(), 64, d->rx_purge_count.load()),
              ParseResult::kDone);
    EXPECT_EQ(d->rx_free.load(), 0u);
}

TEST(ReceiveRing, FullRingHoldsTheTransferUntilAReadMakesRoomAndLosesNothing) {
    auto d = MakeRecord();
    d->rx_free = 10;  // room for 10 bytes only; 30 arrive in one packet
    const auto payload = Bytes(30, 100);
    const auto transfer = Packets(payload, 64);
    std::atomic<bool> finished{false};
    ParseResult result = ParseResult::kStopped;
    std::thread processor([&] {
        result = d2xx::ProcessBulkInData(d.get(), transfer.data(),
                                         static_cast<uint32_t>(transfer.size()),
                                         d->rx_purge_count.load());
        finished = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(finished.load());  // waiting, not dropping
    {
        std::scoped_lock lock(d->rx_mutex);
        d->rx_free = d->rx_capacity;  // the application read everything
    }
    d->rx_space_cond.notify_all();
    processor.join();
    EXPECT_EQ(result, ParseResult::kDone);
    EXPECT_EQ(Drain(d.get()), payload);
}

TEST(ReceiveRing, PurgeOrCloseReleasesAProcessorWaitingForRoom) {
    for (const bool close : {false, true}) {
        auto d = MakeRecord();
        d->rx_free = 0;
        const auto transfer = Packets(Bytes(124), 64);
        ParseResult result = ParseResult::kDone;
        std::thread processor([&] {
            result = d2xx::ProcessBulkInData(d.get(), transfer.data(),
                                             static_cast<uint32_t>(transfer.size()),
                                             d->rx_purge_count.load());
        });
        std::this_thread::sleep_for(20ms);
        if (close) {
            d->stop_threads = true;
            d2xx::WakeReceiveThreads(d.get());
        } else {
            d2xx::PurgeReceive(d.get());
        }
        processor.join();
        EXPECT_EQ(result, close ? ParseResult::kStopped : ParseResult::kPurged);
        // The purged transfer's rest is gone, not appended after the purge.
        if (!close) {
            EXPECT_EQ(d->rx_free.load(), d->rx_capacity);
        }
    }
}

TEST(ReceiveRing, PurgeEmptiesTheRingAndKeepsPendingEvents) {
    auto d = MakeRecord();
    const auto transfer = Packets(Bytes(20), 64);
    d2xx::ProcessBulkInData(d.get(), transfer.data(), static_cast<uint32_t>(transfer.size()),
                            d->rx_purge_count.load());
    d->event_status = FT_EVENT_RXCHAR;
    const uint64_t before = d->rx_purge_count;
    d2xx::PurgeReceive(d.get());
    EXPECT_EQ(d->rx_free.load(), d->rx_capacity);
    EXPECT_EQ(d->rx_read_index, 0u);
    EXPECT_EQ(d->rx_write_index, 0u);
    // Completions recorded before this count carry purged data.
    EXPECT_EQ(d->rx_purge_count.load(), before + 1);
    EXPECT_EQ(d->event_status.load(), static_cast<uint32_t>(FT_EVENT_RXCHAR));  // kept
}

TEST(ReceiveRing, TransferCompletedBeforeAPurgeIsNotAppendedAfterIt) {
    auto d = MakeRecord();
    const uint64_t completed_under = d->rx_purge_count;
    d2xx::PurgeReceive(d.get());  // between the completion and its parse
    const auto transfer = Packets(Bytes(20), 64);
    EXPECT_EQ(d2xx::ProcessBulkInData(d.get(), transfer.data(),
                                      static_cast<uint32_t>(transfer.size()), completed_under),
              ParseResult::kPurged);
    EXPECT_EQ(d->rx_free.load(), d->rx_capacity);
}

TEST(EventNotification, OneBitUntilCollectedWithDataBeforeModemBeforeLineErrors) {
    auto d = MakeRecord();
    EVENT_HANDLE handle;
    pthread_mutex_init(&handle.eMutex, nullptr);
    pthread_cond_init(&handle.eCondVar, nullptr);
    d->notify_target = &handle;
    d->notify_mask = FT_EVENT_RXCHAR | FT_EVENT_MODEM_STATUS | FT_EVENT_LINE_STATUS;
    d->event_mode = 1;

    // Data and a CTS change in one packet: only the data is recorded.
    auto both = Packets(Bytes(4), 64, 0x11, 0x60);
    d2xx::ProcessBulkInData(d.get(), both.data(), static_cast<uint32_t>(both.size()),
                            d->rx_purge_count.load());
    EXPECT_EQ(d->event_status.load(), static_cast<uint32_t>(FT_EVENT_RXCHAR));
    // Nothing else is recorded while a bit waits.
    auto error = Packets(Bytes(1), 64, 0x01, 0x68);
    d2xx::ProcessBulkInData(d.get(), error.data(), static_cast<uint32_t>(error.size()),
                            d->rx_purge_count.load());
    EXPECT_EQ(d->event_status.load(), static_cast<uint32_t>(FT_EVENT_RXCHAR));

    d->event_status = 0;  // collected
    d2xx::signalSomeEvents(d.get(), 0x10, 0x08, 0, 0);
    EXPECT_EQ(d->event_status.load(), static_cast<uint32_t>(FT_EVENT_MODEM_STATUS));
    d->event_status = 0;
    d2xx::signalSomeEvents(d.get(), 0, 0x08, 0, 0);
    EXPECT_EQ(d->event_status.load(), static_cast<uint32_t>(FT_EVENT_LINE_STATUS));
    // Comm events are not recorded while notification is armed.
    EXPECT_EQ(d->comm_events, 0u);
    pthread_cond_destroy(&handle.eCondVar);
    pthread_mutex_destroy(&handle.eMutex);
}

TEST(DeadmanTimeout, BulkInTimeOutFollowsTransferSizeLatencyAndDeadman) {
    auto d = MakeRecord(64);
    d->latency_ms = 16;
    d->deadman_timeout = 5000;
    d2xx::UpdateDeadmanTimeout(d.get());
    EXPECT_EQ(d->in_timeout.load(), 66u * 16 + 5000);  // 6056
    d->deadman_timeout = 1000;
    d2xx::UpdateDeadmanTimeout(d.get());
    EXPECT_EQ(d->in_timeout.load(), 2056u);
    // "As good as forever" stays the longest time-out, never wraps to a short one.
    d->deadman_timeout = UINT32_MAX;
    d2xx::UpdateDeadmanTimeout(d.get());
    EXPECT_EQ(d->in_timeout.load(), UINT32_MAX);
}

}  // namespace
