// Baud-rate divisor arithmetic: the request words each chip family gets, the
// reverse computation, and the 3.00 % acceptance over a dense sweep of rates.
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
constexpr Chip kBm = {"FT232BM", 0x0400, 3};
constexpr Chip k2232C = {"FT2232C", 0x0500, 3};
constexpr Chip k232R = {"FT232R", 0x0600, 3};
constexpr Chip k2232H = {"FT2232H", 0x0700, 3};
constexpr Chip k232H = {"FT232H", 0x0900, 3};
constexpr Chip k4222H3 = {"FT4222H", 0x1700, 3};

// One of each family, including the odd ones.
constexpr Chip kEveryFamily[] = {
    kAm,
    {"BM-0x0200", 0x0200, 0},
    kBm,
    k2232C,
    k232R,
    k2232H,
    {"FT4232H", 0x0800, 3},
    k232H,
    {"X", 0x1000, 3},
    {"0x14", 0x1400, 3},
    {"0x15", 0x1500, 3},
    {"0x16", 0x1600, 3},
    k4222H3,
    {"FT4222H_0", 0x1800, 3},
    {"FT4222H_1_2", 0x1900, 3},
    {"FT4222_PROG", 0x2100, 3},
    {"unknown", 0x0300, 3},
    {"unknown-hi", 0xFF00, 3},
};

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

    ExpectRefused(k232R, 183);
    ExpectRefused(k232R, 3500000);
    ExpectRefused(k232H, 10000000);
}

TEST(BaudRequests, WorkedExamplesProduceTheirRates) {
    uint16_t d = 0, u = 0, err = 0;
    uint32_t actual = 0;
    int16_t higher = 0;

    EXPECT_EQ(Baud_getDivisor(14400, &d, &u, &actual, &err, &higher, true), 1);
    EXPECT_EQ(actual, 14397u);
    EXPECT_EQ(higher, 0);
    EXPECT_EQ(Baud_getDivisor(14400, &d, &u, &actual, &err, &higher, false), 1);
    EXPECT_EQ(actual, 14405u);
    EXPECT_EQ(higher, 1);
    EXPECT_EQ(Baud_getDivisor(184, &d, &u, &actual, nullptr, nullptr, true), 1);
    EXPECT_EQ(actual, 183u);
    EXPECT_EQ(Baud_getDivisor(2000000, &d, &u, &actual, &err, nullptr, true), 1);
    EXPECT_EQ(actual, 2000000u);
    EXPECT_EQ(err, 0);

    EXPECT_EQ(Baud_getDivisor(3500000, &d, &u, &actual, &err, &higher, true), 0);
    EXPECT_EQ(d, 0);
    EXPECT_EQ(actual, 3000000u);
    EXPECT_EQ(err, 16);
    EXPECT_EQ(higher, 0);

    EXPECT_EQ(Baud_getDivisorHi(10000000, &d, &u, &actual, &err, &higher), 0);
    EXPECT_EQ(d, 0x8001);
    EXPECT_EQ(u, 0x0002);
    EXPECT_EQ(actual, 9600000u);
    EXPECT_EQ(err, 4);

    EXPECT_EQ(Baud_getDivisorHi(1000000, &d, &u, &actual, &err, &higher), 1);
    EXPECT_EQ(actual, 1000000u);
    EXPECT_EQ(higher, 1);  // equal counts as not below
}

TEST(BaudRequests, FixedRatesGiveTheirTableWordsOnEveryFamily) {
    const struct {
        uint32_t baud;
        uint16_t word;
    } fixed[] = {{300, 0x2710},   {600, 0x1388},    {1200, 0x09C4},   {2400, 0x04E2},
                 {4800, 0x0271},  {9600, 0x4138},   {19200, 0x809C},  {38400, 0xC04E},
                 {57600, 0x0034}, {115200, 0x001A}, {230400, 0x000D}, {460800, 0x4006},
                 {921600, 0x8003}};
    for (const Chip &chip : kEveryFamily) {
        const uint8_t selector = IsMultiInterfaceChip(chip.bcdDevice) ? 2 : 0;
        for (const auto &rate : fixed) {
            // Upper word 0: only the selector reaches wIndex, and only on
            // wide-index chips.
            ExpectRequest(chip, selector, rate.baud, rate.word,
                          IsWideIndexChip(chip.bcdDevice) ? selector : 0);
            EXPECT_EQ(FixedBaudDivisor(rate.baud), rate.word);
        }
    }
    EXPECT_FALSE(FixedBaudDivisor(14400).has_value());
    EXPECT_FALSE(FixedBaudDivisor(0).has_value());
}

