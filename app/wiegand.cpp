#include "wiegand.h"

#include <bit>

namespace {

// Wiegand bit k of a payload lives in data byte k / 8 (payload byte 1 + k / 8).
int WiegandBit(const WiegandPayload &payload, unsigned int k) {
    return (payload[1 + k / 8] >> (7 - k % 8)) & 1;
}

void SetWiegandBit(WiegandPayload &payload, unsigned int k) {
    payload[1 + k / 8] |= static_cast<unsigned char>(0x80 >> (k % 8));
}

int CountOnes(const WiegandPayload &payload, unsigned int first, unsigned int last) {
    int ones = 0;
    for (unsigned int k = first; k <= last; ++k) ones += WiegandBit(payload, k);
    return ones;
}

}  // namespace

WiegandPayload BuildWiegand26Payload(long facility, long badge) {
    const auto fc = static_cast<unsigned int>(facility) & 0xFFu;
    const auto id = static_cast<unsigned int>(badge) & 0xFFFFu;

    WiegandPayload payload{};
    payload[0] = 26;
    payload[1] = static_cast<unsigned char>(fc >> 1);
    payload[2] = static_cast<unsigned char>(((fc & 1u) << 7) | (id >> 9));
    payload[3] = static_cast<unsigned char>((id >> 1) & 0xFFu);
    payload[4] = static_cast<unsigned char>((id & 1u) << 7);

    // The parity bits are still 0, so each count covers only the data bits.
    if (CountOnes(payload, 0, 12) % 2 != 0) SetWiegandBit(payload, 0);
    if (CountOnes(payload, 13, 25) % 2 == 0) SetWiegandBit(payload, 25);
    return payload;
}

std::uint32_t WiegandValue(unsigned int bitCount, const unsigned char *data) {
    unsigned int bytes = (bitCount + 7) / 8;
    if (bytes > 4) bytes = 4;
    std::uint32_t value = 0;
    for (unsigned int i = 0; i < bytes; ++i) value = (value << 8) | data[i];
    return value;
}

Wiegand26 DecodeWiegand26(std::uint32_t value) {
    Wiegand26 decoded{};
    decoded.facility = (value >> 23) & 0xFFu;
    decoded.badge = (value >> 7) & 0xFFFFu;
    decoded.evenParityOk = std::popcount((value >> 19) & 0x1FFFu) % 2 == 0;
    decoded.oddParityOk = std::popcount((value >> 6) & 0x1FFFu) % 2 == 1;
    return decoded;
}

const char *ParityVerdict(const Wiegand26 &decoded) {
    if (decoded.evenParityOk && decoded.oddParityOk) return "Parity Bits OK.";
    if (decoded.oddParityOk) return "Parity Bit Even Error.";
    if (decoded.evenParityOk) return "Parity Bit Odd Error.";
    return "Parity Bits Error.";
}
