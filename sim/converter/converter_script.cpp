#include "converter/converter_script.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace ftdisim {

namespace {

// Longest scenario accepted; also keeps the millisecond count far from
// overflow.
constexpr double kMaxSeconds = 1e6;

std::vector<std::string_view> Split(std::string_view line) {
    std::vector<std::string_view> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
        if (j > i) tokens.push_back(line.substr(i, j - i));
        i = j;
    }
    return tokens;
}

bool ParseInt(std::string_view s, int lo, int hi, int *out) {
    int v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool ParseHexByte(std::string_view s, uint8_t *out) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
    if (s.empty() || s.size() > 2) return false;
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (ec != std::errc() || end != s.data() + s.size()) return false;
    *out = static_cast<uint8_t>(v);
    return true;
}

bool ParseSeconds(std::string_view s, std::chrono::milliseconds *out) {
    // from_chars for double is not in every g++ 12 library build; strtod on
    // a bounded copy is.
    if (s.empty() || s.size() > 32) return false;
    const std::string copy(s);
    char *end = nullptr;
    const double v = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(v) || v < 0 || v > kMaxSeconds) {
        return false;
    }
    *out = std::chrono::milliseconds(std::llround(v * 1000.0));
    return true;
}

bool ParseLevel(std::string_view s, std::string_view high, std::string_view low, uint8_t *out) {
    if (s == high) {
        *out = 0xFF;
        return true;
    }
    if (s == low) {
        *out = 0x00;
        return true;
    }
    return ParseHexByte(s, out);
}

// Parses the action part of one line into `ev`; returns an error text or "".
std::string ParseAction(const std::vector<std::string_view> &t, ConverterMode mode,
                        ScriptEvent *ev) {
    using A = ScriptEvent::Action;
    const std::string_view name = t[0];
    const size_t nargs = t.size() - 1;
    const bool input = mode == ConverterMode::kInput;
    auto wrong_mode = [&] {
        return std::string("'").append(name) + "' needs a converter in " +
               (input ? "output" : "input") + " mode";
    };
    if (name == "badge") {
        if (!input) return wrong_mode();
        ev->action = A::kBadge;
        if (nargs < 2 || nargs > 3)
            return "usage: badge <facility> <badge> [bad-even|bad-odd|bad-parity]";
        if (!ParseInt(t[1], 0, 255, &ev->facility)) return "facility code must be 0..255";
        if (!ParseInt(t[2], 0, 65535, &ev->badge)) return "badge number must be 0..65535";
        if (nargs == 3) {
            if (t[3] == "bad-even") {
                ev->bad_even = true;
            } else if (t[3] == "bad-odd") {
                ev->bad_odd = true;
            } else if (t[3] == "bad-parity") {
                ev->bad_even = ev->bad_odd = true;
            } else {
                return "unknown badge option '" + std::string(t[3]) + "'";
            }
        }
        return "";
    }
    if (name == "bits") {
        if (!input) return wrong_mode();
        ev->action = A::kBits;
        if (nargs != 1) return "usage: bits <string of 0 and 1>";
        const std::string_view bits = t[1];
        if (bits.empty() || bits.size() > kWiegandMaxBits) return "bits: 1 to 112 bits";
        ev->bytes.assign((bits.size() + 7) / 8, 0);
        for (size_t k = 0; k < bits.size(); ++k) {
            if (bits[k] != '0' && bits[k] != '1') return "bits: only 0 and 1";
            if (bits[k] == '1') ev->bytes[k / 8] |= static_cast<uint8_t>(0x80u >> (k % 8));
        }
        ev->bit_count = static_cast<unsigned>(bits.size());
        return "";
    }
    if (name == "tamper") {
        if (!input) return wrong_mode();
        ev->action = A::kTamper;
        if (nargs != 1 || !ParseLevel(t[1], "on", "off", &ev->value)) {
            return "usage: tamper on|off|<byte>";
        }
        return "";
    }
    if (name == "gpio") {
        if (input) return wrong_mode();
        ev->action = A::kGpio;
        if (nargs != 2 || !ParseInt(t[1], 0, 1, &ev->gpio) ||
            !ParseLevel(t[2], "high", "low", &ev->value)) {
            return "usage: gpio 0|1 high|low|<byte>";
        }
        return "";
    }
    if (name == "raw") {
        ev->action = A::kRaw;
        if (nargs == 0) return "usage: raw <byte> [<byte> ...]";
        for (size_t i = 1; i < t.size(); ++i) {
            uint8_t b = 0;
            if (!ParseHexByte(t[i], &b))
                return "raw: '" + std::string(t[i]) + "' is not a hex byte";
            ev->bytes.push_back(b);
        }
        return "";
    }
    if (name == "unplug" || name == "replug" || name == "restart") {
        ev->action = name == "unplug" ? A::kUnplug : name == "replug" ? A::kReplug : A::kRestart;
        if (nargs != 0) return std::string("'").append(name) + "' takes no arguments";
        return "";
    }
    return "unknown action '" + std::string(name) + "'";
}

}  // namespace

