#include "baud.h"

#include <algorithm>
#include <array>

#include "chip.h"

namespace d2xx {

namespace {

constexpr uint32_t kClock = 3000000;        // 3 MHz arithmetic, full-clock rate
constexpr uint32_t kClockHi = 12000000;     // 12 MHz arithmetic, full-clock rate
constexpr uint32_t kRateHiWord1 = 8000000;  // high-speed word 1
constexpr uint16_t kIntegerMask = 0x3FFF;
constexpr uint32_t kIntegerLimit = 0x4000;  // first integer part that does not fit
constexpr uint16_t kHighSpeedFlag = 0x0002;

// Requests within 3 % of 12 or 8 Mbaud take those special divisors outright;
// whether that is close enough is left to the acceptance test, which lets
// through only part of the lower ends.
constexpr uint32_t kWindow12Low = 11640000, kWindow12High = 12360000;
constexpr uint32_t kWindow8Low = 7760000, kWindow8High = 8240000;

struct FractionStep {
    uint16_t maxPct;    // highest pct that selects this fraction
    uint16_t wordBits;  // bits 14-15 of the divisor word
    uint16_t upperBit;  // third fraction bit, upper word bit 0
};

// Past the last step the fraction would be a whole unit: the integer part is
// rounded up with no fraction instead.
constexpr std::array<FractionStep, 4> kTwoBitSteps = {{
    {6, 0x0000, 0},   // 0
    {18, 0xC000, 0},  // 1/8
    {37, 0x8000, 0},  // 1/4
    {75, 0x4000, 0},  // 1/2
}};

constexpr std::array<FractionStep, 8> kThreeBitSteps = {{
    {6, 0x0000, 0},   // 0
    {18, 0xC000, 0},  // 1/8
    {31, 0x8000, 0},  // 1/4
    {43, 0x0000, 1},  // 3/8
    {56, 0x4000, 0},  // 1/2
    {68, 0x4000, 1},  // 5/8
    {81, 0x8000, 1},  // 3/4
    {93, 0xC000, 1},  // 7/8
}};

// Hundredths the reverse computation adds for word bits 15-14 (index 0-3),
// without and with the third fraction bit.
constexpr std::array<uint32_t, 4> kHundredthsTwoBit = {0, 50, 25, 12};
constexpr std::array<uint32_t, 4> kHundredthsThreeBit = {37, 62, 75, 87};

struct FixedRate {
    uint32_t baud;
    uint16_t word;
};

constexpr std::array<FixedRate, 13> kFixedRates = {{
    {300, 0x2710},
    {600, 0x1388},
    {1200, 0x09C4},
    {2400, 0x04E2},
    {4800, 0x0271},
    {9600, 0x4138},
    {19200, 0x809C},
    {38400, 0xC04E},
    {57600, 0x0034},
    {115200, 0x001A},
    {230400, 0x000D},
    {460800, 0x4006},
    {921600, 0x8003},
}};

// Below 100 whenever baud divides clock at least once; at most
// 3,000,000 * 100 or 12,000,000 * 100 before the division, so 32 bits hold it.
uint16_t Pct(uint32_t clock, uint32_t baud) {
    return static_cast<uint16_t>(((clock % baud) * 100u) / baud);
}

// ORs the fraction that pct selects into divisor/upper. false when pct is past
// every step (the caller rounds up).
template <size_t N>
bool ApplyFraction(const std::array<FractionStep, N> &steps, uint16_t pct, uint16_t &divisor,
                   uint16_t &upper) {
    for (const FractionStep &step : steps) {
        if (pct <= step.maxPct) {
            divisor |= step.wordBits;
            upper |= step.upperBit;
            return true;
        }
    }
    return false;
}

uint32_t Hundredths(uint16_t divisor, bool thirdBit) {
    const unsigned code = divisor >> 14;
    const uint32_t integer = static_cast<uint32_t>(divisor & kIntegerMask) * 100u;
    return integer + (thirdBit ? kHundredthsThreeBit[code] : kHundredthsTwoBit[code]);
}

void Store(uint16_t *out, uint16_t value) {
    if (out) *out = value;
}

// calcDivisor and calcDivisorHi build their result here and store it through
// whichever output pointers are non-null.
struct DivisorOut {
    uint16_t divisor = 0;
    uint16_t upper = 0;
};

template <typename Calc, typename Rate>
uint16_t GetCheckedDivisor(uint32_t baud, uint16_t *divisor, uint16_t *upper, uint32_t *actual,
                           uint16_t *errorPercent, int16_t *actualIsHigher, Calc calc, Rate rate) {
    if (divisor == nullptr || upper == nullptr) return 0;
    const int r = calc(baud, divisor, upper);
    if (r < 0) return 0xFFFF;
    // The integer part never exceeds 16,371 for an in-range rate, so the
    // increment cannot carry into the fraction bits.
    if (r == 0) *divisor = static_cast<uint16_t>((*divisor & kIntegerMask) + 1);
    const uint32_t produced = rate(*divisor, *upper);

    // 64 bits: baud may approach 2^32, whose hundredfold wraps in 32 bits and
    // could then pass for a near match.
    const uint64_t hi = std::max(baud, produced);
    const uint64_t lo = std::min(baud, produced);  // >= 183: produced is never 0
    const uint64_t error = (hi * 100) / lo - 100;
    const uint64_t remainder = ((hi % lo) * 100) % lo;

    if (actual) *actual = produced;
    // The reported percentage saturates rather than wrapping to a small one.
    Store(errorPercent, static_cast<uint16_t>(std::min<uint64_t>(error, 0xFFFF)));
    if (actualIsHigher) *actualIsHigher = produced >= baud ? 1 : 0;

    // Within 3.00 % inclusive: 100 * hi <= 103 * lo.
    return (error <= 2 || (error == 3 && remainder == 0)) ? 1 : 0;
}

}  // namespace

int16_t calcDivisor(uint32_t baud, uint16_t *divisor, uint16_t *upper, bool threeBitFraction) {
    if (baud == 0) return -1;
    const uint32_t q = kClock / baud;
    if (q >= kIntegerLimit) return -1;

    DivisorOut out;
    out.divisor = static_cast<uint16_t>(q);
    const uint16_t pct = Pct(kClock, baud);
    if (out.divisor == 1 && pct <= 3) out.divisor = 0;

    int16_t result = 1;
    if (out.divisor != 0) {
        const bool fitted = threeBitFraction
                                ? ApplyFraction(kThreeBitSteps, pct, out.divisor, out.upper)
                                : ApplyFraction(kTwoBitSteps, pct, out.divisor, out.upper);
        if (!fitted) result = 0;
    }
    Store(divisor, out.divisor);
    Store(upper, out.upper);
    return result;
}

uint32_t calcBaudRate(uint16_t divisor, uint16_t upper, bool threeBitFraction) {
    if (divisor == 0) return kClock;
    // Nonzero divisor: an integer part of 0 leaves fraction bits that add at
    // least 12 hundredths, so h > 0.
    const uint32_t h = Hundredths(divisor, threeBitFraction && upper != 0);
    return 300000000u / h;
}

uint16_t calcDivisorHi(uint32_t baud, uint16_t *divisor, uint16_t *upper) {
    if (baud == 0) return 0xFFFF;
    const uint32_t q = kClockHi / baud;
    if (q >= kIntegerLimit) return 0xFFFF;

    DivisorOut out;
    out.upper = kHighSpeedFlag;
    uint16_t result = 1;
    if (baud >= kWindow12Low && baud <= kWindow12High) {
        out.divisor = 0;
    } else if (baud >= kWindow8Low && baud <= kWindow8High) {
        out.divisor = 1;
    } else {
        out.divisor = static_cast<uint16_t>(q);
        const uint16_t pct = Pct(kClockHi, baud);
        if (out.divisor == 1 && pct <= 3) out.divisor = 0;
        if (out.divisor != 0 && !ApplyFraction(kThreeBitSteps, pct, out.divisor, out.upper))
            result = 0;
    }
    Store(divisor, out.divisor);
    Store(upper, out.upper);
    return result;
}

uint32_t calcBaudRateHi(uint16_t divisor, uint16_t upper) {
    if (divisor == 0) return kClockHi;
    if (divisor == 1) return kRateHiWord1;
    // As in calcBaudRate, a nonzero word always gives h > 0.
    const uint32_t h = Hundredths(divisor, (upper & ~kHighSpeedFlag) != 0);
    return 1200000000u / h;
}

uint16_t Baud_getDivisor(uint32_t baud, uint16_t *divisor, uint16_t *upper, uint32_t *actual,
                         uint16_t *errorPercent, int16_t *actualIsHigher, bool threeBitFraction) {
    return GetCheckedDivisor(
        baud, divisor, upper, actual, errorPercent, actualIsHigher,
        [threeBitFraction](uint32_t b, uint16_t *d, uint16_t *u) {
            return static_cast<int>(calcDivisor(b, d, u, threeBitFraction));
        },
        [threeBitFraction](uint16_t d, uint16_t u) {
            return calcBaudRate(d, u, threeBitFraction);
        });
}

uint16_t Baud_getDivisorHi(uint32_t baud, uint16_t *divisor, uint16_t *upper, uint32_t *actual,
                           uint16_t *errorPercent, int16_t *actualIsHigher) {
    return GetCheckedDivisor(
        baud, divisor, upper, actual, errorPercent, actualIsHigher,
        [](uint32_t b, uint16_t *d, uint16_t *u) {
            const uint16_t r = calcDivisorHi(b, d, u);
            return r == 0xFFFF ? -1 : static_cast<int>(r);
        },
        calcBaudRateHi);
}

std::optional<uint16_t> FixedBaudDivisor(uint32_t baud) {
    for (const FixedRate &rate : kFixedRates)
        if (rate.baud == baud) return rate.word;
    return std::nullopt;
}

uint16_t BaudRequestIndex(uint16_t bcdDevice, uint8_t interfaceSelector, uint16_t upper) {
    if (IsWideIndexChip(bcdDevice))
        return static_cast<uint16_t>(static_cast<uint16_t>(upper << 8) | interfaceSelector);
    return upper;
}

std::optional<BaudRequest> EncodeBaudRate(uint16_t bcdDevice, uint8_t iSerialNumber,
                                          uint8_t interfaceSelector, uint32_t baud) {
    uint16_t divisor = 0;
    uint16_t upper = 0;
    if (const std::optional<uint16_t> fixed = FixedBaudDivisor(baud)) {
        divisor = *fixed;
    } else {
        const uint16_t result =
            IsHighSpeedChip(bcdDevice) && baud >= 1200
                ? Baud_getDivisorHi(baud, &divisor, &upper, nullptr, nullptr, nullptr)
                : Baud_getDivisor(baud, &divisor, &upper, nullptr, nullptr, nullptr,
                                  IsBmOrLaterChip(bcdDevice, iSerialNumber));
        if (result != 1) return std::nullopt;
    }
    return BaudRequest{divisor, BaudRequestIndex(bcdDevice, interfaceSelector, upper)};
}

}  // namespace d2xx
