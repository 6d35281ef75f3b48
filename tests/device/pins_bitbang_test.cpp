// The bit-bang modes through the published calls alone, as GPIO programs
// use them: set a bit mode with a direction mask, write bytes to drive the
// pins, read the samples back with FT_Read, and ask for the pins' levels
// with FT_GetBitMode.
#include <string>
#include <vector>

#include "device_fixture.h"

namespace {

using ftdisim::Chip;
using ftdisim::ChipSpec;
using Bytes = std::vector<uint8_t>;

class BitBangTest : public DeviceTest {
  protected:
    FT_HANDLE OpenWith(const char *name) {
        FT_HANDLE h = Open(name);
        if (h != nullptr) {
            EXPECT_EQ(FT_SetTimeouts(h, 5000, 5000), FT_OK);
        }
        return h;
    }

    static uint8_t Pins(FT_HANDLE h) {
        uint8_t pins = 0;
        EXPECT_EQ(FT_GetBitMode(h, &pins), FT_OK);
        return pins;
    }

    static Bytes Pattern(size_t n) {
        Bytes b(n);
        for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(i * 37 + 11);
        return b;
    }

    ftdisim::Loopback loopback_;  // outlives the chips it is wired to
};

struct Case {
    const char *family;
    int interface;
    const char *open_as;
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.family << " interface " << c.interface;
}

class AsyncBitBangTest : public BitBangTest, public ::testing::WithParamInterface<Case> {};

TEST_P(AsyncBitBangTest, DrivesTheOutputsAndSamplesEveryByteBack) {
    const Case &c = GetParam();
    Chip &chip = Add(WithSerial(*ChipSpec::ByName(c.family), "BB1"));
    chip.If(c.interface).SetPins(0xA5);
    StartLibrary();
    FT_HANDLE h = OpenWith(c.open_as);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Pins(h), 0xA5) << "serial mode: nothing driven";

    ASSERT_EQ(FT_SetBitMode(h, 0x0F, 0x01), FT_OK);
    EXPECT_EQ(chip.If(c.interface).State().engine, 0x01);
    const Bytes out = Pattern(300);
    WriteAll(h, out);
    Bytes expected;
    for (uint8_t b : out) expected.push_back(static_cast<uint8_t>((b & 0x0F) | 0xA0));
    EXPECT_EQ(ReadSome(h, out.size()), expected);
    EXPECT_EQ(Pins(h), expected.back());

    // All eight pins driven, then released by the reset of the mode.
    ASSERT_EQ(FT_SetBitMode(h, 0xFF, 0x01), FT_OK);
    WriteAll(h, {0x3C});
    EXPECT_EQ(ReadSome(h, 1), (Bytes{0x3C}));
    EXPECT_EQ(Pins(h), 0x3C);
    EXPECT_EQ(chip.If(c.interface).PinLevels() & 0xFF, 0x3C);
    ASSERT_EQ(FT_SetBitMode(h, 0x00, 0x00), FT_OK);
    EXPECT_EQ(Pins(h), 0xA5);
}

INSTANTIATE_TEST_SUITE_P(Families, AsyncBitBangTest,
                         ::testing::Values(Case{"FT232BM", 0, "BB1"}, Case{"FT232R", 0, "BB1"},
                                           Case{"FT2232C", 1, "BB1B"}, Case{"FT2232H", 0, "BB1A"},
                                           Case{"FT4232H", 3, "BB1D"}, Case{"FT232H", 0, "BB1"},
                                           Case{"FT-X", 0, "BB1"}));

