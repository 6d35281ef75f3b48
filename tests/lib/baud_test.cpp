// Baud-rate divisor arithmetic: worked request words for each kind of chip,
// and the 3.00 % acceptance over a dense sweep of rates (the rates the chip
// really runs at are checked on the simulated chip by the device tests).
#include "baud.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "chip.h"

namespace d2xx {
namespace {

struct Chip {
    const char *name;
    uint16_t bcdDevice;
    uint8_t iSerialNumber;
};

constexpr Chip kAm = {"AM", 0x0200, 3};
constexpr Chip k2232C = {"FT2232C", 0x0500, 3};
constexpr Chip k232R = {"FT232R", 0x0600, 3};
constexpr Chip k2232H = {"FT2232H", 0x0700, 3};
constexpr Chip k232H = {"FT232H", 0x0900, 3};
constexpr Chip k4222H3 = {"FT4222H", 0x1700, 3};

std::optional<BaudRequest> Encode(const Chip &chip, uint32_t baud, uint8_t selector = 0) {
    return EncodeBaudRate(chip.bcdDevice, chip.iSerialNumber, selector, baud);
}

void ExpectRequest(const Chip &chip, uint8_t selector, uint32_t baud, uint16_t wValue,
                   uint16_t wIndex) {
    SCOPED_TRACE(testing::Message()
                 << chip.name << " selector " << int{selector} << " at " << baud << " baud");
    const std::optional<BaudRequest> request = Encode(chip, baud, selector);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->wValue, wValue);
    EXPECT_EQ(request->wIndex, wIndex);
}

void ExpectRefused(const Chip &chip, uint32_t baud, uint8_t selector = 0) {
    EXPECT_FALSE(Encode(chip, baud, selector).has_value())
        << chip.name << " at " << baud << " baud";
}

// Exact integer form of "within 3.00 %, inclusive".
bool WithinThreePercent(uint64_t requested, uint64_t produced) {
    const uint64_t hi = requested > produced ? requested : produced;
    const uint64_t lo = requested > produced ? produced : requested;
    return 100 * hi <= 103 * lo;
}

TEST(BaudRequests, WorkedExamplesGiveTheirWords) {
    ExpectRequest(k232R, 0, 9600, 0x4138, 0x0000);
    ExpectRequest(k2232C, 1, 9600, 0x4138, 0x0001);
    ExpectRequest(k232R, 0, 14400, 0x00D0, 0x0001);  // 3/8
    ExpectRequest(kAm, 0, 14400, 0x80D0, 0x0000);    // 1/4: no third bit on AM
    ExpectRequest(k232R, 0, 184, 0x3FB0, 0x0001);
    ExpectRequest(k232R, 0, 2000000, 0x4001, 0x0000);
    ExpectRequest(k232H, 0, 3000000, 0x0004, 0x0200);
    ExpectRequest(k232H, 0, 1000000, 0x000C, 0x0200);
    ExpectRequest(k2232H, 1, 12000000, 0x0000, 0x0201);
    ExpectRequest(k2232H, 2, 8000000, 0x0001, 0x0202);
    ExpectRequest(k4222H3, 0, 2000000, 0x0006, 0x0002);
    ExpectRequest(k232H, 0, 200, 0x3A98, 0x0000);
    // High-speed chips: the 3 MHz clock below 1200 baud, 12 MHz above it.
    ExpectRequest(k232H, 0, 1199, 0xC9C6, 0x0000);
    ExpectRequest(k232H, 0, 1201, 0x6707, 0x0300);
    ExpectRequest(k2232H, 2, 8240000, 0x0001, 0x0202);
    ExpectRequest(k2232H, 1, 11650486, 0x0000, 0x0201);

    ExpectRefused(k232R, 183);
    ExpectRefused(k232R, 3500000);
    ExpectRefused(k232H, 10000000);
}

// Every rate from 1 to 20,000, then steps of 0.07 % up to 13 Mbaud, then the
// edges of the full-clock and special windows.
std::vector<uint32_t> SweepRates() {
    std::vector<uint32_t> rates;
    for (uint32_t b = 1; b <= 20000; ++b) rates.push_back(b);
    for (double b = 20000; b < 13000000; b *= 1.0007) rates.push_back(static_cast<uint32_t>(b));
    for (uint32_t edge :
         {2912621u, 2912622u, 3000000u, 3090000u, 3090001u, 7760000u, 7766990u, 7766991u, 8000000u,
          8240000u, 8240001u, 11640000u, 11650485u, 11650486u, 12000000u, 12360000u, 12360001u})
        for (int64_t delta = -2; delta <= 2; ++delta)
            rates.push_back(static_cast<uint32_t>(edge + delta));
    return rates;
}

enum class Arithmetic { Am, Bm, Hi };

void SweepArithmetic(Arithmetic arithmetic) {
    const uint32_t lowest = arithmetic == Arithmetic::Hi ? 733 : 184;
    int accepted = 0, rejected = 0;
    for (uint32_t baud : SweepRates()) {
        uint16_t d = 0, u = 0, err = 0;
        uint32_t actual = 0;
        int16_t higher = -1;
        const uint16_t r = arithmetic == Arithmetic::Hi
                               ? Baud_getDivisorHi(baud, &d, &u, &actual, &err, &higher)
                               : Baud_getDivisor(baud, &d, &u, &actual, &err, &higher,
                                                 arithmetic == Arithmetic::Bm);
        if (baud < lowest) {
            ASSERT_EQ(r, 0xFFFF) << baud;
            continue;
        }
        ASSERT_NE(r, 0xFFFF) << baud;
        const uint32_t produced = arithmetic == Arithmetic::Hi
                                      ? calcBaudRateHi(d, u)
                                      : calcBaudRate(d, u, arithmetic == Arithmetic::Bm);
        ASSERT_EQ(produced, actual) << baud;
        ASSERT_EQ(r == 1, WithinThreePercent(baud, produced))
            << baud << " produced " << produced << " result " << r;
        ASSERT_EQ(higher, produced >= baud ? 1 : 0) << baud;
        // Where the fractions are fine enough, nothing is refused.
        if (baud <= 20000) {
            ASSERT_EQ(r, 1) << baud;
        }
        switch (arithmetic) {
            case Arithmetic::Am:
                ASSERT_EQ(u, 0) << baud;
                break;
            case Arithmetic::Bm:
                ASSERT_LE(u, 1) << baud;
                break;
            case Arithmetic::Hi:
                ASSERT_TRUE(u == 2 || u == 3) << baud;
                break;
        }
        (r == 1 ? accepted : rejected)++;
    }
    // The sweep reaches both outcomes.
    EXPECT_GT(accepted, 20000);
    EXPECT_GT(rejected, 0);
}

TEST(BaudSweep, EachArithmeticAcceptsExactlyTheRatesWithinThreePercent) {
    for (Arithmetic a : {Arithmetic::Am, Arithmetic::Bm, Arithmetic::Hi}) {
        SCOPED_TRACE(static_cast<int>(a));
        SweepArithmetic(a);
    }
}

}  // namespace
}  // namespace d2xx
