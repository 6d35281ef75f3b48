// Wiegand frames as the converter carries them: a bit count followed by the
// Wiegand bits, first bit in the most significant bit of the first data byte.
// Pure functions, no I/O.
#ifndef WG_WIEGAND_H
#define WG_WIEGAND_H

#include <array>
#include <cstdint>

// Payload of a command-0x01 frame: bit count, then 14 data bytes.
inline constexpr unsigned int kWiegandPayloadLength = 15;
inline constexpr unsigned int kWiegandDataBytes = kWiegandPayloadLength - 1;
using WiegandPayload = std::array<unsigned char, kWiegandPayloadLength>;

// The 26-bit frame: even parity over bits 1..12, facility code in bits 1..8,
// badge number in bits 9..24, odd parity over bits 13..24 in bit 25. Only the
// low 8 bits of the facility code and the low 16 bits of the badge number are
// used, so a value out of range never spills into the parity bits.
WiegandPayload BuildWiegand26Payload(long facility, long badge);

// The decoding value of a received Wiegand report: the first data bytes
// (bitCount / 8 rounded up, at most 4) with the first byte most significant.
// For a 26-bit report, Wiegand bit k is bit 31 - k of the value.
std::uint32_t WiegandValue(unsigned int bitCount, const unsigned char *data);

struct Wiegand26 {
    unsigned int facility;  // Wiegand bits 1..8
    unsigned int badge;     // Wiegand bits 9..24
    bool evenParityOk;      // bits 0..12 hold an even number of ones
    bool oddParityOk;       // bits 13..25 hold an odd number of ones
};

Wiegand26 DecodeWiegand26(std::uint32_t value);

// The verdict line printed for a decoded 26-bit report.
const char *ParityVerdict(const Wiegand26 &decoded);

#endif  // WG_WIEGAND_H
