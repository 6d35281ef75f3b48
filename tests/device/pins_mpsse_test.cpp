// Programs that drive the chip's MPSSE, as JTAG and SPI tools do, through
// the published calls alone: set the bit mode, write commands with FT_Write
// and read the answers with FT_Read, against a simulated JTAG chain and SPI
// flash wired to the pins.
#include <numeric>
#include <string>
#include <vector>

#include "device_fixture.h"

namespace {

using ftdisim::Chip;
using ftdisim::ChipSpec;
using ftdisim::JtagChain;
using ftdisim::SpiFlash;
using ftdisim::TapState;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kCortexDap = 0x4BA00477;
constexpr uint32_t kBoundaryScan = 0x06413041;

class MpsseTest : public DeviceTest {
  protected:
    // Opens the device and brings its MPSSE up as JTAG tools do: reset the
    // mode, select MPSSE, then synchronise on the answer to a bad command.
    FT_HANDLE OpenMpsse(const char *name) {
        FT_HANDLE h = Open(name);
        if (h == nullptr) return nullptr;
        EXPECT_EQ(FT_ResetDevice(h), FT_OK);
        EXPECT_EQ(FT_SetUSBParameters(h, 65536, 65536), FT_OK);
        EXPECT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
        EXPECT_EQ(FT_SetTimeouts(h, 5000, 5000), FT_OK);
        EXPECT_EQ(FT_SetBitMode(h, 0x00, 0x00), FT_OK);
        EXPECT_EQ(FT_SetBitMode(h, 0x0B, 0x02), FT_OK);
        WriteAll(h, {0xAA});
        EXPECT_EQ(ReadSome(h, 2), (Bytes{0xFA, 0xAA}));
        return h;
    }

    static uint32_t Word(const Bytes &b, size_t at) {
        return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
    }

    // TCK low, TDI low, TMS high; TCK, TDI and TMS driven.
    static Bytes JtagPins() { return {0x80, 0x08, 0x0B, 0x85}; }
    // Test-Logic-Reset by six TMS highs, then Run-Test/Idle, Select-DR,
    // Capture-DR, Shift-DR.
    static Bytes ResetToShiftDr() { return {0x4B, 0x05, 0x3F, 0x4B, 0x03, 0x02}; }

