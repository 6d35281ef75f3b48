// Reading and writing through the simulated chip: time-outs, partial reads,
// queue counts, a full receive ring, purges, both write routes, zero-length
// packets, concurrent writers, and unplugs and closes in the middle of it all.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "device_fixture.h"

using ftdisim::ChipSpec;

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
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return FT_GetQueueStatus(h, &n) == FT_OK && n == 3; }));
    ASSERT_EQ(FT_SetTimeouts(h, 300, 0), FT_OK);
    ASSERT_EQ(FT_Read(h, buf, 5, &n), FT_OK);  // the time-out hands over what is there
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), n), "abc");

    // Without a time-out the read waits until the count is there.
    ASSERT_EQ(FT_SetTimeouts(h, 0, 0), FT_OK);
    std::thread reader([&] { EXPECT_EQ(FT_Read(h, buf, 5, &n), FT_OK); });
    chip.If(0).InjectRx("de");
    chip.If(0).InjectRx("fgh");
    reader.join();
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
    ASSERT_TRUE(
        ftdisim::WaitUntil([&] { return FT_GetQueueStatusEx(h, &ex) == FT_OK && ex == 70000; }));
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
    ASSERT_TRUE(ftdisim::WaitUntil(
        [&] { return FT_GetQueueStatusEx(h, &waiting) == FT_OK && waiting > 262144 - 600; }));
    EXPECT_GT(chip.If(0).RxPending(), 0u);  // the rest waits in the chip
    // Read in pieces, as an application would; the pieces cross the end of
    // the ring.
    std::vector<uint8_t> got;
    ASSERT_EQ(FT_SetTimeouts(h, devtest::kPatienceMs, 0), FT_OK);
    while (got.size() < data.size()) {
        std::vector<uint8_t> piece(std::min<size_t>(65521, data.size() - got.size()));
        uint32_t n = 0;
        ASSERT_EQ(FT_Read(h, piece.data(), static_cast<uint32_t>(piece.size()), &n), FT_OK);
        ASSERT_EQ(n, piece.size());
        got.insert(got.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(got, data);
}

TEST_F(Io, PurgeDropsWhatWasReceivedAndKeepsWhatComesAfter) {
    auto &chip = Add(WithSerial(ChipSpec::FT232H(), "FTPURGE1"));
    StartLibrary();
    FT_HANDLE h = Open("FTPURGE1");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(FT_SetTimeouts(h, devtest::kPatienceMs, 0), FT_OK);
    uint32_t n = 0;
    // Once with a few bytes, once with the ring full and transfers held
    // back: whatever came before the purge never shows after it, whichever
    // transfer slot carries the next bytes.
    for (const size_t stale : {5, 5, 11, 300000}) {
        SCOPED_TRACE(stale);
        chip.If(0).InjectRx(Pattern(stale));
        const uint32_t seen = static_cast<uint32_t>(std::min<size_t>(stale, 250000));
        ASSERT_TRUE(
            ftdisim::WaitUntil([&] { return FT_GetQueueStatusEx(h, &n) == FT_OK && n >= seen; }));
        ASSERT_EQ(FT_Purge(h, FT_PURGE_RX), FT_OK);
        EXPECT_EQ(chip.If(0).RxPending(), 0u);  // the chip's FIFO was purged too
        EXPECT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
        EXPECT_EQ(n, 0u);
        for (int round = 0; round < 6; ++round) {
            const std::string word = "fresh" + std::to_string(round);
            chip.If(0).InjectRx(word);
            char buf[16] = {};
            ASSERT_EQ(FT_Read(h, buf, static_cast<uint32_t>(word.size()), &n), FT_OK);
            ASSERT_EQ(std::string(buf, n), word) << "round " << round;
        }
    }
}

TEST_F(Io, AStalledInEndpointIsClearedAndNothingIsLost) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTSTALL1"));
    StartLibrary();
    FT_HANDLE h = Open("FTSTALL1");
    ASSERT_NE(h, nullptr);
    chip.If(0).StallInOnce();
    chip.If(0).InjectRx("kept");
    ASSERT_EQ(FT_SetTimeouts(h, devtest::kPatienceMs, 0), FT_OK);
    char buf[8] = {};
    uint32_t n = 0;
    ASSERT_EQ(FT_Read(h, buf, 4, &n), FT_OK);
    EXPECT_EQ(std::string(buf, n), "kept");
}

