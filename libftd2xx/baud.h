// Baud-rate divisor arithmetic of the set-baud-rate request (code 3).
//
// The chip divides a base clock by a divisor with a 14-bit integer part and
// a fraction in eighths. Wire format: the divisor word (wValue) holds the
// integer part in bits 0-13 and two fraction bits in bits 14-15; the upper
// word holds the third fraction bit in bit 0 (BM-or-later chips only) and
// the high-speed flag in bit 1 (12 MHz clock instead of 3 MHz).
//
//   fraction   word bits 15-14   upper bit 0   hundredths in the reverse
//   0          00                0             0
//   1/8        11                0             12
//   1/4        10                0             25
//   3/8        00                1             37
//   1/2        01                0             50
//   5/8        01                1             62
//   3/4        10                1             75
//   7/8        11                1             87
//
// AM chips only know 0, 1/8, 1/4 and 1/2. An integer part of 0 means the
// full clock (3 or 12 Mbaud); with the high-speed flag the word 1 means
// 8 Mbaud.
//
// All divisions truncate. pct is the truncated hundredths left over by the
// integer divisor: ((clock mod baud) * 100) / baud.
#pragma once

#include <cstdint>
#include <optional>

namespace d2xx {

// 3 MHz arithmetic. Returns 1 when the divisor is complete, 0 when the
// integer part must be rounded up (the fraction would be 1), -1 when baud is
// 0 or below 184 (integer part beyond 14 bits). Rates above 3 Mbaud and those
// within pct 3 of it give the full-clock divisor 0.
int16_t calcDivisor(uint32_t baud, uint16_t *divisor, uint16_t *upper, bool threeBitFraction);

// The rate the chip produces for a 3 MHz divisor. Never divides by zero: only
// the word 0 has neither an integer part nor a fraction, and it is the full
// clock.
uint32_t calcBaudRate(uint16_t divisor, uint16_t upper, bool threeBitFraction);

// 12 MHz arithmetic (always three-bit fractions, the high-speed flag set in
// *upper). 11.64 to 12.36 Mbaud select the full clock and 7.76 to 8.24 Mbaud
// the 8 Mbaud word; the acceptance test decides whether those are close
// enough. Returns 1, 0 (round up) or 0xFFFF (baud 0 or below 733).
uint16_t calcDivisorHi(uint32_t baud, uint16_t *divisor, uint16_t *upper);

// The rate a high-speed chip produces for a 12 MHz divisor.
uint32_t calcBaudRateHi(uint16_t divisor, uint16_t upper);

// Chooses the divisor for baud and checks it: 1 when the produced rate is
// within 3.00 % of the request (inclusive), 0 when it is not or when either
// divisor pointer is null, 0xFFFF when baud is out of range. The optional
// outputs (may be null) receive the produced rate, the truncated error
// percentage (saturated at 0xFFFF) and whether the produced rate is not below
// the request.
uint16_t Baud_getDivisor(uint32_t baud, uint16_t *divisor, uint16_t *upper, uint32_t *actual,
                         uint16_t *errorPercent, int16_t *actualIsHigher, bool threeBitFraction);
uint16_t Baud_getDivisorHi(uint32_t baud, uint16_t *divisor, uint16_t *upper, uint32_t *actual,
                           uint16_t *errorPercent, int16_t *actualIsHigher);

// The divisor word of the thirteen common rates that every chip takes from a
// fixed table (3 MHz words, upper word 0, high-speed chips included), or
// nullopt for any other rate.
std::optional<uint16_t> FixedBaudDivisor(uint32_t baud);

// wIndex of request 3: wide-index chips take the upper word in the high byte
// and the interface selector in the low byte; the others take the upper word
// alone in bits 0-1.
uint16_t BaudRequestIndex(uint16_t bcdDevice, uint8_t interfaceSelector, uint16_t upper);

struct BaudRequest {
    uint16_t wValue;
    uint16_t wIndex;
};

// The set-baud-rate request a device needs for baud: the fixed table first,
// then the 12 MHz arithmetic on high-speed chips from 1200 baud, else the
// 3 MHz arithmetic (three-bit fractions on BM-or-later chips). nullopt when
// the rate is out of range or cannot be met within 3 %: nothing may be sent.
std::optional<BaudRequest> EncodeBaudRate(uint16_t bcdDevice, uint8_t iSerialNumber,
                                          uint8_t interfaceSelector, uint32_t baud);

}  // namespace d2xx