bool ParseConverterScript(std::string_view text, ConverterMode mode, int devices,
                          ConverterScript *out, std::string *error) {
    out->events.clear();
    out->restart = std::chrono::milliseconds(0);
    int line_no = 0;
    const ScriptEvent *restart = nullptr;
    auto fail = [&](int line, const std::string &what) {
        *error = "line " + std::to_string(line) + ": " + what;
        return false;
    };
    while (!text.empty()) {
        ++line_no;
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (const size_t hash = line.find('#'); hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        std::vector<std::string_view> tokens = Split(line);
        if (tokens.empty()) continue;

        ScriptEvent ev;
        ev.line = line_no;
        if (!ParseSeconds(tokens[0], &ev.at)) {
            return fail(line_no, std::string("'").append(tokens[0]) + "' is not a time in seconds");
        }
        size_t first = 1;
        if (tokens.size() > 1 && tokens[1].starts_with('@')) {
            if (!ParseInt(tokens[1].substr(1), 1, devices, &ev.device)) {
                return fail(line_no, "device must be @1.." + std::to_string(devices));
            }
            first = 2;
        }
        if (tokens.size() <= first) return fail(line_no, "missing action");
        const std::vector<std::string_view> action(tokens.begin() + first, tokens.end());
        if (std::string err = ParseAction(action, mode, &ev); !err.empty()) {
            return fail(line_no, err);
        }
        if (ev.action == ScriptEvent::Action::kRestart && ev.device != 0) {
            return fail(line_no, "restart applies to the whole scenario");
        }
        for (const std::string_view t : tokens) {
            if (!ev.text.empty()) ev.text += ' ';
            ev.text += t;
        }
        out->events.push_back(std::move(ev));
    }
    std::stable_sort(out->events.begin(), out->events.end(),
                     [](const ScriptEvent &a, const ScriptEvent &b) { return a.at < b.at; });
    for (const ScriptEvent &ev : out->events) {
        if (ev.action != ScriptEvent::Action::kRestart) continue;
        if (restart != nullptr) return fail(ev.line, "only one restart");
        restart = &ev;
    }
    if (restart != nullptr) {
        if (restart->at.count() <= 0) return fail(restart->line, "restart needs a time above 0");
        if (&out->events.back() != restart) {
            return fail(out->events.back().line, "event after the restart would never run");
        }
        out->restart = restart->at;
        out->events.pop_back();
    }
    return true;
}

bool ApplyToConverter(const ScriptEvent &event, WiegandConverter &conv) {
    using A = ScriptEvent::Action;
    switch (event.action) {
        case A::kBadge:
            return conv.SendWiegand26(event.facility, event.badge, event.bad_even, event.bad_odd);
        case A::kBits:
            return conv.SendWiegandBits(event.bit_count, event.bytes);
        case A::kTamper:
            return conv.SendTamper(event.value);
        case A::kGpio:
            return conv.SendGpioReport(event.gpio, event.value);
        case A::kRaw:
            return conv.SendRaw(event.bytes);
        case A::kUnplug:
        case A::kReplug:
        case A::kRestart:
            break;
    }
    return false;
}

}  // namespace ftdisim