TEST(BaudRequests, ArithmeticChoiceFollowsChipAndRate) {
    ExpectRequest(kBm, 0, 1000, 0x0BB8, 0x0000);
    ExpectRequest(k232R, 0, 100000, 0x001E, 0x0000);
    ExpectRequest(k232H, 0, 100000, 0x0078, 0x0200);
    // A high-speed chip below 1200 baud uses the 3 MHz words with three-bit
    // fractions and no high-speed flag; from 1201 the 12 MHz words.
    ExpectRequest(k232H, 0, 1199, 0xC9C6, 0x0000);
    ExpectRequest(k232H, 0, 1200, 0x09C4, 0x0000);
    ExpectRequest(k232H, 0, 1201, 0x6707, 0x0300);
    ExpectRequest(k232H, 0, 732, 0x1002, 0x0100);  // 12 MHz could not reach it
    // The AM arithmetic never uses the third fraction bit.
    ExpectRequest(kAm, 0, 1201, 0x09C2, 0x0000);                       // pct 91: rounded up
    ExpectRequest({"BM-0x0200", 0x0200, 0}, 0, 1201, 0xC9C1, 0x0001);  // 7/8
}

TEST(BaudRequests, UpperWordPlacementDependsOnWideIndex) {
    // Wide index: upper word in bits 8-9, selector in the low byte.
    ExpectRequest(k2232H, 2, 1201, 0x6707, 0x0302);
    ExpectRequest(k2232C, 2, 14400, 0x00D0, 0x0102);
    // Narrow index: upper word alone in bits 0-1, selector not added.
    ExpectRequest(k4222H3, 0, 1201, 0x6707, 0x0003);
    ExpectRequest(k232R, 0, 14400, 0x00D0, 0x0001);
    EXPECT_EQ(BaudRequestIndex(0x1700, 1, 3), 0x0003);
    EXPECT_EQ(BaudRequestIndex(0x0900, 0, 3), 0x0300);
    EXPECT_EQ(BaudRequestIndex(0x1800, 2, 2), 0x0202);
}

TEST(BaudRequests, HighSpeedSpecialWindowsAndTheirAcceptance) {
    ExpectRequest(k232H, 0, 12360000, 0x0000, 0x0200);
    ExpectRefused(k232H, 12360001);  // 3.0 % off, but not exactly
    ExpectRequest(k232H, 0, 11650486, 0x0000, 0x0200);
    ExpectRefused(k232H, 11650485);
    ExpectRefused(k232H, 11640000);  // inside the window, too far from 12 M

    ExpectRequest(k232H, 0, 8240000, 0x0001, 0x0200);
    ExpectRefused(k232H, 8240001);  // past the window: 0x4001 is 8 M too
    ExpectRequest(k232H, 0, 7766991, 0x0001, 0x0200);
    ExpectRefused(k232H, 7766990);
    ExpectRefused(k232H, 7760000);

    uint16_t d = 0, u = 0;
    EXPECT_EQ(calcDivisorHi(8240001, &d, &u), 1);
    EXPECT_EQ(d, 0x4001);
    EXPECT_EQ(calcBaudRateHi(d, u), 8000000u);
    EXPECT_EQ(calcDivisorHi(7760000, &d, &u), 1);
    EXPECT_EQ(d, 1);
    EXPECT_EQ(u, 2);
}