TEST_F(Io, ZeroLengthPacketEndsEveryWriteOfWholePacketsOnChipsThatNeedIt) {
    ScopedConfig no_file("");
    auto &ft4222 = Add(WithSerial(ChipSpec::FT4222H_3(), "FTZLP001"));
    auto &plain = Add(WithSerial(ChipSpec::FT232R(), "FTPLAIN1"));
    StartLibrary();
    FT_HANDLE z = Open("FTZLP001");
    FT_HANDLE p = Open("FTPLAIN1");
    ASSERT_TRUE(z && p);

    uint32_t n = 77;
    EXPECT_EQ(FT_Write(z, nullptr, 5, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_Write(z, "x", 1, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(n, 77u);
    const auto block = Pattern(1536);
    // Sizes around one, two and three 512-byte packets; a zero-length write
    // is itself one zero-length packet.
    struct Case {
        uint32_t size;
        bool zlp;
    };
    const Case cases[] = {{0, false},    {511, false}, {512, true},   {513, false},
                          {1023, false}, {1024, true}, {1025, false}, {1536, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        ft4222.If(0).ClearOut();
        plain.If(0).ClearOut();
        ASSERT_EQ(FT_Write(z, c.size ? block.data() : nullptr, c.size, &n), FT_OK);
        EXPECT_EQ(n, c.size);
        const auto out = ft4222.If(0).OutTransfers();
        ASSERT_EQ(out.size(), c.zlp ? 2u : 1u);
        EXPECT_EQ(out[0].data, std::vector<uint8_t>(block.begin(), block.begin() + c.size));
        if (c.zlp) {
            EXPECT_TRUE(out[1].data.empty());
        }
        // A chip that does not need it never gets one.
        if (c.size != 0) {
            ASSERT_EQ(FT_Write(p, block.data(), c.size, &n), FT_OK);
            EXPECT_EQ(plain.If(0).OutTransfers().size(), 1u);
        }
    }
}

TEST_F(Io, ConfigFileSendsWritesThroughTheWriterThread) {
    ScopedConfig file("[Globals]\nConfigFlags=0x40000000\n");
    auto &chip = Add(WithSerial(ChipSpec::FT4222H_3(), "FTWRITER"));
    StartLibrary();
    FT_HANDLE h = Open("FTWRITER");
    ASSERT_NE(h, nullptr);
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
    ftdisim::Chip *chips[] = {&Add(WithSerial(ChipSpec::FT232R(), "FTCONC01")),
                              &Add(WithSerial(ChipSpec::FT232R(), "FTCONC02"))};
    StartLibrary();
    // The direct route, then the writer thread.
    const char *configs[] = {"", "[Globals]\nConfigFlags=0x40000000\n"};
    for (int route = 0; route < 2; ++route) {
        ScopedConfig file(configs[route]);
        FT_HANDLE h = Open(route == 0 ? "FTCONC01" : "FTCONC02");
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
        const auto out = chips[route]->If(0).OutTransfers();
        ASSERT_EQ(out.size(), 40u);
        for (const auto &t : out) {
            ASSERT_EQ(t.data.size(), 300u);
            EXPECT_TRUE(std::all_of(t.data.begin(), t.data.end(),
                                    [&](uint8_t c) { return c == t.data[0]; }));
        }
    }
}

TEST_F(Io, UnplugOrCloseReleasesBlockedCallsAndTheHandleStillCloses) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTUNPLUG"));
    Add(WithSerial(ChipSpec::FT232R(), "FTCLOSE1"));
    StartLibrary();
    FT_HANDLE h = Open("FTUNPLUG");
    ASSERT_NE(h, nullptr);
    chip.If(0).InjectRx("ab");
    uint32_t n = 0;
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return FT_GetQueueStatus(h, &n) == FT_OK && n == 2; }));
    chip.If(0).HoldOut(true);

    // A read that waits for more than is there and a write the chip does not
    // take; the unplug must end both, whether they are already waiting or not.
    FT_STATUS read_status = FT_OK, write_status = FT_OK;
    std::thread reader([&] {
        uint8_t buf[10];
        uint32_t got = 0;
        read_status = FT_Read(h, buf, 10, &got);  // no time-out
    });
    std::thread writer([&] {
        uint32_t sent = 0;
        write_status = FT_Write(h, "stuck", 5, &sent);  // no time-out
    });
    bed_->Unplug(chip);
    reader.join();
    writer.join();
    EXPECT_EQ(read_status, FT_OK);  // handed the two bytes over
    EXPECT_EQ(write_status, FT_IO_ERROR);
    EXPECT_EQ(FT_Close(h), FT_OK);

    // A close from another thread ends a read in the same way.
    FT_HANDLE c = nullptr;
    ASSERT_EQ(FT_OpenEx(const_cast<char *>("FTCLOSE1"), FT_OPEN_BY_SERIAL_NUMBER, &c), FT_OK);
    FT_STATUS status = FT_OK;
    std::thread blocked([&] {
        uint8_t b[4];
        uint32_t got = 0;
        status = FT_Read(c, b, 4, &got);
    });
    EXPECT_EQ(FT_Close(c), FT_OK);
    blocked.join();
    EXPECT_TRUE(status == FT_IO_ERROR || status == FT_INVALID_HANDLE) << status;
    EXPECT_EQ(OpenUsbFiles(), 0);
}

}  // namespace