TEST_F(BitBangTest, SyncBitBangSamplesThePinsBeforeEachByteTakesEffect) {
    Chip &chip = Add(WithSerial(ChipSpec::FT2232H(), "SB1"));
    chip.If(1).SetPins(0x50);
    StartLibrary();
    FT_HANDLE h = OpenWith("SB1B");
    ASSERT_NE(h, nullptr);

    ASSERT_EQ(FT_SetBitMode(h, 0x0F, 0x04), FT_OK);
    const Bytes out = Pattern(200);
    WriteAll(h, out);
    Bytes expected = {0x50};  // the outputs start low
    for (size_t i = 0; i + 1 < out.size(); i++)
        expected.push_back(static_cast<uint8_t>((out[i] & 0x0F) | 0x50));
    EXPECT_EQ(ReadSome(h, out.size()), expected);
    EXPECT_EQ(Pins(h), (out.back() & 0x0F) | 0x50);

    // Inputs that change between writes show in the next sample.
    chip.If(1).SetPins(0xF0);
    WriteAll(h, {0x01, 0x02});
    EXPECT_EQ(ReadSome(h, 2), (Bytes{static_cast<uint8_t>((out.back() & 0x0F) | 0xF0), 0xF1}));
}

TEST_F(BitBangTest, CbusBitBangDrivesTheCbusPinsAndTheUartGoesOn) {
    Chip &chip = Add(WithSerial(ChipSpec::FT232R(), "CB1"));
    chip.If(0).Attach(&loopback_);
    chip.If(0).SetCbusPins(0x0C);
    StartLibrary();
    FT_HANDLE h = OpenWith("CB1");
    ASSERT_NE(h, nullptr);

    // CBUS0 and CBUS1 driven, CBUS0 high; CBUS2 and CBUS3 from the outside.
    ASSERT_EQ(FT_SetBitMode(h, 0x31, 0x20), FT_OK);
    EXPECT_EQ(Pins(h), 0x0D);
    EXPECT_EQ(chip.If(0).CbusLevels(), 0x0D);
    ASSERT_EQ(FT_SetBitMode(h, 0x32, 0x20), FT_OK);
    EXPECT_EQ(Pins(h), 0x0E);
    WriteAll(h, {'o', 'k'});
    EXPECT_EQ(ReadSome(h, 2), (Bytes{'o', 'k'}));
}

TEST_F(BitBangTest, ModesAFamilyLacksLeaveTheInterfaceSerial) {
    Chip &bm = Add(WithSerial(ChipSpec::FT232BM(), "NS1"));
    Chip &r = Add(WithSerial(ChipSpec::FT232R(), "NS2"));
    Chip &quad = Add(WithSerial(ChipSpec::FT4232H(), "NS3"));
    bm.If(0).Attach(&loopback_);
    StartLibrary();
    FT_HANDLE hbm = OpenWith("NS1");
    FT_HANDLE hr = OpenWith("NS2");
    FT_HANDLE hq = OpenWith("NS3C");
    ASSERT_NE(hbm, nullptr);
    ASSERT_NE(hr, nullptr);
    ASSERT_NE(hq, nullptr);

    ASSERT_EQ(FT_SetBitMode(hbm, 0xFF, 0x04), FT_OK);  // no synchronous bit-bang on BM
    EXPECT_EQ(bm.If(0).State().bit_mode, 0x04);
    EXPECT_EQ(bm.If(0).State().engine, 0x00);
    WriteAll(hbm, {'a', 'b', 'c'});
    EXPECT_EQ(ReadSome(hbm, 3), (Bytes{'a', 'b', 'c'}));

    ASSERT_EQ(FT_SetBitMode(hr, 0xFF, 0x02), FT_OK);  // no MPSSE on R
    EXPECT_EQ(r.If(0).State().engine, 0x00);
    ASSERT_EQ(FT_SetBitMode(hq, 0xFF, 0x02), FT_OK);  // MPSSE on the first two only
    EXPECT_EQ(quad.If(2).State().engine, 0x00);
    ASSERT_EQ(FT_SetBitMode(hq, 0xFF, 0x01), FT_OK);
    EXPECT_EQ(quad.If(2).State().engine, 0x01);
}

}  // namespace
