#include "converter/wiegand_frames.h"

#include <bit>
#include <cstdio>

namespace ftdisim {

namespace {

// Wiegand bit k of a payload's data bytes (first bit = MSB of the first byte).
bool DataBit(std::span<const uint8_t> data, unsigned k) {
    return ((data[k / 8] >> (7 - k % 8)) & 1u) != 0;
}

void SetDataBit(std::span<uint8_t> data, unsigned k, bool v) {
    const uint8_t mask = static_cast<uint8_t>(0x80u >> (k % 8));
    if (v) {
        data[k / 8] |= mask;
    } else {
        data[k / 8] &= static_cast<uint8_t>(~mask);
    }
}

unsigned CountOnes(std::span<const uint8_t> data, unsigned first, unsigned last) {
    unsigned n = 0;
    for (unsigned k = first; k <= last; ++k) n += DataBit(data, k) ? 1 : 0;
    return n;
}

std::string Level(uint8_t v, const char *low, const char *high) {
    if (v == 0x00) return low;
    if (v == 0xFF) return high;
    char buf[24];
    std::snprintf(buf, sizeof buf, "invalid 0x%02X", v);
    return buf;
}

}  // namespace

size_t FrameLength(uint8_t code) {
    switch (code) {
        case kCmdWiegand:
            return 20;
        case kCmdTamper:
        case kCmdGpio0:
        case kCmdGpio1:
        case kCmdReset:
        case kCmdEepromDump:
            return 6;
        case kCmdAux:
            return 7;
        default:
            return 0;
    }
}

std::vector<uint8_t> BuildFrame(uint8_t code, std::span<const uint8_t> payload) {
    std::vector<uint8_t> f;
    f.reserve(payload.size() + 5);
    f.push_back(kSync);
    f.push_back(kSync);
    f.push_back(code);
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(kPad);
    f.push_back(kTerminator);
    return f;
}

std::optional<WiegandPayload> EncodeWiegand26(int facility, int badge, bool flip_even,
                                              bool flip_odd) {
    if (facility < 0 || facility > 255 || badge < 0 || badge > 65535) return std::nullopt;
    WiegandPayload p{};
    p[0] = 26;
    std::span<uint8_t> data(p.data() + 1, kWiegandDataBytes);
    for (unsigned i = 0; i < 8; ++i) SetDataBit(data, 1 + i, ((facility >> (7 - i)) & 1) != 0);
    for (unsigned i = 0; i < 16; ++i) SetDataBit(data, 9 + i, ((badge >> (15 - i)) & 1) != 0);
    // Bit 0 makes bits 0..12 even; bit 25 makes bits 13..25 odd.
    const bool even_bit = (CountOnes(data, 1, 12) % 2 == 1) != flip_even;
    const bool odd_bit = (CountOnes(data, 13, 24) % 2 == 0) != flip_odd;
    SetDataBit(data, 0, even_bit);
    SetDataBit(data, 25, odd_bit);
    return p;
}

std::optional<WiegandPayload> EncodeWiegandBits(unsigned bit_count,
                                                std::span<const uint8_t> packed) {
    if (bit_count > 255 || packed.size() > kWiegandDataBytes) return std::nullopt;
    WiegandPayload p{};
    p[0] = static_cast<uint8_t>(bit_count);
    for (size_t i = 0; i < packed.size(); ++i) p[1 + i] = packed[i];
    return p;
}

WiegandFrame DecodeWiegand(std::span<const uint8_t> payload) {
    WiegandFrame w;
    if (payload.empty()) return w;
    w.bit_count = payload[0];
    for (size_t i = 0; i < kWiegandDataBytes && 1 + i < payload.size(); ++i) {
        w.data[i] = payload[1 + i];
    }
    if (w.bit_count == 26) {
        const std::span<const uint8_t> data(w.data);
        w.facility = 0;
        for (unsigned k = 1; k <= 8; ++k)
            w.facility = (w.facility << 1) | (DataBit(data, k) ? 1 : 0);
        w.badge = 0;
        for (unsigned k = 9; k <= 24; ++k) w.badge = (w.badge << 1) | (DataBit(data, k) ? 1 : 0);
        w.even_parity_ok = CountOnes(data, 0, 12) % 2 == 0;
        w.odd_parity_ok = CountOnes(data, 13, 25) % 2 == 1;
    }
    return w;
}

std::string HexBytes(std::span<const uint8_t> bytes) {
    std::string s;
    s.reserve(bytes.size() * 3);
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
        s += buf;
    }
    return s;
}

std::string DescribeBytes(std::span<const uint8_t> bytes) {
    char buf[96];
    const bool framed = bytes.size() >= 5 && bytes[0] == kSync && bytes[1] == kSync &&
                        bytes[bytes.size() - 2] == kPad && bytes.back() == kTerminator;
    if (!framed) {
        std::snprintf(buf, sizeof buf, "unframed %zu bytes", bytes.size());
        return buf;
    }
    const uint8_t code = bytes[2];
    const std::span<const uint8_t> payload = bytes.subspan(3, bytes.size() - 5);
    if (code == kCmdEepromDump && bytes.size() > FrameLength(code)) {
        std::snprintf(buf, sizeof buf, "eeprom dump reply, %zu bytes", payload.size());
        return buf;
    }
    if (bytes.size() != FrameLength(code)) {
        std::snprintf(buf, sizeof buf, "frame code 0x%02X with unexpected length %zu", code,
                      bytes.size());
        return buf;
    }
    switch (code) {
        case kCmdWiegand: {
            const WiegandFrame w = DecodeWiegand(payload);
            if (w.bit_count != 26) {
                std::snprintf(buf, sizeof buf, "wiegand %u bits", w.bit_count);
                return buf;
            }
            const char *verdict = w.ParityOk()       ? "parity ok"
                                  : w.odd_parity_ok  ? "even parity wrong"
                                  : w.even_parity_ok ? "odd parity wrong"
                                                     : "both parities wrong";
            std::snprintf(buf, sizeof buf, "wiegand 26 bits facility %d badge %d %s", w.facility,
                          w.badge, verdict);
            return buf;
        }
        case kCmdTamper:
            return "tamper " + Level(payload[0], "off", "on");
        case kCmdGpio0:
            return "gpio0 " + Level(payload[0], "low", "high");
        case kCmdGpio1:
            return "gpio1 " + Level(payload[0], "low", "high");
        case kCmdReset:
            return "reset";
        case kCmdEepromDump:
            return "eeprom dump request";
        default:
            std::snprintf(buf, sizeof buf, "frame code 0x%02X", code);
            return buf;
    }
}

uint8_t GarbleByte(uint8_t b) {
    // Sampled at the wrong rate, the byte arrives shifted with the idle line
    // read into its top bit. Any result has bit 7 set, so it is never a sync
    // byte or a terminator.
    return static_cast<uint8_t>(0x80u | (std::rotr(b, 3) >> 1));
}

}  // namespace ftdisim
