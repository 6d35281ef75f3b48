// Configuration calls on one handle from several threads at once: each call
// is served whole, so once they are done the record describes what the chip
// runs with, and nothing the calls share is touched by two of them at a time
// (the ThreadSanitizer build checks the latter).
#include <atomic>
#include <thread>
#include <vector>

#include "device_fixture.h"

namespace {

using ftdisim::ChipSpec;

constexpr int kRounds = 150;

class ConcurrentSettingsTest : public DeviceTest {};

TEST_F(ConcurrentSettingsTest, SettingsFromSeveralThreadsLeaveTheRecordAsTheChipRuns) {
    ftdisim::Chip &chip = Add(WithSerial(ChipSpec::FT232R(), "S1"));
    StartLibrary();
    FT_HANDLE h = Open("S1");
    ASSERT_NE(h, nullptr);

    std::atomic<bool> go{false};
    std::atomic<int> failures{0};
    auto check = [&failures](FT_STATUS s) {
        if (s != FT_OK) ++failures;
    };
    std::vector<std::thread> threads;
    // Two threads set opposite data characteristics, a third adds breaks on
    // top of whichever was set last.
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) {
                const bool seven = ((i + t) & 1) != 0;
                check(FT_SetDataCharacteristics(h, seven ? FT_BITS_7 : FT_BITS_8,
                                                seven ? FT_STOP_BITS_2 : FT_STOP_BITS_1,
                                                seven ? FT_PARITY_EVEN : FT_PARITY_NONE));
            }
        });
    }
    threads.emplace_back([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < kRounds; ++i) check((i & 1) ? FT_SetBreakOff(h) : FT_SetBreakOn(h));
        check(FT_SetBreakOff(h));
    });
    // Comm states, modem lines, flow control and the chip features at the
    // same time.
    threads.emplace_back([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < kRounds; ++i) {
            FTDCB dcb{};
            dcb.DCBlength = sizeof dcb;
            dcb.BaudRate = (i & 1) ? 19200 : 9600;
            dcb.ByteSize = (i & 1) ? FT_BITS_7 : FT_BITS_8;
            dcb.Parity = (i & 1) ? FT_PARITY_ODD : FT_PARITY_NONE;
            dcb.StopBits = FT_STOP_BITS_1;
            dcb.fRtsControl = (i & 2) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
            dcb.fDtrControl = (i & 2) ? DTR_CONTROL_DISABLE : DTR_CONTROL_ENABLE;
            if (FT_W32_SetCommState(h, &dcb) == 0) ++failures;
            FTDCB back{};
            if (FT_W32_GetCommState(h, &back) == 0) ++failures;
        }
    });
    threads.emplace_back([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < kRounds; ++i) {
            const auto c = static_cast<uint8_t>(i);
            check(FT_SetChars(h, c, i & 1, static_cast<uint8_t>(c + 1), (i >> 1) & 1));
            check((i & 1) ? FT_SetDtr(h) : FT_ClrDtr(h));
            check((i & 2) ? FT_SetRts(h) : FT_ClrRts(h));
            check(FT_SetFlowControl(h, (i & 1) ? FT_FLOW_XON_XOFF : FT_FLOW_NONE, 0x11, 0x13));
            check(FT_SetLatencyTimer(h, static_cast<uint8_t>(2 + i % 200)));
            check(FT_SetUSBParameters(h, 64u * (1 + i % 64), 4096));
            check(FT_SetDeadmanTimeout(h, 1000u + static_cast<uint32_t>(i)));
            check(FT_SetBitMode(h, c, 0));
        }
    });
    go = true;
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);

    // Every setting the record keeps is the one the chip received last.
    const ftdisim::InterfaceState state = chip.If(0).State();
    d2xx::DeviceExtension *record = Record(h);
    {
        d2xx::MutexLock lock(record->settings_mutex);
        EXPECT_EQ(record->line_characteristics[2], state.line.data_bits);
        EXPECT_EQ(record->line_characteristics[1], state.line.parity);
        EXPECT_EQ(record->line_characteristics[0], state.line.stop_bits);
        EXPECT_EQ(record->line_control_word & 0xFF, state.line.data_bits);
        EXPECT_EQ((record->modem_control & 1) != 0, state.dtr);
        EXPECT_EQ((record->modem_control & 2) != 0, state.rts);
        EXPECT_EQ(record->flow_settings.mode, state.flow_mode);
        EXPECT_EQ(record->error_char, state.error_char);
        EXPECT_EQ(record->bit_mode_settings[0], state.bit_mask);
    }
    EXPECT_EQ(record->event_char.load(), state.event_char);
    EXPECT_EQ(record->latency_ms.load(), state.latency_ms);
    EXPECT_FALSE(state.line.break_on);

    // A break goes out on the data characteristics the record holds.
    ASSERT_EQ(FT_SetBreakOn(h), FT_OK);
    const ftdisim::InterfaceState broken = chip.If(0).State();
    EXPECT_TRUE(broken.line.break_on);
    EXPECT_EQ(broken.line.data_bits, state.line.data_bits);
    EXPECT_EQ(broken.line.parity, state.line.parity);
    EXPECT_EQ(broken.line.stop_bits, state.line.stop_bits);
}

}  // namespace
