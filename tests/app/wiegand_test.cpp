// 26-bit Wiegand payloads with their parity bits, and the decoding of
// received reports.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "wiegand.h"

namespace {

std::string PayloadHex(const WiegandPayload &payload) {
    return Hex(fake::Bytes(payload.begin(), payload.end()));
}

TEST(Wiegand26Payload, OutOfRangeValuesNeverReachTheParityBits) {
    // Only the low 8 and 16 bits are carried; the frame stays well formed.
    EXPECT_EQ(PayloadHex(BuildWiegand26Payload(256 + 12, 65536 + 345)),
              PayloadHex(BuildWiegand26Payload(12, 345)));
    const WiegandPayload p = BuildWiegand26Payload(-1, -1);
    const Wiegand26 d = DecodeWiegand26(WiegandValue(26, &p[1]));
    EXPECT_EQ(d.facility, 255u);
    EXPECT_EQ(d.badge, 65535u);
    EXPECT_TRUE(d.evenParityOk && d.oddParityOk);
}

TEST(Wiegand26Decode, EveryEncodedFrameDecodesToItsValuesWithGoodParity) {
    for (long facility = 0; facility <= 255; ++facility) {
        for (long badge = facility; badge <= 65535; badge += 251) {
            const WiegandPayload p = BuildWiegand26Payload(facility, badge);
            const Wiegand26 d = DecodeWiegand26(WiegandValue(p[0], &p[1]));
            ASSERT_EQ(d.facility, static_cast<unsigned>(facility)) << badge;
            ASSERT_EQ(d.badge, static_cast<unsigned>(badge)) << facility;
            ASSERT_STREQ(ParityVerdict(d), "Parity Bits OK.") << facility << "/" << badge;
        }
    }
}

TEST(WiegandValue, TakesTheAnnouncedBytesFirstMostSignificantAndNeverMoreThanFour) {
    const unsigned char data[14] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    EXPECT_EQ(WiegandValue(26, data), 0x12345678u);
    EXPECT_EQ(WiegandValue(8, data), 0x12u);
    EXPECT_EQ(WiegandValue(9, data), 0x1234u);
    EXPECT_EQ(WiegandValue(0, data), 0u);
    // Longer reports: the value holds the first four bytes only.
    EXPECT_EQ(WiegandValue(34, data), 0x12345678u);
    EXPECT_EQ(WiegandValue(255, data), 0x12345678u);
}

}  // namespace
