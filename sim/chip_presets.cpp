// Chip families: presets, what each bcdDevice implies for the firmware, and
// the baud-rate divisor as the chip's UART clock divider reads it.
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "ftdisim.h"

namespace ftdisim {
namespace {

ChipSpec Make(uint16_t bcd, uint16_t pid, const char *product, int interfaces, bool high_speed) {
    ChipSpec s;
    s.bcd_device = bcd;
    s.product_id = pid;
    s.product = product;
    s.interfaces = interfaces;
    s.high_speed = high_speed;
    return s;
}

bool HighByteIn(uint16_t bcd, std::initializer_list<uint8_t> set) {
    const uint8_t hi = static_cast<uint8_t>(bcd >> 8);
    return std::find(set.begin(), set.end(), hi) != set.end();
}

std::string Lower(std::string_view s) {
    std::string r(s);
    for (char &c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

struct Preset {
    const char *name;
    ChipSpec (*make)();
};

const Preset kPresets[] = {
    {"FT232AM", ChipSpec::FT232AM},     {"FT232BM-noserial", ChipSpec::FT232BM_NoSerial},
    {"FT232BM", ChipSpec::FT232BM},     {"FT2232C", ChipSpec::FT2232C},
    {"FT232R", ChipSpec::FT232R},       {"FT2232H", ChipSpec::FT2232H},
    {"FT4232H", ChipSpec::FT4232H},     {"FT232H", ChipSpec::FT232H},
    {"FT-X", ChipSpec::FT_X},           {"FT4222H-3", ChipSpec::FT4222H_3},
    {"FT4222H-0", ChipSpec::FT4222H_0}, {"FT4222H-1-2", ChipSpec::FT4222H_1_2},
};

}  // namespace

ChipSpec ChipSpec::FT232AM() {
    return Make(0x0200, 0x6001, "USB <-> Serial", 1, false);
}
ChipSpec ChipSpec::FT232BM_NoSerial() {
    ChipSpec s = Make(0x0200, 0x6001, "USB <-> Serial", 1, false);
    s.serial.reset();
    return s;
}
ChipSpec ChipSpec::FT232BM() {
    return Make(0x0400, 0x6001, "USB <-> Serial", 1, false);
}
ChipSpec ChipSpec::FT2232C() {
    return Make(0x0500, 0x6010, "Dual RS232", 2, false);
}
ChipSpec ChipSpec::FT232R() {
    return Make(0x0600, 0x6001, "FT232R USB UART", 1, false);
}
ChipSpec ChipSpec::FT2232H() {
    return Make(0x0700, 0x6010, "Dual RS232-HS", 2, true);
}
ChipSpec ChipSpec::FT4232H() {
    return Make(0x0800, 0x6011, "Quad RS232-HS", 4, true);
}
ChipSpec ChipSpec::FT232H() {
    return Make(0x0900, 0x6014, "Single RS232-HS", 1, true);
}
ChipSpec ChipSpec::FT_X() {
    return Make(0x1000, 0x6015, "FT230X Basic UART", 1, false);
}
ChipSpec ChipSpec::FT4222H_3() {
    return Make(0x1700, 0x601C, "FT4222", 1, true);
}
ChipSpec ChipSpec::FT4222H_0() {
    return Make(0x1800, 0x601C, "FT4222", 2, true);
}
ChipSpec ChipSpec::FT4222H_1_2() {
    return Make(0x1900, 0x601C, "FT4222", 4, true);
}
ChipSpec ChipSpec::Raw(uint16_t bcd_device) {
    return Make(bcd_device, 0x6001, "USB Serial Device", 1, false);
}

std::optional<ChipSpec> ChipSpec::ByName(std::string_view name) {
    const std::string wanted = Lower(name);
    for (const Preset &p : kPresets)
        if (Lower(p.name) == wanted) return p.make();
    if (wanted.rfind("raw:", 0) == 0) {
        const std::string num = wanted.substr(4);
        char *end = nullptr;
        unsigned long v = strtoul(num.c_str(), &end, 0);
        if (!num.empty() && *end == '\0' && v <= 0xFFFF) return Raw(static_cast<uint16_t>(v));
    }
    return std::nullopt;
}

std::vector<std::string> ChipSpec::FamilyNames() {
    std::vector<std::string> names;
    for (const Preset &p : kPresets) names.emplace_back(p.name);
    return names;
}

ChipTraits ChipTraits::For(uint16_t bcd, bool has_serial) {
    ChipTraits t{};
    t.bm_or_later = HighByteIn(bcd, {0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x10, 0x14, 0x15, 0x16,
                                     0x17, 0x18, 0x19, 0x21}) ||
                    ((bcd >> 8) == 0x02 && !has_serial);
    t.high_speed_baud = HighByteIn(bcd, {0x07, 0x08, 0x09, 0x17, 0x18, 0x19});
    t.wide_index = HighByteIn(bcd, {0x05, 0x07, 0x08, 0x09, 0x10, 0x15, 0x16, 0x18, 0x19});
    t.vendor_commands = HighByteIn(bcd, {0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x21});
    // The bit modes each family's firmware runs: BM chips the first
    // (asynchronous) bit-bang only; the dual chips, the quad high-speed chip
    // (on its first two interfaces) and the single high-speed chip the MPSSE;
    // the chips with CBUS pins (R, single high-speed, X) CBUS bit-bang.
    switch (bcd >> 8) {
        case 0x02:
            t.bit_modes = t.bm_or_later ? 0x01 : 0x00;
            break;
        case 0x04:
            t.bit_modes = 0x01;
            break;
        case 0x05:
        case 0x07:
        case 0x08:
            t.bit_modes = 0x01 | 0x02 | 0x04;
            t.mpsse_interfaces = 2;
            break;
        case 0x09:
            t.bit_modes = 0x01 | 0x02 | 0x04 | 0x20;
            t.mpsse_interfaces = 1;
            break;
        case 0x06:
        case 0x10:
            t.bit_modes = 0x01 | 0x04 | 0x20;
            break;
        default:
            t.bit_modes = 0;
            break;
    }
    t.mpsse_high_speed = HighByteIn(bcd, {0x07, 0x08, 0x09});
    return t;
}

// The UART divides its clock (3 MHz, or 12 MHz with the high-speed flag on
// high-speed chips) by integer + eighths. The fraction is coded in wValue
// bits 14-15 plus, on BM-or-later chips, upper-word bit 0:
//   bits 15-14:      00   01   10   11
//   upper bit 0 = 0:  0   4/8  2/8  1/8
//   upper bit 0 = 1: 3/8  5/8  6/8  7/8
// A zero integer part is the full clock. The integer part 1 alone runs at the
// same rate as 1 + 1/2 (2 Mbaud at 3 MHz, 8 Mbaud at 12 MHz): the divider
// has no sub-integer steps between 1 and 2.
uint32_t DecodeBaudRate(const ChipTraits &traits, uint16_t wValue, uint16_t upper) {
    const bool hs = traits.high_speed_baud && (upper & 0x2) != 0;
    const uint64_t clock = hs ? 12'000'000 : 3'000'000;
    const uint32_t integer = wValue & 0x3FFF;
    const unsigned code = wValue >> 14;
    const bool third_bit = traits.bm_or_later && (upper & 0x1) != 0;
    static constexpr unsigned kLow[4] = {0, 4, 2, 1};
    static constexpr unsigned kHigh[4] = {3, 5, 6, 7};
    unsigned eighths = third_bit ? kHigh[code] : kLow[code];
    if (integer == 0) return static_cast<uint32_t>(clock);
    if (integer == 1 && eighths == 0) eighths = 4;
    const uint64_t divisor8 = integer * 8ull + eighths;
    return static_cast<uint32_t>(clock * 8 / divisor8);  // truncated to whole baud
}

}  // namespace ftdisim