TEST(BaudRequests, ThreePercentIsAcceptedInclusively) {
    uint16_t d = 0, u = 0, err = 0;
    uint32_t actual = 0;
    int16_t higher = 0;
    // Produced 3,000,000: exactly 3 % below the request.
    EXPECT_EQ(Baud_getDivisor(3090000, &d, &u, &actual, &err, &higher, true), 1);
    EXPECT_EQ(err, 3);
    EXPECT_EQ(higher, 0);
    EXPECT_EQ(Baud_getDivisor(3090001, &d, &u, &actual, &err, &higher, true), 0);
    EXPECT_EQ(err, 3);
    EXPECT_EQ(Baud_getDivisor(3090300, &d, &u, &actual, &err, &higher, true), 0);  // 3.01 %
    // Produced above the request: 3,000,000 from 2,912,622 is 2.99998 % up.
    EXPECT_EQ(Baud_getDivisor(2912622, &d, &u, &actual, &err, &higher, false), 1);
    EXPECT_EQ(d, 0);
    EXPECT_EQ(err, 2);
    EXPECT_EQ(higher, 1);
    EXPECT_EQ(Baud_getDivisor(2912621, &d, &u, &actual, &err, &higher, false), 0);
}

TEST(BaudRequests, FractionPastTheLastStepRoundsTheIntegerUp) {
    // q = 100 throughout; pct 93 is 7/8 on three-bit chips, pct 94 rounds up.
    ExpectRequest(k232R, 0, 29721, 0xC064, 0x0001);
    ExpectRequest(k232R, 0, 29720, 0x0065, 0x0000);
    // Two-bit chips stop at 1/2 (pct 75) and round up from pct 76.
    ExpectRequest(kAm, 0, 29774, 0x4064, 0x0000);
    ExpectRequest(kAm, 0, 29773, 0x0065, 0x0000);

    uint16_t d = 0, u = 0;
    EXPECT_EQ(calcDivisor(29720, &d, &u, true), 0);
    EXPECT_EQ(d, 100);  // fraction dropped, the caller adds one
    EXPECT_EQ(u, 0);
    EXPECT_EQ(calcDivisor(2912622, &d, &u, true), 1);  // q 1, pct 2: full clock
    EXPECT_EQ(d, 0);
    EXPECT_EQ(calcDivisor(2000000, &d, &u, true), 1);  // q 1, pct 50: stays 1 + 1/2
    EXPECT_EQ(d, 0x4001);
    // Round-up on the 12 MHz side keeps the high-speed flag.
    EXPECT_EQ(calcDivisorHi(6100000, &d, &u), 0);
    EXPECT_EQ(u, 2);
    ExpectRequest(k232H, 0, 6100000, 0x0002, 0x0200);
}

// Word bits 15-14 and upper bit 0 for a fraction of n eighths.
struct FractionCode {
    uint16_t wordBits;
    uint16_t upperBit;
};
constexpr FractionCode kCodeForEighths[8] = {{0x0000, 0}, {0xC000, 0}, {0x8000, 0}, {0x0000, 1},
                                             {0x4000, 0}, {0x4000, 1}, {0x8000, 1}, {0xC000, 1}};

struct Threshold {
    uint32_t maxPct;
    int eighths;  // -1: round the integer part up
};

// Walks every rate whose integer divisor is 100 and checks that each pct
// lands on the fraction its band names.
void CheckFractionBands(uint32_t clock, const std::vector<Threshold> &bands, bool threeBit,
                        bool highSpeed) {
    std::vector<bool> seen(bands.size(), false);
    for (uint32_t baud = clock / 101 + 1; baud <= clock / 100; ++baud) {
        const uint32_t pct = (clock % baud) * 100 / baud;
        size_t band = 0;
        while (pct > bands[band].maxPct) ++band;
        seen[band] = true;
        uint16_t d = 0, u = 0;
        const int r = highSpeed ? calcDivisorHi(baud, &d, &u) : calcDivisor(baud, &d, &u, threeBit);
        const uint16_t flag = highSpeed ? 2 : 0;
        SCOPED_TRACE(testing::Message() << baud << " baud, pct " << pct);
        if (bands[band].eighths < 0) {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(d, 100);
            EXPECT_EQ(u, flag);
        } else {
            const FractionCode code = kCodeForEighths[bands[band].eighths];
            EXPECT_EQ(r, 1);
            EXPECT_EQ(d, 100 | code.wordBits);
            EXPECT_EQ(u, flag | code.upperBit);
        }
    }
    for (size_t i = 0; i < bands.size(); ++i) EXPECT_TRUE(seen[i]) << "band " << i;
}

