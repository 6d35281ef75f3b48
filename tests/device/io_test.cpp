// Reading and writing through the simulated chip: time-outs, partial reads,
// queue counts, a full receive ring, purges, both write routes, zero-length
// packets, concurrent writers, and unplugs in the middle of it all.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <thread>

#include "device_fixture.h"

using ftdisim::ChipSpec;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<uint8_t> Pattern(size_t n, unsigned seed = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + seed + i / 251) & 0xFF);
    return v;
}

// Runs a test from a directory holding the given ftd2xx.cfg (or none).
class ScopedConfig {
  public:
    explicit ScopedConfig(const std::string &text) {
        old_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() /
               ("ftd2xx-io-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
        std::filesystem::create_directories(dir_);
        if (!text.empty()) std::ofstream(dir_ / "ftd2xx.cfg") << text;
        std::filesystem::current_path(dir_);
    }
    ~ScopedConfig() {
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
    }

  private:
    static inline int counter_ = 0;
    std::filesystem::path old_, dir_;
};

using Io = DeviceTest;

TEST_F(Io, ReadWaitsForTheWholeCountOrForItsTimeOut) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTREAD01"));
    StartLibrary();
    FT_HANDLE h = Open("FTREAD01");
    ASSERT_NE(h, nullptr);
    uint8_t buf[16] = {};
    uint32_t n = 99;
    EXPECT_EQ(FT_Read(h, buf, 0, &n), FT_OK);  // nothing asked, nothing waited for
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(FT_Read(h, nullptr, 1, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_Read(h, buf, 1, nullptr), FT_INVALID_PARAMETER);

    chip.If(0).InjectRx("abc");
    ASSERT_EQ(FT_SetTimeouts(h, 300, 0), FT_OK);
    const auto t0 = Clock::now();
    ASSERT_EQ(FT_Read(h, buf, 5, &n), FT_OK);
    EXPECT_GE(Clock::now() - t0, 300ms);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), n), "abc");

    // Without a time-out the read waits until the count is there.
    ASSERT_EQ(FT_SetTimeouts(h, 0, 0), FT_OK);
    std::thread late([&] {
        std::this_thread::sleep_for(100ms);
        chip.If(0).InjectRx("defgh");
    });
    ASSERT_EQ(FT_Read(h, buf, 5, &n), FT_OK);
    late.join();
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), n), "defgh");
}

TEST_F(Io, QueueCountsAreCappedOnlyByTheClassicCall) {
    auto &chip = Add(WithSerial(ChipSpec::FT232H(), "FTQUEUE1"));
    StartLibrary();
    FT_HANDLE h = Open("FTQUEUE1");
    ASSERT_NE(h, nullptr);
    const auto data = Pattern(70000);
    chip.If(0).InjectRx(data);
    uint32_t ex = 0;
    ASSERT_TRUE(Eventually([&] { return FT_GetQueueStatusEx(h, &ex) == FT_OK && ex == 70000; }));
    uint32_t capped = 0;
    ASSERT_EQ(FT_GetQueueStatus(h, &capped), FT_OK);
    EXPECT_EQ(capped, 65536u);
    uint32_t rx = 0, tx = 7, events = 9;
    ASSERT_EQ(FT_GetStatus(h, &rx, &tx, &events), FT_OK);
    EXPECT_EQ(rx, 65536u);
    EXPECT_EQ(tx, 0u);
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_GetQueueStatus(h, nullptr), FT_INVALID_PARAMETER);

    std::vector<uint8_t> got(70000);
    uint32_t n = 0;
    ASSERT_EQ(FT_Read(h, got.data(), 70000, &n), FT_OK);
    EXPECT_EQ(n, 70000u);
    EXPECT_EQ(got, data);
    EXPECT_EQ(FT_StopInTask(h), FT_OK);  // recorded only: reception goes on
    chip.If(0).InjectRx("more");
    ASSERT_TRUE(Eventually([&] { return FT_GetQueueStatus(h, &n) == FT_OK && n == 4; }));
    EXPECT_EQ(FT_RestartInTask(h), FT_OK);
}

