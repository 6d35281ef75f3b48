// Baud rates on the wire: the set-baud-rate request each chip family gets
// for a rate, on first and later interfaces, the rates refused before
// anything is sent, and the raw divisor path.
#include <cmath>
#include <string>
#include <vector>

#include "device_fixture.h"

namespace {

using ftdisim::Chip;
using ftdisim::ChipSpec;
using ftdisim::FaultMode;
using ftdisim::RequestFault;

constexpr uint8_t kSetBaudRate = 3;

using devtest::Req;
using devtest::VendorSeen;

class BaudTest : public DeviceTest {
  protected:
    // Opens the chip's interface `iface` (by serial number, with the
    // interface letter on multi-interface chips) and forgets the requests
    // of the open.
    FT_HANDLE OpenInterface(Chip &chip, int iface = 0) {
        std::string name = *chip.Spec().serial;
        if (chip.InterfaceCount() > 1) name += static_cast<char>('A' + iface);
        FT_HANDLE h = Open(name.c_str());
        chip.ClearRequests();
        return h;
    }

    // Sets `baud` and returns the one request it sent (or {0,0,0} when it
    // sent nothing).
    static Req SetAndSee(FT_HANDLE h, Chip &chip, uint32_t baud, FT_STATUS expected = FT_OK) {
        chip.ClearRequests();
        EXPECT_EQ(FT_SetBaudRate(h, baud), expected) << baud;
        const std::vector<Req> seen = VendorSeen(chip);
        if (seen.empty()) return {0, 0, 0};
        EXPECT_EQ(seen.size(), 1u) << baud;
        return seen.back();
    }
};

TEST_F(BaudTest, NineSixHundredIsTheFixedWordOnEveryFamilyAndInterface) {
    struct Family {
        ChipSpec spec;
        bool wide_index;  // the selector joins the upper word in wIndex
    };
    const std::vector<Family> families = {
        {ChipSpec::FT232BM_NoSerial(), false},
        {ChipSpec::FT232BM(), false},
        {ChipSpec::FT2232C(), true},
        {ChipSpec::FT232R(), false},
        {ChipSpec::FT2232H(), true},
        {ChipSpec::FT4232H(), true},
        {ChipSpec::FT232H(), true},
        {ChipSpec::FT_X(), true},
        {ChipSpec::FT4222H_3(), false},
        {ChipSpec::FT4222H_0(), true},
        {ChipSpec::FT4222H_1_2(), true},
    };
    std::vector<Chip *> chips;
    for (size_t i = 0; i < families.size(); ++i) {
        ChipSpec spec = families[i].spec;
        // Names of one width: none is the beginning of another.
        const std::string tag = std::to_string(10 + i);
        // The chip without a serial-number string is opened by description.
        if (spec.serial) spec.serial = "NS" + tag;
        spec.product = "Bridge " + tag;
        chips.push_back(&Add(spec));
    }
    StartLibrary();

    for (size_t i = 0; i < families.size(); ++i) {
        Chip &chip = *chips[i];
        for (int iface = 0; iface < chip.InterfaceCount(); ++iface) {
            SCOPED_TRACE("bcdDevice " + std::to_string(chip.Spec().bcd_device) + " interface " +
                         std::to_string(iface));
            FT_HANDLE h = nullptr;
            if (chip.Spec().serial) {
                h = OpenInterface(chip, iface);
            } else {
                ASSERT_EQ(FT_OpenEx(const_cast<char *>(chip.Spec().product.c_str()),
                                    FT_OPEN_BY_DESCRIPTION, &h),
                          FT_OK);
                Track(h);
                chip.ClearRequests();
            }
            ASSERT_NE(h, nullptr);
            const bool multi = chip.InterfaceCount() > 1;
            const uint16_t selector = multi ? static_cast<uint16_t>(iface + 1) : 0;
            const uint16_t index = families[i].wide_index ? selector : 0;
            EXPECT_EQ(SetAndSee(h, chip, 9600), (Req{kSetBaudRate, 0x4138, index}));
            EXPECT_EQ(chip.If(iface).State().line.baud, 9600u);
            // 57600 is a fixed word too, never the 12 MHz arithmetic.
            EXPECT_EQ(SetAndSee(h, chip, 57600), (Req{kSetBaudRate, 0x0034, index}));
            ASSERT_EQ(FT_Close(h), FT_OK);
        }
    }
}

TEST_F(BaudTest, EveryAcceptedRateRunsWithinThreePercentOnTheChip) {
    // The chip's own clock divider decodes each request independently of the
    // library's arithmetic; whatever the library accepts must really run
    // within 3 % (plus the few hundredths its fraction table rounds away).
    const std::vector<ChipSpec> specs = {WithSerial(ChipSpec::FT232R(), "R1"),
                                         WithSerial(ChipSpec::FT232H(), "H1"),
                                         WithSerial(ChipSpec::FT4222H_3(), "Q1")};
    std::vector<Chip *> chips;
    for (const ChipSpec &s : specs) chips.push_back(&Add(s));
    StartLibrary();
    for (Chip *chip : chips) {
        SCOPED_TRACE("bcdDevice " + std::to_string(chip->Spec().bcd_device));
        FT_HANDLE h = OpenInterface(*chip);
        ASSERT_NE(h, nullptr);
        // Every rate up to a fifth (3 MHz) or half (12 MHz) of the clock is
        // reachable; above the clock plus 3 % nothing is.
        const bool high_speed = chip->Traits().high_speed_baud;
        const double always_up_to = high_speed ? 6e6 : 1.25e6;
        const double never_above = high_speed ? 12.36e6 : 3.09e6;
        for (double b = 150; b < 13.5e6; b *= 1.0137) {
            const auto baud = static_cast<uint32_t>(b);
            chip->ClearRequests();
            const FT_STATUS status = FT_SetBaudRate(h, baud);
            if (baud >= 184 && baud <= always_up_to) {
                EXPECT_EQ(status, FT_OK) << baud;
            }
            if (baud < 184 || baud > never_above) {
                EXPECT_EQ(status, FT_IO_ERROR) << baud;
            }
            if (status == FT_OK) {
                const double produced = chip->If(0).State().line.baud;
                EXPECT_LE(std::fabs(produced - baud) / baud, 0.0305)
                    << baud << " baud runs at " << produced;
            } else {
                EXPECT_EQ(status, FT_IO_ERROR) << baud;
                EXPECT_TRUE(chip->VendorRequests().empty()) << baud;
            }
        }
        ASSERT_EQ(FT_Close(h), FT_OK);
    }
}

TEST_F(BaudTest, RawDivisorGoesOutUnchangedWithTheSelectorOnly) {
    Chip &r = Add(WithSerial(ChipSpec::FT232R(), "R1"));
    Chip &c = Add(WithSerial(ChipSpec::FT2232C(), "C1"));
    StartLibrary();
    FT_HANDLE hr = OpenInterface(r);
    FT_HANDLE hc = OpenInterface(c, 1);
    ASSERT_NE(hr, nullptr);
    ASSERT_NE(hc, nullptr);
    ASSERT_EQ(FT_SetBaudRate(hr, 38400), FT_OK);
    ASSERT_EQ(FT_SetBaudRate(hc, 38400), FT_OK);
    r.ClearRequests();
    c.ClearRequests();

    EXPECT_EQ(FT_SetDivisor(hr, 0x4138), FT_OK);
    EXPECT_EQ(FT_SetDivisor(hc, 0xFFFF), FT_OK);  // no range check of its own
    EXPECT_EQ(VendorSeen(r), (std::vector<Req>{{3, 0x4138, 0x0000}}));
    EXPECT_EQ(VendorSeen(c), (std::vector<Req>{{3, 0xFFFF, 0x0002}}));
    EXPECT_EQ(r.If(0).State().line.baud, 9600u);
    // The divisor names no rate: the recorded one stays.
    EXPECT_EQ(Record(hr)->current_baud, 38400u);
    EXPECT_EQ(Record(hc)->current_baud, 38400u);

    r.FailRequest(RequestFault{kSetBaudRate, std::nullopt, FaultMode::Stall, 0, 1});
    EXPECT_EQ(FT_SetDivisor(hr, 0x001A), FT_IO_ERROR);
}

}  // namespace
