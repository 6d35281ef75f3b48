// The converter's link frames: layout, command codes, lengths, the 26-bit
// Wiegand payload, and the one-line descriptions used in transcripts.
//
// Frame layout, both directions: 0x55 0x55, command code, payload, 0x00, 0x0D.
// Every command code has one fixed total length; the largest frame (Wiegand)
// is 20 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ftdisim {

inline constexpr uint8_t kSync = 0x55;
inline constexpr uint8_t kPad = 0x00;
inline constexpr uint8_t kTerminator = 0x0D;
inline constexpr size_t kMaxFrameLength = 20;

enum Command : uint8_t {
    kCmdWiegand = 0x01,
    kCmdTamper = 0x02,
    kCmdGpio0 = 0x03,
    kCmdGpio1 = 0x04,
    kCmdAux = 0x09,  // 2-byte payload; no operation of the converter uses it
    kCmdReset = 0x0A,
    kCmdEepromDump = 0x0B,
};

// Wiegand payload: bit count, then 14 bytes holding the bits first bit first
// (bit k is bit 7 - k % 8 of data byte k / 8).
inline constexpr size_t kWiegandDataBytes = 14;
inline constexpr size_t kWiegandMaxBits = kWiegandDataBytes * 8;
using WiegandPayload = std::array<uint8_t, 1 + kWiegandDataBytes>;

// Total length of a frame carrying `code`, or 0 for a code the link does not
// define. The EEPROM dump code answers with its own longer reply (see
// EepromReply) which is never parsed by the converter.
size_t FrameLength(uint8_t code);

// 0x55 0x55 code payload 0x00 0x0D.
std::vector<uint8_t> BuildFrame(uint8_t code, std::span<const uint8_t> payload);

// The 26-bit payload for a badge: even parity over bits 1..12 in bit 0,
// facility code in bits 1..8, badge number in bits 9..24, odd parity over
// bits 13..24 in bit 25. `flip_even`/`flip_odd` invert the respective parity
// bit to produce a deliberately wrong frame. Ranges: facility 0..255, badge
// 0..65535 (std::nullopt outside them).
std::optional<WiegandPayload> EncodeWiegand26(int facility, int badge, bool flip_even = false,
                                              bool flip_odd = false);

// Any bit count: `packed` holds the bits first bit first; bits past
// `bit_count` and bytes past `packed` are sent as given / as zero. The count
// byte is sent as is (a converter reports what it clocked in), so counts above
// kWiegandMaxBits are allowed; `packed` must fit the 14 data bytes.
std::optional<WiegandPayload> EncodeWiegandBits(unsigned bit_count,
                                                std::span<const uint8_t> packed);

// A Wiegand frame as the converter understood it.
struct WiegandFrame {
    uint8_t bit_count = 0;
    std::array<uint8_t, kWiegandDataBytes> data{};
    // Meaningful only when bit_count == 26.
    int facility = -1;
    int badge = -1;
    bool even_parity_ok = false;
    bool odd_parity_ok = false;

    bool ParityOk() const { return even_parity_ok && odd_parity_ok; }
};

// Decodes the payload of a 0x01 frame (15 bytes).
WiegandFrame DecodeWiegand(std::span<const uint8_t> payload);

// A short human-readable description of one frame or raw chunk, for
// transcripts: "reset request", "wiegand 26 bits facility 12 badge 345 parity
// ok", "gpio0 high", "unrecognised 3 bytes", ...
std::string DescribeBytes(std::span<const uint8_t> bytes);

// "55 55 0A 00 00 0D"
std::string HexBytes(std::span<const uint8_t> bytes);

// What a UART clocking at 9600 8N1 makes of a byte sent at other settings
// (and what the host's UART makes of the converter's bytes at other settings).
// Deterministic, and the result never is 0x55 or 0x0D, so a garbled stream
// can never form or complete a frame.
uint8_t GarbleByte(uint8_t b);

}  // namespace ftdisim
