// Chip identification from the device descriptor, interface letters,
// location ids and the bounded name suffixes.
#include "chip.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace d2xx {
namespace {

constexpr uint32_t kBm = 0, kAm = 1, k2232C = 4, k232R = 5, k2232H = 6, k4232H = 7, k232H = 8,
                   kXSeries = 9, k4222H0 = 10, k4222H12 = 11, k4222H3 = 12, k4222Prog = 13,
                   kUnknown = 3;

TEST(DeviceType, ExactRevisionsNameTheirPublishedType) {
    EXPECT_EQ(GetDeviceType(0x0200, 3), kAm);
    EXPECT_EQ(GetDeviceType(0x0200, 0), kBm);
    EXPECT_EQ(GetDeviceType(0x0400, 3), kBm);
    EXPECT_EQ(GetDeviceType(0x0500, 3), k2232C);
    EXPECT_EQ(GetDeviceType(0x0600, 3), k232R);
    EXPECT_EQ(GetDeviceType(0x0700, 3), k2232H);
    EXPECT_EQ(GetDeviceType(0x0800, 3), k4232H);
    EXPECT_EQ(GetDeviceType(0x0900, 3), k232H);
    EXPECT_EQ(GetDeviceType(0x1000, 3), kXSeries);
    EXPECT_EQ(GetDeviceType(0x1800, 3), k4222H0);
    EXPECT_EQ(GetDeviceType(0x1900, 3), k4222H12);
    EXPECT_EQ(GetDeviceType(0x1700, 3), k4222H3);
    EXPECT_EQ(GetDeviceType(0x2100, 3), k4222Prog);
    // The serial-number string only matters for 0x0200.
    EXPECT_EQ(GetDeviceType(0x0600, 0), k232R);
    EXPECT_EQ(GetDeviceType(0x0400, 0), kBm);
}

TEST(DeviceType, AnyOtherRevisionIsUnknownAndTypeTwoIsNeverProduced) {
    for (uint16_t bcd : {0x0000, 0x0100, 0x0201, 0x0300, 0x0601, 0x06FF, 0x1400, 0x1500, 0x1600,
                         0x2000, 0x2101, 0xFFFF})
        EXPECT_EQ(GetDeviceType(static_cast<uint16_t>(bcd), 1), kUnknown) << std::hex << bcd;

    int known = 0;
    for (uint32_t bcd = 0; bcd <= 0xFFFF; ++bcd) {
        for (uint8_t serial : {0, 1}) {
            const uint32_t type = GetDeviceType(static_cast<uint16_t>(bcd), serial);
            EXPECT_NE(type, 2u) << std::hex << bcd;
            EXPECT_LE(type, 13u);
            if (type != kUnknown) ++known;
        }
    }
    // 11 revisions typed alike with or without a serial string, plus 0x0200
    // typed both ways.
    EXPECT_EQ(known, 11 * 2 + 2);
}

struct GroupRow {
    uint8_t high;
    bool multi;
    int indexWidth;
    bool zlp;
    bool bmWithSerial;
    bool bmWithoutSerial;
    bool highSpeed;
    bool wideIndex;
    bool vendorCmd;
};

// Every named family plus a few high bytes no family uses.
constexpr GroupRow kGroups[] = {
    // high multi idx  zlp    bm(sn) bm(0)  hs     wide   vendor
    {0x02, false, 1, false, false, true, false, false, false},
    {0x04, false, 1, false, true, true, false, false, false},
    {0x05, true, 2, false, true, true, false, true, false},
    {0x06, false, 1, false, true, true, false, false, false},
    {0x07, true, 2, false, true, true, true, true, false},
    {0x08, true, 4, false, true, true, true, true, false},
    {0x09, false, 1, false, true, true, true, true, false},
    {0x10, false, 1, false, true, true, false, true, false},
    {0x14, false, 0, true, true, true, false, false, true},
    {0x15, true, 0, true, true, true, false, true, true},
    {0x16, true, 0, true, true, true, false, true, true},
    {0x17, false, 1, true, true, true, true, false, true},
    {0x18, true, 2, true, true, true, true, true, true},
    {0x19, true, 4, true, true, true, true, true, true},
    {0x21, false, 0, false, true, true, false, false, true},
    {0x00, false, 0, false, false, false, false, false, false},
    {0x01, false, 0, false, false, false, false, false, false},
    {0x03, false, 0, false, false, false, false, false, false},
    {0x0A, false, 0, false, false, false, false, false, false},
    {0x11, false, 0, false, false, false, false, false, false},
    {0x13, false, 0, false, false, false, false, false, false},
    {0x1A, false, 0, false, false, false, false, false, false},
    {0x20, false, 0, false, false, false, false, false, false},
    {0x22, false, 0, false, false, false, false, false, false},
    {0xFF, false, 0, false, false, false, false, false, false},
};

TEST(ChipGroups, EachFamilyBelongsToExactlyItsGroupsWhateverTheLowByte) {
    for (const GroupRow &row : kGroups) {
        for (uint8_t low : {0x00, 0x01, 0x80, 0xFF}) {
            const auto bcd = static_cast<uint16_t>(row.high << 8 | low);
            SCOPED_TRACE(testing::Message() << "bcdDevice 0x" << std::hex << bcd);
            EXPECT_EQ(IsMultiInterfaceChip(bcd), row.multi);
            EXPECT_EQ(OpenIndexWidth(bcd), row.indexWidth);
            EXPECT_EQ(KeepsZlpPacketSize(bcd), row.zlp);
            EXPECT_EQ(IsBmOrLaterChip(bcd, 5), row.bmWithSerial);
            EXPECT_EQ(IsBmOrLaterChip(bcd, 0), row.bmWithoutSerial);
            EXPECT_EQ(IsHighSpeedChip(bcd), row.highSpeed);
            EXPECT_EQ(IsWideIndexChip(bcd), row.wideIndex);
            EXPECT_EQ(IsVendorCmdChip(bcd), row.vendorCmd);
        }
    }
}

TEST(ChipGroups, UnnamedHighBytesGetNoFeatureAnywhereInTheRange) {
    const std::string named = "\x02\x04\x05\x06\x07\x08\x09\x10\x14\x15\x16\x17\x18\x19\x21";
    for (uint32_t high = 0; high <= 0xFF; ++high) {
        if (named.find(static_cast<char>(high)) != std::string::npos) continue;
        const auto bcd = static_cast<uint16_t>(high << 8);
        SCOPED_TRACE(testing::Message() << "high byte 0x" << std::hex << high);
        EXPECT_FALSE(IsMultiInterfaceChip(bcd));
        EXPECT_EQ(OpenIndexWidth(bcd), 0);
        EXPECT_FALSE(KeepsZlpPacketSize(bcd));
        EXPECT_FALSE(IsBmOrLaterChip(bcd, 0));
        EXPECT_FALSE(IsHighSpeedChip(bcd));
        EXPECT_FALSE(IsWideIndexChip(bcd));
        EXPECT_FALSE(IsVendorCmdChip(bcd));
    }
}

TEST(ChipGroups, OddRevisionsKeepTheirFamilyBehaviour) {
    // An unknown type on a known family still behaves as that family.
    EXPECT_EQ(GetDeviceType(0x0601, 0), kUnknown);
    EXPECT_FALSE(IsMultiInterfaceChip(0x0601));
    EXPECT_EQ(OpenIndexWidth(0x0601), 1);
    EXPECT_TRUE(IsBmOrLaterChip(0x0601, 1));
    // 0x14 has vendor commands and keeps its packet size but cannot be
    // opened by index; 0x21 is a vendor-command chip without the packet size.
    EXPECT_EQ(OpenIndexWidth(0x1400), 0);
    EXPECT_TRUE(IsVendorCmdChip(0x1400) && KeepsZlpPacketSize(0x1400));
    EXPECT_TRUE(IsVendorCmdChip(0x2100));
    EXPECT_FALSE(KeepsZlpPacketSize(0x2100));
    // 0x17 is high-speed without the wide index; 0x10 is the reverse.
    EXPECT_TRUE(IsHighSpeedChip(0x1700) && !IsWideIndexChip(0x1700));
    EXPECT_TRUE(!IsHighSpeedChip(0x1000) && IsWideIndexChip(0x1000));
    // Every multi-interface chip takes the selector in the wide index.
    for (uint32_t high = 0; high <= 0xFF; ++high) {
        const auto bcd = static_cast<uint16_t>(high << 8);
        if (IsMultiInterfaceChip(bcd)) {
            EXPECT_TRUE(IsWideIndexChip(bcd)) << std::hex << high;
        }
    }
}

TEST(InterfaceLetters, FirstFiveAreLetteredTheRestMarkedUnknown) {
    EXPECT_EQ(InterfaceLetter(0), 'A');
    EXPECT_EQ(InterfaceLetter(1), 'B');
    EXPECT_EQ(InterfaceLetter(2), 'C');
    EXPECT_EQ(InterfaceLetter(3), 'D');
    EXPECT_EQ(InterfaceLetter(4), 'E');
    EXPECT_EQ(InterfaceLetter(5), '?');
    EXPECT_EQ(InterfaceLetter(-1), '?');
    EXPECT_EQ(InterfaceLetter(255), '?');
    EXPECT_EQ(InterfaceLetter(INT32_MIN), '?');
}

TEST(LocationIds, BusAndAddressWithInterfaceValueOnMultiInterfaceChips) {
    EXPECT_EQ(LocationId(1, 5, false, 0), 261u);
    EXPECT_EQ(LocationId(1, 5, false, 2), 261u);  // single interface ignores the value
    EXPECT_EQ(LocationId(3, 7, true, 1), (3u * 256 + 7) * 16 + 1);
    EXPECT_EQ(LocationId(3, 7, true, 2), (3u * 256 + 7) * 16 + 2);
    EXPECT_EQ(LocationId(255, 255, false, 0), 0xFFFFu);
    EXPECT_EQ(LocationId(255, 255, true, 4), 0xFFFF4u);  // no 16-bit wrap
}

TEST(NameSuffixes, SerialNumbersTakeTheLetterDescriptionsASpaceAndLetter) {
    char buf[80];
    EXPECT_TRUE(AppendSerialLetter(buf, sizeof buf, "FT1X2Y3Z", 'B'));
    EXPECT_STREQ(buf, "FT1X2Y3ZB");
    EXPECT_TRUE(AppendDescriptionLetter(buf, sizeof buf, "Serial Bridge", 'B'));
    EXPECT_STREQ(buf, "Serial Bridge B");
    EXPECT_TRUE(AppendSerialLetter(buf, sizeof buf, "", 'A'));
    EXPECT_STREQ(buf, "A");
    EXPECT_TRUE(AppendDescriptionLetter(buf, sizeof buf, "", 'A'));
    EXPECT_STREQ(buf, " A");
}

TEST(NameSuffixes, SixteenCharacterSerialNeedsEighteenBytes) {
    const char *serial = "ABCDEFGH12345678";
    char buf[18];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_TRUE(AppendSerialLetter(buf, 18, serial, 'A'));
    EXPECT_STREQ(buf, "ABCDEFGH12345678A");

    std::memset(buf, 'x', sizeof buf);
    EXPECT_FALSE(AppendSerialLetter(buf, 17, serial, 'A'));
    EXPECT_STREQ(buf, "ABCDEFGH12345678");
    EXPECT_EQ(buf[17], 'x');  // nothing written past size
}

TEST(NameSuffixes, TooSmallDestinationIsTruncatedAndTerminated) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_FALSE(AppendDescriptionLetter(buf, 5, "Serial Bridge", 'B'));
    EXPECT_STREQ(buf, "Seri");
    EXPECT_EQ(buf[5], 'x');

