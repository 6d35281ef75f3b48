// How the chip's UART reads a set-baud-rate divisor, per family. Pure logic:
// no USB involved.
#include <gtest/gtest.h>

#include "ftdisim.h"

namespace ftdisim {
namespace {

const ChipTraits kAM = ChipTraits::For(0x0200, true);
const ChipTraits kBMNoSerial = ChipTraits::For(0x0200, false);
const ChipTraits k232R = ChipTraits::For(0x0600, true);
const ChipTraits k2232H = ChipTraits::For(0x0700, true);
const ChipTraits k232H = ChipTraits::For(0x0900, true);
const ChipTraits k4222H3 = ChipTraits::For(0x1700, true);

TEST(ChipTraits, FamiliesAreGroupedByTheHighByteOfBcdDevice) {
    EXPECT_FALSE(kAM.bm_or_later);
    EXPECT_TRUE(kBMNoSerial.bm_or_later);
    EXPECT_TRUE(k232R.bm_or_later);
    EXPECT_FALSE(k232R.high_speed_baud);
    EXPECT_FALSE(k232R.wide_index);
    EXPECT_TRUE(k2232H.high_speed_baud);
    EXPECT_TRUE(k2232H.wide_index);
    EXPECT_TRUE(k232H.wide_index);
    EXPECT_TRUE(ChipTraits::For(0x1000, true).wide_index);
    EXPECT_FALSE(ChipTraits::For(0x1000, true).high_speed_baud);
    // 0x17 is high speed but keeps the upper word in the low bits.
    EXPECT_TRUE(k4222H3.high_speed_baud);
    EXPECT_FALSE(k4222H3.wide_index);
    EXPECT_TRUE(k4222H3.vendor_commands);
    EXPECT_FALSE(k232H.vendor_commands);
    // The low byte never matters; unknown families behave like AM chips.
    EXPECT_TRUE(ChipTraits::For(0x0601, true).bm_or_later);
    EXPECT_FALSE(ChipTraits::For(0x0300, true).bm_or_later);
    EXPECT_TRUE(ChipTraits::For(0x1400, true).vendor_commands);
    EXPECT_FALSE(ChipTraits::For(0x1400, true).wide_index);
}

TEST(DecodeBaudRate, ThreeMegahertzDivisorsGiveTheRatesTheyProduce) {
    EXPECT_EQ(DecodeBaudRate(k232R, 0x4138, 0), 9600u);     // 312 + 1/2
    EXPECT_EQ(DecodeBaudRate(k232R, 0x809C, 0), 19200u);    // 156 + 1/4
    EXPECT_EQ(DecodeBaudRate(k232R, 0xC04E, 0), 38400u);    // 78 + 1/8
    EXPECT_EQ(DecodeBaudRate(k232R, 0x0034, 0), 57692u);    // 52
    EXPECT_EQ(DecodeBaudRate(k232R, 0x00D0, 1), 14397u);    // 208 + 3/8
    EXPECT_EQ(DecodeBaudRate(k232R, 0x3FB0, 1), 183u);      // 16304 + 3/8
    EXPECT_EQ(DecodeBaudRate(k232R, 0x4001, 0), 2000000u);  // 1 + 1/2
    EXPECT_EQ(DecodeBaudRate(k232R, 0x0001, 0), 2000000u);  // 1 alone: no step below 2
    EXPECT_EQ(DecodeBaudRate(k232R, 0x0000, 0), 3000000u);
    EXPECT_EQ(DecodeBaudRate(k232H, 0x3A98, 0), 200u);  // 15000, no high-speed flag
}

TEST(DecodeBaudRate, TheThirdFractionBitCountsOnlyOnBmOrLaterChips) {
    // 5/8, 3/4 and 7/8 need upper bit 0.
    EXPECT_EQ(DecodeBaudRate(k232R, 0x4000 | 100, 1), 29813u);  // 100 + 5/8
    EXPECT_EQ(DecodeBaudRate(k232R, 0x8000 | 100, 1), 29776u);  // 100 + 3/4
    EXPECT_EQ(DecodeBaudRate(k232R, 0xC000 | 100, 1), 29739u);  // 100 + 7/8
    // An AM chip ignores that bit: 208 + 1/4 either way.
    EXPECT_EQ(DecodeBaudRate(kAM, 0x80D0, 0), 14405u);
    EXPECT_EQ(DecodeBaudRate(kAM, 0x80D0, 1), 14405u);
    EXPECT_EQ(DecodeBaudRate(kBMNoSerial, 0x80D0, 1), 14371u);  // 208 + 3/4
}

TEST(DecodeBaudRate, TheHighSpeedFlagSelectsTwelveMegahertzOnHighSpeedChipsOnly) {
    EXPECT_EQ(DecodeBaudRate(k232H, 0x000C, 2), 1000000u);
    EXPECT_EQ(DecodeBaudRate(k232H, 0x0004, 2), 3000000u);
    EXPECT_EQ(DecodeBaudRate(k2232H, 0x0000, 2), 12000000u);
    EXPECT_EQ(DecodeBaudRate(k2232H, 0x0001, 2), 8000000u);
    EXPECT_EQ(DecodeBaudRate(k4222H3, 0x0006, 2), 2000000u);
    EXPECT_EQ(DecodeBaudRate(k232H, 0x0078, 2), 100000u);
    // 12 MHz with three-bit fraction: upper 3 = flag + third bit (1250 + 3/8).
    EXPECT_EQ(DecodeBaudRate(k232H, 1250, 3), 9597u);
    // On a full-speed chip the flag means nothing.
    EXPECT_EQ(DecodeBaudRate(k232R, 0x000C, 2), 250000u);
}

}  // namespace
}  // namespace ftdisim