    // Devices outlive the chips they are wired to (the fixture's testbed is
    // gone before its members).
    JtagChain chain_{{{kCortexDap, 4, {}}, {kBoundaryScan, 5, {}}}};
    SpiFlash flash_{0xEF4018};
};

struct Board {
    const char *family;
    int interface;
    const char *open_as;
};

void PrintTo(const Board &b, std::ostream *os) {
    *os << b.family << " interface " << b.interface;
}

class IdcodeScanTest : public MpsseTest, public ::testing::WithParamInterface<Board> {};

TEST_P(IdcodeScanTest, FindsBothTapsOfTheChainThenTheEndOfIt) {
    const Board &b = GetParam();
    Chip &chip = Add(WithSerial(*ChipSpec::ByName(b.family), "JT1"));
    chip.If(b.interface).AttachPins(&chain_);
    StartLibrary();
    FT_HANDLE h = OpenMpsse(b.open_as);
    ASSERT_NE(h, nullptr);

    // 60 MHz master clock, no adaptive or 3-phase clocking, divisor 5.
    Bytes cmd = {0x8A, 0x97, 0x8D, 0x86, 0x05, 0x00};
    for (Bytes part : {JtagPins(), ResetToShiftDr()})
        cmd.insert(cmd.end(), part.begin(), part.end());
    // Twelve bytes in and out, TDI high, LSB first, out on -ve, in on +ve.
    cmd.insert(cmd.end(), {0x39, 0x0B, 0x00});
    cmd.insert(cmd.end(), 12, 0xFF);
    cmd.push_back(0x87);
    WriteAll(h, cmd);
    const Bytes in = ReadSome(h, 12);
    ASSERT_EQ(in.size(), 12u);
    EXPECT_EQ(Word(in, 0), kCortexDap);
    EXPECT_EQ(Word(in, 4), kBoundaryScan);
    EXPECT_EQ(Word(in, 8), 0xFFFFFFFFu) << "the ones shifted in come out after the chain";
    EXPECT_EQ(chain_.State(), TapState::ShiftDr);
    EXPECT_EQ(chip.If(b.interface).State().mpsse_clock_hz, 5'000'000u);

    // Exit1-DR, Update-DR, Run-Test/Idle.
    WriteAll(h, {0x4B, 0x02, 0x03});
    EXPECT_EQ(FT_GetQueueStatus(h, nullptr), FT_INVALID_PARAMETER);
    DWORD queued = 1;
    EXPECT_EQ(FT_GetQueueStatus(h, &queued), FT_OK);
    EXPECT_EQ(queued, 0u);
    EXPECT_EQ(chain_.State(), TapState::RunTestIdle);
}

INSTANTIATE_TEST_SUITE_P(HighSpeedChips, IdcodeScanTest,
                         ::testing::Values(Board{"FT2232H", 0, "JT1A"}, Board{"FT2232H", 1, "JT1B"},
                                           Board{"FT232H", 0, "JT1"}));

TEST_F(MpsseTest, IrScanCapturesEachIrLengthAndBypassHoldsOneBitPerTap) {
    Chip &chip = Add(WithSerial(ChipSpec::FT2232H(), "JT2"));
    chip.If(0).AttachPins(&chain_);
    StartLibrary();
    FT_HANDLE h = OpenMpsse("JT2A");
    ASSERT_NE(h, nullptr);

    Bytes cmd = JtagPins();
    // Reset, then Run-Test/Idle, Select-DR, Select-IR, Capture-IR, Shift-IR.
    cmd.insert(cmd.end(), {0x4B, 0x05, 0x3F, 0x4B, 0x04, 0x06});
    // Sixteen ones in, the captured IRs out: 0001 (4 bits), 00001 (5 bits).
    cmd.insert(cmd.end(), {0x39, 0x01, 0x00, 0xFF, 0xFF});
    // Exit1-IR and Update-IR with TDI high, then Select-DR to Shift-DR.
    cmd.insert(cmd.end(), {0x4B, 0x01, 0x83, 0x4B, 0x02, 0x01});
    // Both TAPs in BYPASS: two zeros, then the ones from TDI.
    cmd.insert(cmd.end(), {0x39, 0x00, 0x00, 0xFF, 0x87});
    WriteAll(h, cmd);
    EXPECT_EQ(ReadSome(h, 3), (Bytes{0x11, 0xFE, 0xFC}));
    EXPECT_EQ(chain_.Instruction(0), 0xFu);
    EXPECT_EQ(chain_.Instruction(1), 0x1Fu);

    // Back to Test-Logic-Reset: IDCODE selected again.
    WriteAll(h, {0x4B, 0x04, 0x1F});
    EXPECT_EQ(chain_.State(), TapState::TestLogicReset);
    EXPECT_EQ(chain_.Instruction(0), 0xEu);
    EXPECT_EQ(chain_.Instruction(1), 0x1Eu);
}

TEST_F(MpsseTest, OlderDualChipRejectsTheHighSpeedClockCommandsAndStillScans) {
    Chip &chip = Add(WithSerial(ChipSpec::FT2232C(), "JT3"));
    chip.If(0).AttachPins(&chain_);
    StartLibrary();
    FT_HANDLE h = OpenMpsse("JT3A");
    ASSERT_NE(h, nullptr);

    WriteAll(h, {0x8A, 0x97, 0x8D, 0x86, 0x02, 0x00, 0x87});
    EXPECT_EQ(ReadSome(h, 6), (Bytes{0xFA, 0x8A, 0xFA, 0x97, 0xFA, 0x8D}));
    EXPECT_EQ(chip.If(0).State().mpsse_clock_hz, 2'000'000u);  // 12 MHz / ((1 + 2) * 2)

    Bytes cmd = JtagPins();
    for (uint8_t v : ResetToShiftDr()) cmd.push_back(v);
    cmd.insert(cmd.end(), {0x39, 0x07, 0x00});
    cmd.insert(cmd.end(), 8, 0xFF);
    WriteAll(h, cmd);
    const Bytes in = ReadSome(h, 8);
    ASSERT_EQ(in.size(), 8u);
    EXPECT_EQ(Word(in, 0), kCortexDap);
    EXPECT_EQ(Word(in, 4), kBoundaryScan);
}

TEST_F(MpsseTest, BadCommandsAreEchoedAndTheCommandsAfterThemStillRun) {
    Chip &chip = Add(WithSerial(ChipSpec::FT232H(), "BC1"));
    chip.If(0).SetPins(0xA5);
    StartLibrary();
    FT_HANDLE h = OpenMpsse("BC1");
    ASSERT_NE(h, nullptr);

    // The mask of the set-bit-mode request drove pins 0, 1 and 3 low.
    WriteAll(h, {0xAB, 0x81, 0x00, 0x80, 0x0F, 0x0F, 0x81, 0x87});
    EXPECT_EQ(ReadSome(h, 6), (Bytes{0xFA, 0xAB, 0xA4, 0xFA, 0x00, 0xAF}));
    uint8_t pins = 0;
    EXPECT_EQ(FT_GetBitMode(h, &pins), FT_OK);
    EXPECT_EQ(pins, 0xAF);

    // The high byte: value and direction, outside levels on the rest.
    chip.If(0).SetHighPins(0xF0);
    WriteAll(h, {0x82, 0x5A, 0x0F, 0x83});
    EXPECT_EQ(ReadSome(h, 1), (Bytes{0xFA}));
}

TEST_F(MpsseTest, BitAndTmsCommandsShiftInTheChipsOrder) {
    Add(WithSerial(ChipSpec::FT2232H(), "BT1"));
    StartLibrary();
    FT_HANDLE h = OpenMpsse("BT1A");
    ASSERT_NE(h, nullptr);

    WriteAll(h, {0x80, 0x00, 0x0B, 0x84,        // loopback: TDI comes back as TDO
                 0x3B, 0x04, 0x15,              // 5 bits LSB first: arrive at the top
                 0x33, 0x02, 0xA0,              // 3 bits MSB first (101): arrive at the bottom
                 0x31, 0x01, 0x00, 0x12, 0x34,  // 2 bytes MSB first
                 0x39, 0x00, 0x00, 0x5C,        // 1 byte LSB first
                 0x6B, 0x02, 0x83,              // 3 TMS bits, TDI held high: read back ones
                 0x6B, 0x02, 0x03,              // and low: zeros
                 0x85, 0x87});
    EXPECT_EQ(ReadSome(h, 7), (Bytes{0xA8, 0x05, 0x12, 0x34, 0x5C, 0xE0, 0x00}));
}

TEST_F(MpsseTest, WaitOnGpioL1HoldsTheCommandsUntilThePinChanges) {
    Chip &chip = Add(WithSerial(ChipSpec::FT232H(), "WT1"));
    chip.If(0).SetPins(0xDF);  // GPIOL1 low
    StartLibrary();
    FT_HANDLE h = OpenMpsse("WT1");
    ASSERT_NE(h, nullptr);

    chip.If(0).HoldIn(true);  // answers stay in the chip's FIFO, where they can be seen
    WriteAll(h, {0x88, 0x81, 0x87});
    EXPECT_EQ(chip.If(0).RxPending(), 0u);
    chip.If(0).SetPins(0xFF);
    EXPECT_EQ(chip.If(0).RxPending(), 1u);
    WriteAll(h, {0x89, 0x83});
    EXPECT_EQ(chip.If(0).RxPending(), 1u);
    chip.If(0).SetPins(0xDF);
    EXPECT_EQ(chip.If(0).RxPending(), 2u);
    chip.If(0).HoldIn(false);
    EXPECT_EQ(ReadSome(h, 2), (Bytes{0xF4, 0xFF}));

    // A purge of the transmit side drops a waiting command and what follows.
    WriteAll(h, {0x88, 0x81});
    ASSERT_EQ(FT_Purge(h, FT_PURGE_TX), FT_OK);
    chip.If(0).SetPins(0xFF);
    WriteAll(h, {0x83});
    EXPECT_EQ(ReadSome(h, 1), (Bytes{0xFF}));
}

TEST_F(MpsseTest, SpiFlashAnswersJedecIdStatusReadAndProgram) {
    Chip &chip = Add(WithSerial(ChipSpec::FT232H(), "SP1"));
    chip.If(0).AttachPins(&flash_);
    Bytes image(300);
    std::iota(image.begin(), image.end(), uint8_t{7});
    flash_.Load(0x1000, image);
    StartLibrary();
    FT_HANDLE h = OpenMpsse("SP1");
    ASSERT_NE(h, nullptr);

    const Bytes select = {0x80, 0x00, 0x0B}, deselect = {0x80, 0x08, 0x0B};
    auto transaction = [&](Bytes out, uint16_t in_count) {
        Bytes t = select;
        // Out on -ve, MSB first; then in on +ve.
        t.insert(t.end(), {0x11, static_cast<uint8_t>(out.size() - 1), 0x00});
        t.insert(t.end(), out.begin(), out.end());
        if (in_count > 0) {
            t.insert(t.end(), {0x20, static_cast<uint8_t>((in_count - 1) & 0xFF),
                               static_cast<uint8_t>((in_count - 1) >> 8)});
        }
        t.insert(t.end(), deselect.begin(), deselect.end());
        return t;
    };
    Bytes cmd = deselect;
    for (Bytes t : {transaction({0x9F}, 3), transaction({0x05}, 1),
                    transaction({0x03, 0x00, 0x10, 0x00}, 300)})
        cmd.insert(cmd.end(), t.begin(), t.end());
    cmd.push_back(0x87);
    WriteAll(h, cmd);
    EXPECT_EQ(ReadSome(h, 3), (Bytes{0xEF, 0x40, 0x18}));
    EXPECT_EQ(ReadSome(h, 1), (Bytes{0x00}));
    EXPECT_EQ(ReadSome(h, 300), image);

    // Write enable, page program, then read back with a full-duplex command.
    cmd = transaction({0x06}, 0);
    for (Bytes t : {transaction({0x05}, 1), transaction({0x02, 0x00, 0x20, 0x10, 0xDE, 0xAD}, 0),
                    transaction({0x05}, 1)})
        cmd.insert(cmd.end(), t.begin(), t.end());
    cmd.insert(cmd.end(), select.begin(), select.end());
    cmd.insert(cmd.end(), {0x31, 0x05, 0x00, 0x03, 0x00, 0x20, 0x10, 0x00, 0x00});
    cmd.insert(cmd.end(), deselect.begin(), deselect.end());
    WriteAll(h, cmd);
    EXPECT_EQ(ReadSome(h, 8), (Bytes{0x02, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xDE, 0xAD}));
    EXPECT_EQ(flash_.Contents(0x2010, 3), (Bytes{0xDE, 0xAD, 0xFF}));
    EXPECT_EQ(flash_.Commands(), (Bytes{0x9F, 0x05, 0x03, 0x06, 0x05, 0x02, 0x05, 0x03}));
}

TEST_F(MpsseTest, LargeReadsReturnExactlyTheBytesAskedForAcrossManyPackets) {
    Chip &chip = Add(WithSerial(ChipSpec::FT2232H(), "LR1"));
    StartLibrary();
    FT_HANDLE h = OpenMpsse("LR1A");
    ASSERT_NE(h, nullptr);

    // In loopback every byte written comes back: 65536 bytes in one command
    // (129 packets of 510 bytes after their status bytes), then two more
    // commands read in pieces that end inside packets.
    Bytes pattern(65536 + 2 * 40000);
    for (size_t i = 0; i < pattern.size(); i++) pattern[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    Bytes cmd = {0x80, 0x00, 0x0B, 0x84, 0x39, 0xFF, 0xFF};
    cmd.insert(cmd.end(), pattern.begin(), pattern.begin() + 65536);
    WriteAll(h, cmd);
    EXPECT_EQ(ReadSome(h, 65536), Bytes(pattern.begin(), pattern.begin() + 65536));

    cmd.clear();
    for (size_t k = 0; k < 2; k++) {
        const auto from = pattern.begin() + 65536 + static_cast<std::ptrdiff_t>(k * 40000);
        cmd.insert(cmd.end(), {0x39, (40000 - 1) & 0xFF, (40000 - 1) >> 8});
        cmd.insert(cmd.end(), from, from + 40000);
    }
    WriteAll(h, cmd);
    Bytes got;
    while (got.size() < 80000) {
        const Bytes piece = ReadSome(h, std::min<size_t>(7777, 80000 - got.size()));
        ASSERT_FALSE(piece.empty());
        got.insert(got.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(got, Bytes(pattern.begin() + 65536, pattern.end()));
    DWORD queued = 1;
    EXPECT_EQ(FT_GetQueueStatus(h, &queued), FT_OK);
    EXPECT_EQ(queued, 0u);
    EXPECT_EQ(chip.If(0).RxPending(), 0u);
}

}  // namespace