TEST(BaudFractions, EachPctBandSelectsItsFraction) {
    const std::vector<Threshold> twoBit = {{6, 0}, {18, 1}, {37, 2}, {75, 4}, {99, -1}};
    const std::vector<Threshold> threeBit = {{6, 0},  {18, 1}, {31, 2}, {43, 3}, {56, 4},
                                             {68, 5}, {81, 6}, {93, 7}, {99, -1}};
    {
        SCOPED_TRACE("AM");
        CheckFractionBands(3000000, twoBit, false, false);
    }
    {
        SCOPED_TRACE("BM");
        CheckFractionBands(3000000, threeBit, true, false);
    }
    {
        SCOPED_TRACE("high-speed");
        CheckFractionBands(12000000, threeBit, true, true);
    }
}

TEST(BaudRequests, OutOfRangeAndOversizedRatesAreRefused) {
    uint16_t d = 0, u = 0, err = 0;
    uint32_t actual = 0;
    for (const Chip &chip : kEveryFamily) {
        ExpectRefused(chip, 0);
        ExpectRefused(chip, 183);
        ExpectRefused(chip, 0xFFFFFFFF);
        // A hundredfold of these wraps in 32 bits to within 3 % of the clock.
        ExpectRefused(chip, 45950000);
        ExpectRefused(chip, 45960000);
    }
    EXPECT_EQ(calcDivisor(0, &d, &u, true), -1);
    EXPECT_EQ(calcDivisor(183, &d, &u, false), -1);
    EXPECT_EQ(calcDivisorHi(0, &d, &u), 0xFFFF);
    EXPECT_EQ(calcDivisorHi(732, &d, &u), 0xFFFF);
    EXPECT_EQ(calcDivisorHi(733, &d, &u), 1);
    EXPECT_EQ(Baud_getDivisor(183, &d, &u, nullptr, nullptr, nullptr, true), 0xFFFF);
    EXPECT_EQ(Baud_getDivisorHi(0, &d, &u, nullptr, nullptr, nullptr), 0xFFFF);

    // An error of 65,536 % must not wrap to 0 % in the 16-bit report.
    EXPECT_EQ(Baud_getDivisor(1969080000, &d, &u, &actual, &err, nullptr, true), 0);
    EXPECT_EQ(actual, 3000000u);
    EXPECT_EQ(err, 0xFFFF);
}

