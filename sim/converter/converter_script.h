// Timed scenarios for simulated converters: what a badge reader, a tamper
// switch or the GPIO inputs do while a program runs against the converter,
// plus unplugging and plugging the device back.
//
// Text format, one event per line; '#' starts a comment, blank lines are
// skipped:
//
//   <seconds> [@<device>] <action> [arguments]
//
// <seconds> is the time from the start of the run (decimal, e.g. 2 or 2.5).
// Lines may come in any order; events at the same time keep their order.
// @<device> (1-based) addresses one device; without it, every device.
//
// Actions:
//   badge <facility> <badge> [bad-even|bad-odd|bad-parity]   input mode
//       a 26-bit badge report (facility 0..255, badge 0..65535), optionally
//       with the even, the odd or both parity bits wrong
//   bits <0 and 1 characters>                                input mode
//       a Wiegand report of that many bits (1 to 112), first bit first
//   tamper on|off|<byte>                                     input mode
//   gpio 0|1 high|low|<byte>                                 output mode
//   raw <byte> [<byte> ...]                                  any mode
//       bytes as given (garbage, half frames)
//   unplug / replug                                          any mode
//   restart                                                  any mode
//       start again from the first event, times counted from here; must be
//       the latest event
// <byte> is hexadecimal, 1 or 2 digits, with or without 0x (55, 0x0d, FF).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "converter/wiegand_converter.h"

namespace ftdisim {

struct ScriptEvent {
    enum class Action { kBadge, kBits, kTamper, kGpio, kRaw, kUnplug, kReplug, kRestart };

    std::chrono::milliseconds at{0};
    int device = 0;  // 0: every device; else 1-based
    Action action = Action::kRaw;
    int facility = 0;            // kBadge
    int badge = 0;               // kBadge
    bool bad_even = false;       // kBadge
    bool bad_odd = false;        // kBadge
    unsigned bit_count = 0;      // kBits
    int gpio = 0;                // kGpio
    uint8_t value = 0;           // kTamper, kGpio
    std::vector<uint8_t> bytes;  // kBits: the bits packed; kRaw: the bytes
    int line = 0;                // source line, 1-based
    std::string text;            // the source line without comment, spaces evened
};

struct ConverterScript {
    std::vector<ScriptEvent> events;  // ordered by time
    // The period after which the events repeat, 0 when they do not.
    std::chrono::milliseconds restart{0};
};

// Parses `text` for converters in `mode`. On failure returns false and sets
// `error` to "line N: what is wrong"; `out` is then unspecified. Actions of
// the other mode are errors, as are devices beyond `devices`.
bool ParseConverterScript(std::string_view text, ConverterMode mode, int devices,
                          ConverterScript *out, std::string *error);

// Performs a converter action (badge, bits, tamper, gpio, raw) on `conv`.
// Returns false when the converter refused it (not attached) or the event
// is not a converter action.
bool ApplyToConverter(const ScriptEvent &event, WiegandConverter &conv);

}  // namespace ftdisim
