// A JTAG scan chain: TAPs with their state machine, instruction register,
// IDCODE and BYPASS registers, clocked by the levels on the chip's pins.
#include <charconv>

#include "ftdisim_pins.h"

namespace ftdisim {
namespace {

// The state after a rising TCK edge with this TMS level.
TapState Next(TapState s, bool tms) {
    using S = TapState;
    switch (s) {
        case S::TestLogicReset:
            return tms ? S::TestLogicReset : S::RunTestIdle;
        case S::RunTestIdle:
            return tms ? S::SelectDrScan : S::RunTestIdle;
        case S::SelectDrScan:
            return tms ? S::SelectIrScan : S::CaptureDr;
        case S::CaptureDr:
        case S::ShiftDr:
            return tms ? S::Exit1Dr : S::ShiftDr;
        case S::Exit1Dr:
            return tms ? S::UpdateDr : S::PauseDr;
        case S::PauseDr:
            return tms ? S::Exit2Dr : S::PauseDr;
        case S::Exit2Dr:
            return tms ? S::UpdateDr : S::ShiftDr;
        case S::UpdateDr:
        case S::UpdateIr:
            return tms ? S::SelectDrScan : S::RunTestIdle;
        case S::SelectIrScan:
            return tms ? S::TestLogicReset : S::CaptureIr;
        case S::CaptureIr:
        case S::ShiftIr:
            return tms ? S::Exit1Ir : S::ShiftIr;
        case S::Exit1Ir:
            return tms ? S::UpdateIr : S::PauseIr;
        case S::PauseIr:
            return tms ? S::Exit2Ir : S::PauseIr;
        case S::Exit2Ir:
            return tms ? S::UpdateIr : S::ShiftIr;
    }
    return S::TestLogicReset;
}

bool ParseNumber(std::string_view s, uint64_t *out) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out, base);
    return !s.empty() && ec == std::errc() && p == s.data() + s.size();
}

// 'item' followed by `what` (built by appending: GCC 12 warns wrongly on
// the chained operator+ of the same).
std::string Quoted(std::string_view item, const char *what) {
    std::string s(1, '\'');
    s.append(item);
    s += '\'';
    s.append(what);
    return s;
}

}  // namespace

uint32_t JtagTapSpec::IdcodeInstruction() const {
    if (idcode_instruction) return *idcode_instruction;
    const uint64_t ones = (uint64_t{1} << ir_length) - 1;
    return static_cast<uint32_t>(ones & ~uint64_t{1});
}

const char *TapStateName(TapState s) {
    static constexpr const char *kNames[] = {
        "Test-Logic-Reset", "Run-Test/Idle",  "Select-DR-Scan", "Capture-DR",
        "Shift-DR",         "Exit1-DR",       "Pause-DR",       "Exit2-DR",
        "Update-DR",        "Select-IR-Scan", "Capture-IR",     "Shift-IR",
        "Exit1-IR",         "Pause-IR",       "Exit2-IR",       "Update-IR",
    };
    return kNames[static_cast<int>(s)];
}

JtagChain::JtagChain(std::vector<JtagTapSpec> taps) {
    for (JtagTapSpec &spec : taps) {
        if (spec.ir_length < 2) spec.ir_length = 2;
        if (spec.ir_length > 32) spec.ir_length = 32;
        taps_.push_back(Tap{spec});
    }
    ResetLocked();
}

std::optional<std::vector<JtagTapSpec>> JtagChain::Parse(std::string_view text,
                                                         std::string *error) {
    std::vector<JtagTapSpec> taps;
    while (true) {
        const size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        JtagTapSpec spec;
        const size_t colon = item.find(':');
        uint64_t v = 0;
        if (!ParseNumber(item.substr(0, colon), &v) || v > 0xFFFFFFFFu) {
            *error = Quoted(item, " is not a 32-bit IDCODE");
            return std::nullopt;
        }
        spec.idcode = static_cast<uint32_t>(v);
        if (colon != std::string_view::npos) {
            if (!ParseNumber(item.substr(colon + 1), &v) || v < 2 || v > 32) {
                *error = Quoted(item, ": the IR length is 2 to 32");
                return std::nullopt;
            }
            spec.ir_length = static_cast<int>(v);
        }
        taps.push_back(spec);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return taps;
}

void JtagChain::ResetLocked() {
    for (Tap &t : taps_) t.instruction = t.spec.IdcodeInstruction();
}

TapState JtagChain::State() const {
    std::scoped_lock lock(mutex_);
    return state_;
}

uint32_t JtagChain::Instruction(size_t index) const {
    std::scoped_lock lock(mutex_);
    return taps_.at(index).instruction;
}

uint64_t JtagChain::Clocks() const {
    std::scoped_lock lock(mutex_);
    return clocks_;
}

uint16_t JtagChain::DrivenMask() const {
    std::scoped_lock lock(mutex_);
    return tdo_driven_ ? kPinTdo : 0;
}

uint16_t JtagChain::DrivenLevels() const {
    std::scoped_lock lock(mutex_);
    return tdo_ ? kPinTdo : 0;
}

void JtagChain::OnPins(uint16_t levels) {
    std::scoped_lock lock(mutex_);
    const bool was = (last_ & kPinTck) != 0;
    const bool now = (levels & kPinTck) != 0;
    last_ = levels;
    if (!was && now)
        RisingLocked((levels & kPinTms) != 0, (levels & kPinTdi) != 0);
    else if (was && !now)
        FallingLocked();
}

// Each TAP acts in the state it is in, then every TAP moves on (they share
// TMS, so they are always in the same state).
void JtagChain::RisingLocked(bool tms, bool tdi) {
    clocks_++;
    switch (state_) {
        case TapState::CaptureIr:
            for (Tap &t : taps_) {
                t.shift = 0x1;
                t.length = t.spec.ir_length;
            }
            break;
        case TapState::CaptureDr:
            for (Tap &t : taps_) {
                const bool idcode =
                    t.spec.idcode != 0 && t.instruction == t.spec.IdcodeInstruction();
                t.shift = idcode ? t.spec.idcode : 0;
                t.length = idcode ? 32 : 1;
            }
            break;
        case TapState::ShiftIr:
        case TapState::ShiftDr: {
            // TDI enters the TAP farthest from TDO; each TAP's output feeds
            // the next one towards TDO.
            bool in = tdi;
            for (size_t k = taps_.size(); k-- > 0;) {
                Tap &t = taps_[k];
                const bool out = (t.shift & 1) != 0;
                t.shift = (t.shift >> 1) | (uint64_t{in} << (t.length - 1));
                in = out;
            }
            break;
        }
        default:
            break;
    }
    state_ = Next(state_, tms);
    if (state_ == TapState::TestLogicReset) ResetLocked();
}

void JtagChain::FallingLocked() {
    if (state_ == TapState::UpdateIr) {
        for (Tap &t : taps_) {
            const uint64_t mask = (uint64_t{1} << t.spec.ir_length) - 1;
            t.instruction = static_cast<uint32_t>(t.shift & mask);
        }
    }
    tdo_driven_ = (state_ == TapState::ShiftIr || state_ == TapState::ShiftDr) && !taps_.empty();
    if (tdo_driven_) tdo_ = (taps_.front().shift & 1) != 0;
}

}  // namespace ftdisim