TEST(BaudRequests, MissingDivisorOutputsAreRefusedNotDereferenced) {
    uint16_t v = 0x1234;
    EXPECT_EQ(Baud_getDivisor(9600, nullptr, &v, nullptr, nullptr, nullptr, true), 0);
    EXPECT_EQ(Baud_getDivisor(9600, &v, nullptr, nullptr, nullptr, nullptr, true), 0);
    EXPECT_EQ(Baud_getDivisorHi(9600, nullptr, &v, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Baud_getDivisorHi(9600, &v, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(v, 0x1234);
    // The plain calculations tolerate them and still report the outcome.
    EXPECT_EQ(calcDivisor(14400, nullptr, nullptr, true), 1);
    EXPECT_EQ(calcDivisorHi(14400, nullptr, nullptr), 1);
}

TEST(BaudReverse, EachFractionCodeAddsItsHundredths) {
    // Integer part 100 with every fraction code, three-bit chips.
    EXPECT_EQ(calcBaudRate(0x0064, 0, true), 30000u);
    EXPECT_EQ(calcBaudRate(0xC064, 0, true), 300000000u / 10012);
    EXPECT_EQ(calcBaudRate(0x8064, 0, true), 300000000u / 10025);
    EXPECT_EQ(calcBaudRate(0x0064, 1, true), 300000000u / 10037);
    EXPECT_EQ(calcBaudRate(0x4064, 0, true), 300000000u / 10050);
    EXPECT_EQ(calcBaudRate(0x4064, 1, true), 300000000u / 10062);
    EXPECT_EQ(calcBaudRate(0x8064, 1, true), 300000000u / 10075);
    EXPECT_EQ(calcBaudRate(0xC064, 1, true), 300000000u / 10087);
    // Two-bit chips ignore the upper word.
    EXPECT_EQ(calcBaudRate(0x0064, 1, false), 30000u);
    EXPECT_EQ(calcBaudRate(0x4064, 1, false), 300000000u / 10050);
    // 12 MHz: the high-speed flag is not a third fraction bit.
    EXPECT_EQ(calcBaudRateHi(0x0064, 2), 120000u);
    EXPECT_EQ(calcBaudRateHi(0x0064, 3), 1200000000u / 10037);
    EXPECT_EQ(calcBaudRateHi(0xC064, 2), 1200000000u / 10012);
}

TEST(BaudReverse, SpecialWordsAndFractionOnlyWords) {
    EXPECT_EQ(calcBaudRate(0, 0, false), 3000000u);
    EXPECT_EQ(calcBaudRate(0, 1, true), 3000000u);
    EXPECT_EQ(calcBaudRate(1, 0, true), 3000000u);  // divisor 1 is not special at 3 MHz
    EXPECT_EQ(calcBaudRate(0x4000, 0, false), 6000000u);
    EXPECT_EQ(calcBaudRateHi(0, 2), 12000000u);
    EXPECT_EQ(calcBaudRateHi(1, 2), 8000000u);
    EXPECT_EQ(calcBaudRateHi(1, 3), 8000000u);
    EXPECT_EQ(calcBaudRateHi(0x4000, 2), 24000000u);
    EXPECT_EQ(calcBaudRateHi(0x0002, 2), 6000000u);

    // Every word with every upper word has a finite, bounded rate.
    for (uint32_t word = 0; word <= 0xFFFF; ++word) {
        for (uint16_t upper = 0; upper <= 3; ++upper) {
            const auto w = static_cast<uint16_t>(word);
            for (bool three : {false, true}) {
                const uint32_t rate = calcBaudRate(w, upper, three);
                ASSERT_GE(rate, 183u) << std::hex << word;
                ASSERT_LE(rate, 25000000u) << std::hex << word;
            }
            const uint32_t rateHi = calcBaudRateHi(w, upper);
            ASSERT_GE(rateHi, 732u) << std::hex << word;
            ASSERT_LE(rateHi, 100000000u) << std::hex << word;
        }
    }
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

TEST(BaudSweep, AmArithmeticAcceptsExactlyTheRatesWithinThreePercent) {
    SweepArithmetic(Arithmetic::Am);
}

TEST(BaudSweep, BmArithmeticAcceptsExactlyTheRatesWithinThreePercent) {
    SweepArithmetic(Arithmetic::Bm);
}

TEST(BaudSweep, HighSpeedArithmeticAcceptsExactlyTheRatesWithinThreePercent) {
    SweepArithmetic(Arithmetic::Hi);
}

TEST(BaudSweep, EveryEmittedRequestDecodesToWithinThreePercent) {
    const std::vector<uint32_t> rates = SweepRates();
    for (const Chip &chip : kEveryFamily) {
        const bool wide = IsWideIndexChip(chip.bcdDevice);
        const uint8_t selector = IsMultiInterfaceChip(chip.bcdDevice) ? 1 : 0;
        const bool threeBit = IsBmOrLaterChip(chip.bcdDevice, chip.iSerialNumber);
        const bool highSpeed = IsHighSpeedChip(chip.bcdDevice);
        int emitted = 0;
        for (size_t i = 0; i < rates.size(); i += 7) {
            const uint32_t baud = rates[i];
            const std::optional<BaudRequest> request = Encode(chip, baud, selector);
            if (!request) continue;
            ++emitted;
            if (wide) {
                ASSERT_EQ(request->wIndex & 0xFF, selector) << chip.name << " " << baud;
            }
            const uint16_t upper = wide ? request->wIndex >> 8 : request->wIndex;
            ASSERT_LE(upper, 3) << chip.name << " " << baud;
            const bool usesHi = (upper & 2) != 0;
            ASSERT_EQ(usesHi, highSpeed && baud >= 1200 && !FixedBaudDivisor(baud))
                << chip.name << " " << baud;
            if (!threeBit) {
                ASSERT_EQ(upper, 0) << chip.name << " " << baud;
            }
            const uint32_t produced = usesHi ? calcBaudRateHi(request->wValue, upper)
                                             : calcBaudRate(request->wValue, upper, threeBit);
            ASSERT_TRUE(WithinThreePercent(baud, produced))
                << chip.name << " " << baud << " produced " << produced;
        }
        EXPECT_GT(emitted, 1000) << chip.name;
    }
}

}  // namespace
}  // namespace d2xx