TEST_F(Io, FullRingPausesReceptionInsteadOfDroppingBytes) {
    auto &chip = Add(WithSerial(ChipSpec::FT232H(), "FTFULL01"));
    StartLibrary();
    FT_HANDLE h = Open("FTFULL01");
    ASSERT_NE(h, nullptr);
    // More than the 256 KiB ring holds, sent while nobody reads.
    const auto data = Pattern(300000, 3);
    chip.If(0).InjectRx(data);
    uint32_t waiting = 0;
    ASSERT_TRUE(Eventually(
        [&] { return FT_GetQueueStatusEx(h, &waiting) == FT_OK && waiting > 262144 - 600; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_LE(waiting, d2xx::kRxCapacity);
    EXPECT_GT(chip.If(0).RxPending(), 0u);  // the rest waits in the chip
    // A read larger than the ring could only end by its time-out: read in
    // pieces, as an application would.
    std::vector<uint8_t> got;
    ASSERT_EQ(FT_SetTimeouts(h, 5000, 0), FT_OK);
    while (got.size() < data.size()) {
        uint8_t piece[65536];
        const auto want = static_cast<uint32_t>(std::min(sizeof piece, data.size() - got.size()));
        uint32_t n = 0;
        ASSERT_EQ(FT_Read(h, piece, want, &n), FT_OK);
        ASSERT_EQ(n, want);
        got.insert(got.end(), piece, piece + n);
    }
    EXPECT_EQ(got, data);
}

TEST_F(Io, PurgeDropsWhatWasReceivedAndKeepsWhatComesAfter) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTPURGE1"));
    StartLibrary();
    FT_HANDLE h = Open("FTPURGE1");
    ASSERT_NE(h, nullptr);
    chip.If(0).InjectRx("stale");
    uint32_t n = 0;
    ASSERT_TRUE(Eventually([&] { return FT_GetQueueStatus(h, &n) == FT_OK && n == 5; }));
    ASSERT_EQ(FT_Purge(h, FT_PURGE_RX), FT_OK);
    EXPECT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 0u);
    // Whatever arrives after the purge is kept, whichever transfer slot
    // carries it.
    ASSERT_EQ(FT_SetTimeouts(h, 3000, 0), FT_OK);
    for (int round = 0; round < 20; ++round) {
        const std::string word = "fresh" + std::to_string(round);
        chip.If(0).InjectRx(word);
        char buf[16] = {};
        ASSERT_EQ(FT_Read(h, buf, static_cast<uint32_t>(word.size()), &n), FT_OK);
        ASSERT_EQ(std::string(buf, n), word) << "round " << round;
        if (round % 4 == 3) {
            chip.If(0).InjectRx("stale again");
            ASSERT_TRUE(Eventually([&] { return FT_GetQueueStatus(h, &n) == FT_OK && n == 11; }));
            ASSERT_EQ(FT_Purge(h, FT_PURGE_RX), FT_OK);
        }
    }
}

TEST_F(Io, PurgeWhileTheRingIsFullDropsEveryTransferThatCameBeforeIt) {
    auto &chip = Add(WithSerial(ChipSpec::FT232H(), "FTPURGE2"));
    StartLibrary();
    FT_HANDLE h = Open("FTPURGE2");
    ASSERT_NE(h, nullptr);
    chip.If(0).InjectRx(Pattern(300000));
    uint32_t n = 0;
    // The ring fills, the processor holds one transfer, the others wait.
    ASSERT_TRUE(Eventually([&] { return FT_GetQueueStatusEx(h, &n) == FT_OK && n > 250000; }));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(FT_Purge(h, FT_PURGE_RX), FT_OK);
    EXPECT_EQ(chip.If(0).RxPending(), 0u);  // the chip's FIFO was purged too
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(FT_GetQueueStatusEx(h, &n), FT_OK);
    EXPECT_EQ(n, 0u);  // nothing received before the purge came through
    chip.If(0).InjectRx("after");
    char buf[8] = {};
    ASSERT_EQ(FT_SetTimeouts(h, 3000, 0), FT_OK);
    ASSERT_EQ(FT_Read(h, buf, 5, &n), FT_OK);
    EXPECT_EQ(std::string(buf, n), "after");
}

TEST_F(Io, WritesGoOutWholeOnTheDirectRouteWithZeroLengthEnds) {
    ScopedConfig no_file("");
    auto &ft4222 = Add(WithSerial(ChipSpec::FT4222H_3(), "FTZLP001"));
    auto &plain = Add(WithSerial(ChipSpec::FT232R(), "FTPLAIN1"));
    StartLibrary();
    FT_HANDLE z = Open("FTZLP001");
    FT_HANDLE p = Open("FTPLAIN1");
    ASSERT_TRUE(z && p);
    EXPECT_EQ(Record(z)->write_routine, &d2xx::FT_WriteSingleThread);
    EXPECT_EQ(Record(z)->zlp_packet_size, 512);

    uint32_t n = 77;
    EXPECT_EQ(FT_Write(z, nullptr, 5, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_Write(z, "x", 1, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(n, 77u);
    ASSERT_EQ(FT_Write(z, nullptr, 0, &n), FT_OK);  // one zero-length packet
    EXPECT_EQ(n, 0u);
    const auto block = Pattern(1024);
    ASSERT_EQ(FT_Write(z, block.data(), 1024, &n), FT_OK);  // a multiple of 512: ZLP after
    EXPECT_EQ(n, 1024u);
    ASSERT_EQ(FT_Write(z, block.data(), 100, &n), FT_OK);
    auto out = ft4222.If(0).OutTransfers();
    ASSERT_EQ(out.size(), 4u);
    EXPECT_TRUE(out[0].data.empty());
    EXPECT_EQ(out[1].data, block);
    EXPECT_TRUE(out[2].data.empty());
    EXPECT_EQ(out[3].data.size(), 100u);

    ASSERT_EQ(FT_Write(p, block.data(), 128, &n), FT_OK);  // no ZLP on this chip
    EXPECT_EQ(plain.If(0).OutTransfers().size(), 1u);
}

TEST_F(Io, ConfigFileSendsWritesThroughTheWriterThread) {
    ScopedConfig file("[Globals]\nConfigFlags=0x40000000\n");
    auto &chip = Add(WithSerial(ChipSpec::FT4222H_3(), "FTWRITER"));
    StartLibrary();
    FT_HANDLE h = Open("FTWRITER");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Record(h)->write_routine, &d2xx::FT_WriteMultiThread);
    uint32_t n = 0;
    ASSERT_EQ(FT_Write(h, nullptr, 0, &n), FT_OK);  // nothing on the bus
    const auto block = Pattern(512, 9);
    ASSERT_EQ(FT_Write(h, block.data(), 512, &n), FT_OK);
    EXPECT_EQ(n, 512u);
    auto out = chip.If(0).OutTransfers();
    ASSERT_EQ(out.size(), 1u);  // neither the empty write nor the ZLP go out
    EXPECT_EQ(out[0].data, block);
}

TEST_F(Io, TwoThreadsWritingAreServedOneWholeWriteAtATime) {
    ScopedConfig no_file("");
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTCONCUR"));
    StartLibrary();
    FT_HANDLE h = Open("FTCONCUR");
    ASSERT_NE(h, nullptr);
    std::atomic<int> failures{0};
    auto writer = [&](uint8_t tag) {
        std::vector<uint8_t> frame(300, tag);
        for (int i = 0; i < 20; ++i) {
            uint32_t n = 0;
            if (FT_Write(h, frame.data(), 300, &n) != FT_OK || n != 300) ++failures;
        }
    };
    std::thread a(writer, 0xAA), b(writer, 0xBB);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    const auto out = chip.If(0).OutTransfers();
    ASSERT_EQ(out.size(), 40u);
    for (const auto &t : out) {
        ASSERT_EQ(t.data.size(), 300u);
        EXPECT_TRUE(
            std::all_of(t.data.begin(), t.data.end(), [&](uint8_t c) { return c == t.data[0]; }));
    }
}

TEST_F(Io, WriteTimeOutReturnsWhatWentOut) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTSTUCK1"));
    StartLibrary();
    FT_HANDLE h = Open("FTSTUCK1");
    ASSERT_NE(h, nullptr);
    chip.If(0).HoldOut(true);
    ASSERT_EQ(FT_SetTimeouts(h, 0, 200), FT_OK);
    uint32_t n = 99;
    const auto t0 = Clock::now();
    EXPECT_EQ(FT_Write(h, "hello", 5, &n), FT_OK);
    EXPECT_GE(Clock::now() - t0, 200ms);
    EXPECT_EQ(n, 0u);
    chip.If(0).HoldOut(false);
}

TEST_F(Io, UnplugTurnsDataCallsIntoIoErrorsAndTheHandleStillCloses) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTUNPLUG"));
    StartLibrary();
    FT_HANDLE h = Open("FTUNPLUG");
    ASSERT_NE(h, nullptr);
    chip.If(0).InjectRx("ab");
    uint32_t n = 0;
    ASSERT_TRUE(Eventually([&] { return FT_GetQueueStatus(h, &n) == FT_OK && n == 2; }));

    FT_STATUS blocked_status = FT_OK;
    std::thread reader([&] {
        uint8_t buf[10];
        uint32_t got = 0;
        blocked_status = FT_Read(h, buf, 10, &got);  // no time-out: waits for 10
    });
    std::this_thread::sleep_for(100ms);
    bed_->Unplug(chip);
    reader.join();                                     // the unplug must wake it
    EXPECT_EQ(blocked_status, FT_OK);                  // handed the two bytes over
    EXPECT_EQ(FT_GetQueueStatus(h, &n), FT_IO_ERROR);  // nothing left
    EXPECT_EQ(n, 0u);
    uint32_t rx, tx, ev;
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &ev), FT_IO_ERROR);
    EXPECT_EQ(FT_Write(h, "x", 1, &n), FT_IO_ERROR);
    EXPECT_EQ(FT_Close(h), FT_OK);
    EXPECT_EQ(OpenUsbFiles(), 0);
}

