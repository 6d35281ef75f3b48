#include "chip.h"

#include <cstring>

namespace d2xx {

namespace {

// 0x02 is the one high byte shared by two chip generations: the older (AM)
// parts carry a serial-number string, the BM parts with that revision do not.
enum class BmRule : uint8_t { No, Yes, OnlyWithoutSerial };

struct ChipTraits {
    uint8_t high;        // bcdDevice >> 8
    bool multi;          // several interfaces, selector in line requests
    uint8_t indexWidth;  // interfaces counted by FT_Open's index, 0 = unreachable
    bool zlp;            // OUT packet size kept for the transmit path
    BmRule bm;           // latency timer, bit mode, three-bit fractions
    bool highSpeed;      // 12 MHz baud arithmetic
    bool wideIndex;      // divisor upper word in the high byte of wIndex
    bool vendorCmd;      // vendor command requests
};

using enum BmRule;

// One row per chip family that the library knows. A high byte that is not
// here gets kUnknownChip: single interface, not openable by index, AM
// arithmetic, no optional features.
constexpr ChipTraits kChips[] = {
    // high  multi  idx  zlp    bm                 hs     wide   vendor
    {0x02, false, 1, false, OnlyWithoutSerial, false, false, false},
    {0x04, false, 1, false, Yes, false, false, false},
    {0x05, true, 2, false, Yes, false, true, false},
    {0x06, false, 1, false, Yes, false, false, false},
    {0x07, true, 2, false, Yes, true, true, false},
    {0x08, true, 4, false, Yes, true, true, false},
    {0x09, false, 1, false, Yes, true, true, false},
    {0x10, false, 1, false, Yes, false, true, false},
    {0x14, false, 0, true, Yes, false, false, true},
    {0x15, true, 0, true, Yes, false, true, true},
    {0x16, true, 0, true, Yes, false, true, true},
    {0x17, false, 1, true, Yes, true, false, true},
    {0x18, true, 2, true, Yes, true, true, true},
    {0x19, true, 4, true, Yes, true, true, true},
    {0x21, false, 0, false, Yes, false, false, true},
};

constexpr ChipTraits kUnknownChip = {0x00, false, 0, false, No, false, false, false};

const ChipTraits &Traits(uint16_t bcdDevice) {
    const auto high = static_cast<uint8_t>(bcdDevice >> 8);
    for (const ChipTraits &row : kChips)
        if (row.high == high) return row;
    return kUnknownChip;
}

struct TypeRow {
    uint16_t bcdDevice;
    uint32_t type;
};

// Exact bcdDevice values and their FT_DEVICE numbers; 0x0200 is decided by
// the serial-number string before this table is consulted.
constexpr TypeRow kTypes[] = {
    {0x0400, 0},   // FT_DEVICE_BM
    {0x0500, 4},   // FT_DEVICE_2232C
    {0x0600, 5},   // FT_DEVICE_232R
    {0x0700, 6},   // FT_DEVICE_2232H
    {0x0800, 7},   // FT_DEVICE_4232H
    {0x0900, 8},   // FT_DEVICE_232H
    {0x1000, 9},   // FT_DEVICE_X_SERIES
    {0x1800, 10},  // FT_DEVICE_4222H_0
    {0x1900, 11},  // FT_DEVICE_4222H_1_2
    {0x1700, 12},  // FT_DEVICE_4222H_3
    {0x2100, 13},  // FT_DEVICE_4222_PROG
};

constexpr uint32_t kTypeAm = 1;
constexpr uint32_t kTypeBm = 0;
constexpr uint32_t kTypeUnknown = 3;

constexpr char kInterfaceLetters[] = "ABCDE";

// Copies name into dst (memmove: dst may be name), then the suffix, keeping
// dst terminated and within size.
bool AppendSuffix(char *dst, size_t size, const char *name, const char *suffix) {
    if (dst == nullptr || size == 0) return false;
    if (name == nullptr) {
        dst[0] = '\0';
        return false;
    }
    const size_t nameLen = std::strlen(name);
    const size_t suffixLen = std::strlen(suffix);
    const size_t room = size - 1;  // characters that fit before the terminator
    const size_t nameCopy = nameLen < room ? nameLen : room;
    std::memmove(dst, name, nameCopy);
    const size_t suffixRoom = room - nameCopy;
    const size_t suffixCopy = suffixLen < suffixRoom ? suffixLen : suffixRoom;
    std::memcpy(dst + nameCopy, suffix, suffixCopy);
    dst[nameCopy + suffixCopy] = '\0';
    return nameLen + suffixLen <= room;
}

}  // namespace

uint32_t GetDeviceType(uint16_t bcdDevice, uint8_t iSerialNumber) {
    if (bcdDevice == 0x0200) return iSerialNumber != 0 ? kTypeAm : kTypeBm;
    for (const TypeRow &row : kTypes)
        if (row.bcdDevice == bcdDevice) return row.type;
    return kTypeUnknown;
}

bool IsMultiInterfaceChip(uint16_t bcdDevice) {
    return Traits(bcdDevice).multi;
}

int OpenIndexWidth(uint16_t bcdDevice) {
    return Traits(bcdDevice).indexWidth;
}

bool KeepsZlpPacketSize(uint16_t bcdDevice) {
    return Traits(bcdDevice).zlp;
}

bool IsBmOrLaterChip(uint16_t bcdDevice, uint8_t iSerialNumber) {
    switch (Traits(bcdDevice).bm) {
        case Yes:
            return true;
        case OnlyWithoutSerial:
            return iSerialNumber == 0;
        case No:
            break;
    }
    return false;
}

bool IsHighSpeedChip(uint16_t bcdDevice) {
    return Traits(bcdDevice).highSpeed;
}

bool IsWideIndexChip(uint16_t bcdDevice) {
    return Traits(bcdDevice).wideIndex;
}

bool IsVendorCmdChip(uint16_t bcdDevice) {
    return Traits(bcdDevice).vendorCmd;
}

char InterfaceLetter(int usbInterface) {
    if (usbInterface < 0 || usbInterface >= static_cast<int>(sizeof kInterfaceLetters - 1))
        return '?';
    return kInterfaceLetters[usbInterface];
}

uint32_t LocationId(uint8_t bus, uint8_t address, bool multiInterface, uint32_t interfaceValue) {
    const uint32_t base = static_cast<uint32_t>(bus) * 256u + address;
    return multiInterface ? base * 16u + interfaceValue : base;
}

bool AppendSerialLetter(char *dst, size_t size, const char *name, char letter) {
    const char suffix[] = {letter, '\0'};
    return AppendSuffix(dst, size, name, suffix);
}

bool AppendDescriptionLetter(char *dst, size_t size, const char *name, char letter) {
    const char suffix[] = {' ', letter, '\0'};
    return AppendSuffix(dst, size, name, suffix);
}

}  // namespace d2xx
