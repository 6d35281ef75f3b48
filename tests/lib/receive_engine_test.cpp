// The receive ring between the processor thread (ProcessBulkInData) and the
// application (FT_Read), on a registered record with a small ring, so that
// every read and write crosses the end of the storage. The ring's storage is
// allocated at its exact size: an index that runs past the end is an
// AddressSanitizer report, and a wrong one shows as bytes out of order.
#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

#include "ftd2xx-private.h"

using d2xx::DeviceExtension;
using d2xx::ParseResult;

namespace {

constexpr uint32_t kRing = 16;

class Ring : public ::testing::Test {
  protected:
    void SetUp() override {
        record_ = d2xx::AddDevice();
        ASSERT_TRUE(record_);
        d_ = record_.get();
        d_->rx_data = std::make_unique<uint8_t[]>(kRing);
        d_->rx_capacity = kRing;
        d_->rx_free = kRing;
        d_->packet_size = 8;  // six payload bytes a packet: several fit in the ring
        d_->alive = true;
        d_->read_timeout = 0;
    }
    void TearDown() override { d2xx::RemoveDevice(d_); }

    // Sends `payload` as one transfer of 8-byte packets.
    ParseResult Receive(const std::vector<uint8_t> &payload, uint8_t modem = 0x01,
                        uint8_t line = 0x60) {
        return ReceiveUnder(payload, d_->rx_purge_count.load(), modem, line);
    }
    // The same for a transfer completed under purge generation `generation`.
    ParseResult ReceiveUnder(const std::vector<uint8_t> &payload, uint64_t generation,
                             uint8_t modem = 0x01, uint8_t line = 0x60) {
        std::vector<uint8_t> transfer;
        size_t i = 0;
        do {
            transfer.push_back(modem);
            transfer.push_back(line);
            for (int k = 0; k < 6 && i < payload.size(); ++k) transfer.push_back(payload[i++]);
        } while (i < payload.size());
        return d2xx::ProcessBulkInData(d_, transfer.data(), static_cast<uint32_t>(transfer.size()),
                                       generation);
    }
    std::vector<uint8_t> Read(uint32_t n) {
        std::vector<uint8_t> out(n);
        uint32_t got = 0;
        EXPECT_EQ(FT_Read(d_, out.data(), n, &got), FT_OK);
        out.resize(got);
        return out;
    }
    uint32_t Waiting() {
        uint32_t n = 0;
        EXPECT_EQ(FT_GetQueueStatus(d_, &n), FT_OK);
        return n;
    }

    std::shared_ptr<DeviceExtension> record_;
    DeviceExtension *d_ = nullptr;
};

std::vector<uint8_t> Bytes(size_t n, uint8_t start) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

TEST_F(Ring, ReadsAndWritesCrossingTheEndKeepTheOrder) {
    // Each step receives `in` bytes and reads `out`; the running position
    // puts reads that end exactly at the end, that straddle it, and that
    // start at storage index 0.
    struct Step {
        uint32_t in, out;
    };
    const Step steps[] = {{12, 12}, {10, 10}, {6, 4}, {12, 14}, {16, 16}, {5, 3}, {14, 16}};
    uint8_t next_in = 1, next_out = 1;
    for (const Step &s : steps) {
        SCOPED_TRACE(testing::Message() << "in " << s.in << " out " << s.out);
        ASSERT_EQ(Receive(Bytes(s.in, next_in)), ParseResult::kDone);
        next_in = static_cast<uint8_t>(next_in + s.in);
        ASSERT_EQ(Read(s.out), Bytes(s.out, next_out));
        next_out = static_cast<uint8_t>(next_out + s.out);
    }
    EXPECT_EQ(Waiting(), 0u);
}

TEST_F(Ring, FullRingHoldsTheProcessorUntilReadsMakeRoomAndLosesNothing) {
    // 600 bytes through a 16-byte ring, read in odd pieces by the application
    // while the processor waits for room.
    std::vector<uint8_t> payload(600);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + i / 256);
    ParseResult result = ParseResult::kStopped;
    std::thread processor([&] { result = Receive(payload); });
    std::vector<uint8_t> got;
    while (got.size() < payload.size()) {
        const auto piece =
            Read(static_cast<uint32_t>(std::min<size_t>(7, payload.size() - got.size())));
        got.insert(got.end(), piece.begin(), piece.end());
    }
    processor.join();
    EXPECT_EQ(result, ParseResult::kDone);
    EXPECT_EQ(got, payload);
}