TEST_F(Io, UnplugDuringAWriteEndsIt) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTUNPLG2"));
    StartLibrary();
    FT_HANDLE h = Open("FTUNPLG2");
    ASSERT_NE(h, nullptr);
    chip.If(0).HoldOut(true);
    FT_STATUS status = FT_OK;
    std::thread writer([&] {
        uint32_t n = 0;
        status = FT_Write(h, "stuck", 5, &n);  // no write time-out
    });
    std::this_thread::sleep_for(100ms);
    bed_->Unplug(chip);
    writer.join();
    EXPECT_EQ(status, FT_IO_ERROR);
    EXPECT_EQ(FT_Close(h), FT_OK);
}

TEST_F(Io, CloseIsPromptAndAHandleReadingInAnotherThreadIsReleased) {
    Add(WithSerial(ChipSpec::FT232R(), "FTPROMPT"));
    StartLibrary();
    FT_HANDLE h = nullptr;
    ASSERT_EQ(FT_OpenEx(const_cast<char *>("FTPROMPT"), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK);
    FT_STATUS status = FT_OK;
    std::thread reader([&] {
        uint8_t b[4];
        uint32_t n = 0;
        status = FT_Read(h, b, 4, &n);
    });
    std::this_thread::sleep_for(50ms);
    const auto t0 = Clock::now();
    EXPECT_EQ(FT_Close(h), FT_OK);
    reader.join();
    EXPECT_EQ(status, FT_IO_ERROR);
    EXPECT_LT(Clock::now() - t0, 2s);  // no waiting out the threads' slot time-outs
}

}  // namespace
