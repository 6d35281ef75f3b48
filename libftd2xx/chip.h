// What a chip is and how it is addressed, decided from its USB device
// descriptor alone. The whole 16-bit bcdDevice names the published device
// type; every behavioural decision (interfaces, index counting, baud
// arithmetic, feature requests, transmit packet size) looks only at its high
// byte. The groups overlap irregularly, so each one is an explicit table in
// chip.cpp rather than a range test.
#pragma once

#include <cstddef>
#include <cstdint>

namespace d2xx {

// The FT_DEVICE value for a descriptor. 0x0200 is an AM chip when it carries a
// serial-number string and a BM chip when it does not; any value not in the
// table is FT_DEVICE_UNKNOWN (3). FT_DEVICE_100AX (2) is never produced.
uint32_t GetDeviceType(uint16_t bcdDevice, uint8_t iSerialNumber);

// Chips presenting several serial interfaces on one USB device: their names
// carry an interface letter, their location ids the interface value in the
// low four bits, and their line requests the interface selector.
bool IsMultiInterfaceChip(uint16_t bcdDevice);

// How many of the chip's interfaces FT_Open counts when it walks devices by
// index: 1, 2 or 4, or 0 when the chip cannot be opened by index at all.
int OpenIndexWidth(uint16_t bcdDevice);

// Chips whose OUT endpoint packet size is kept for the transmit path (it
// decides when a write must be closed by a zero-length packet).
bool KeepsZlpPacketSize(uint16_t bcdDevice);

// Chips with a latency timer, bit modes and three-bit baud fractions. 0x02
// belongs here only without a serial-number string; everything not listed is
// an AM chip.
bool IsBmOrLaterChip(uint16_t bcdDevice, uint8_t iSerialNumber);

// Chips with the 12 MHz baud arithmetic.
bool IsHighSpeedChip(uint16_t bcdDevice);

// Chips taking the baud divisor's upper word in the high byte of wIndex (with
// the interface selector in the low byte) instead of in wIndex bits 0-1.
bool IsWideIndexChip(uint16_t bcdDevice);

// Chips accepting the vendor command get/set requests.
bool IsVendorCmdChip(uint16_t bcdDevice);

// 'A' for interface 0 through 'E' for interface 4; '?' for any other value,
// so that an unexpected interface number shows up in the name instead of
// silently vanishing.
char InterfaceLetter(int usbInterface);

// bus * 256 + address; on a multi-interface chip that value * 16 +
// interfaceValue, where interfaceValue is the interface number + 1 (it must
// stay below 16 for the ids of one chip to remain distinct).
uint32_t LocationId(uint8_t bus, uint8_t address, bool multiInterface, uint32_t interfaceValue);

// Writes `name` followed by `letter` ("%s%c", serial numbers) or by a space
// and `letter` ("%s %c", descriptions) into dst[0..size). Returns true when
// the whole result and its terminator fit. Otherwise returns false and leaves
// the longest prefix that fits, terminated (nothing at all when size is 0 or
// dst is null). `name` may be null (taken as empty, result false) and may be
// dst itself, so a name can be suffixed in place.
bool AppendSerialLetter(char *dst, size_t size, const char *name, char letter);
bool AppendDescriptionLetter(char *dst, size_t size, const char *name, char letter);

}  // namespace d2xx