    // Name fits, space fits, letter does not.
    std::memset(buf, 'x', sizeof buf);
    EXPECT_FALSE(AppendDescriptionLetter(buf, 6, "Dual", 'B'));
    EXPECT_STREQ(buf, "Dual ");

    std::memset(buf, 'x', sizeof buf);
    EXPECT_FALSE(AppendSerialLetter(buf, 1, "FT1", 'A'));
    EXPECT_STREQ(buf, "");

    std::memset(buf, 'x', sizeof buf);
    EXPECT_FALSE(AppendSerialLetter(buf, 0, "FT1", 'A'));
    EXPECT_EQ(buf[0], 'x');
    EXPECT_FALSE(AppendSerialLetter(nullptr, 10, "FT1", 'A'));
}

TEST(NameSuffixes, InPlaceSuffixAndMissingName) {
    char buf[16] = "FT1X2Y3Z";
    EXPECT_TRUE(AppendSerialLetter(buf, sizeof buf, buf, 'C'));
    EXPECT_STREQ(buf, "FT1X2Y3ZC");
    EXPECT_FALSE(AppendDescriptionLetter(buf, 10, buf, 'D'));
    EXPECT_STREQ(buf, "FT1X2Y3ZC");

    std::memset(buf, 'x', sizeof buf);
    EXPECT_FALSE(AppendSerialLetter(buf, sizeof buf, nullptr, 'A'));
    EXPECT_STREQ(buf, "");
}

}  // namespace
}  // namespace d2xx