TEST_F(Ring, PurgeOrCloseReleasesAProcessorWaitingForRoom) {
    for (const bool close : {false, true}) {
        SCOPED_TRACE(close ? "close" : "purge");
        ASSERT_EQ(Receive(Bytes(12, 0)), ParseResult::kDone);
        // The generation is taken before the thread starts, so a purge that
        // comes before the processor waits still counts against it.
        const uint64_t generation = d_->rx_purge_count.load();
        ParseResult result = ParseResult::kDone;
        std::thread processor([&] { result = ReceiveUnder(Bytes(30, 50), generation); });
        if (close) {
            d_->stop_threads = true;
            d2xx::WakeReceiveThreads(d_);
        } else {
            d2xx::PurgeReceive(d_);
        }
        processor.join();
        EXPECT_EQ(result, close ? ParseResult::kStopped : ParseResult::kPurged);
        d_->stop_threads = false;
        d2xx::PurgeReceive(d_);
    }
    // A transfer completed before a purge and parsed after it is dropped;
    // what comes after the purge is kept.
    const uint64_t completed_under = d_->rx_purge_count.load();
    d2xx::PurgeReceive(d_);
    EXPECT_EQ(ReceiveUnder(Bytes(5, 0), completed_under), ParseResult::kPurged);
    EXPECT_EQ(Waiting(), 0u);
    ASSERT_EQ(Receive(Bytes(5, 9)), ParseResult::kDone);
    EXPECT_EQ(Read(5), Bytes(5, 9));
}

TEST_F(Ring, StatusOnlyPacketsUpdateTheLinesAndAppendNothing) {
    d_->comm_wait_mask = EV_RXCHAR | EV_CTS;
    ASSERT_EQ(Receive({}, 0x11, 0x62), ParseResult::kDone);  // CTS, overrun
    EXPECT_EQ(d_->modem_status.load(), 0x10);
    EXPECT_EQ(d_->line_status.load(), 0x62);
    EXPECT_EQ(d_->comm_errors, 0u);  // line errors count only with payload
    EXPECT_EQ(d_->comm_events, static_cast<uint32_t>(EV_CTS));
    EXPECT_EQ(Waiting(), 0u);
}

TEST_F(Ring, NotificationRecordsOneBitUntilCollectedDataBeforeModemBeforeLineErrors) {
    EVENT_HANDLE handle;
    pthread_mutex_init(&handle.eMutex, nullptr);
    pthread_cond_init(&handle.eCondVar, nullptr);
    d_->notify_target = &handle;
    d_->notify_mask = FT_EVENT_RXCHAR | FT_EVENT_MODEM_STATUS | FT_EVENT_LINE_STATUS;
    d_->event_mode = 1;
    d_->comm_wait_mask = EV_RXCHAR | EV_CTS | EV_ERR;
    const auto collect = [&] {
        uint32_t bits = 0;
        EXPECT_EQ(FT_GetEventStatus(d_, &bits), FT_OK);
        return bits;
    };
    // Data, a CTS change and a parity error in one packet: only the data.
    ASSERT_EQ(Receive(Bytes(2, 0), 0x11, 0x64), ParseResult::kDone);
    EXPECT_EQ(collect(), static_cast<uint32_t>(FT_EVENT_RXCHAR));
    // Nothing else is recorded while a bit waits to be collected.
    ASSERT_EQ(Receive(Bytes(1, 0), 0x01, 0x68), ParseResult::kDone);
    ASSERT_EQ(Receive(Bytes(1, 0), 0x11, 0x60), ParseResult::kDone);
    EXPECT_EQ(collect(), static_cast<uint32_t>(FT_EVENT_RXCHAR));
    d_->notify_mask = FT_EVENT_MODEM_STATUS | FT_EVENT_LINE_STATUS;
    ASSERT_EQ(Receive(Bytes(1, 0), 0x01, 0x64), ParseResult::kDone);
    EXPECT_EQ(collect(), static_cast<uint32_t>(FT_EVENT_MODEM_STATUS));
    ASSERT_EQ(Receive(Bytes(1, 0), 0x01, 0x64), ParseResult::kDone);
    EXPECT_EQ(collect(), static_cast<uint32_t>(FT_EVENT_LINE_STATUS));
    EXPECT_EQ(collect(), 0u);
    // Comm events are not recorded while notification is armed.
    EXPECT_EQ(d_->comm_events, 0u);
    d_->notify_target = nullptr;
    pthread_cond_destroy(&handle.eCondVar);
    pthread_mutex_destroy(&handle.eMutex);
}

}  // namespace
