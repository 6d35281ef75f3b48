// The receive ring between the processor thread (ProcessBulkInData) and the
// application (FT_Read), on a registered record with a small ring, so that
// every read and write crosses the end of the storage. The ring's storage is
// allocated at its exact size: an index that runs past the end is an
// AddressSanitizer report, and a wrong one shows as bytes out of order.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
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

// True while thread `tid` of this process sleeps in a futex wait.
bool InFutexWait(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return (in >> number) && number == SYS_futex;
}

TEST_F(Ring, ReadersWaitingForDifferentCountsEachWakeOnceTheirCountIsThere) {
    // The parser wakes readers only once the smallest count one of them
    // waits for is there: a reader waiting for little must not be held back
    // by one that came later waiting for more, nor the other way round.
    for (const bool small_first : {true, false}) {
        SCOPED_TRACE(small_first ? "small first" : "large first");
        std::vector<uint8_t> small, large;
        std::atomic<pid_t> tid{0};
        std::atomic<int> done{0};
        auto reader = [&](uint32_t n, std::vector<uint8_t> *out) {
            return std::thread([this, n, out, &tid, &done] {
                tid = static_cast<pid_t>(syscall(SYS_gettid));
                *out = Read(n);
                ++done;
            });
        };
        auto wanted = [&] {
            std::scoped_lock lock(d_->rx_mutex);
            return d_->rx_wanted;
        };
        // Each reader is asleep in its wait before the next starts: what it
        // asked for is recorded under the lock it lets go by waiting.
        std::thread first = small_first ? reader(4, &small) : reader(12, &large);
        while (wanted() != (small_first ? 4u : 12u)) std::this_thread::yield();
        tid = 0;
        std::thread second = small_first ? reader(12, &large) : reader(4, &small);
        if (small_first) {
            // Asking for more changes nothing that can be seen, but the
            // reader sleeps only in that wait: nobody else holds the lock.
            while (!(tid != 0 && InFutexWait(tid))) std::this_thread::yield();
        } else {
            while (wanted() != 4) std::this_thread::yield();
        }
        // 6 bytes: enough for the small read only. The large one then
        // needs the 2 left over and 10 more.
        ASSERT_EQ(Receive(Bytes(6, 1)), ParseResult::kDone);
        while (done == 0) std::this_thread::yield();
        ASSERT_EQ(Receive(Bytes(10, 7)), ParseResult::kDone);
        first.join();
        second.join();
        EXPECT_EQ(small, Bytes(4, 1));
        EXPECT_EQ(large, Bytes(12, 5));
        EXPECT_EQ(Waiting(), 0u);
        EXPECT_EQ(wanted(), d2xx::kNoneWanted);
    }
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
