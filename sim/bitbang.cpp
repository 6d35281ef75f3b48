// The pins of a simulated chip interface: which engine a set-bit-mode
// request starts, the asynchronous and synchronous bit-bang engines, CBUS
// bit-bang, and the levels that get bit mode answers.
//
// No time passes in the engines: the bytes of one OUT transfer are clocked
// out (and their samples queued for the host) before the transfer completes.
#include "chip_impl.h"

namespace ftdisim {
namespace {

constexpr uint8_t kAsync = 0x01;
constexpr uint8_t kMpsse = 0x02;
constexpr uint8_t kSync = 0x04;
constexpr uint8_t kCbus = 0x20;

bool RunsData(uint8_t engine) {
    return engine == kAsync || engine == kSync || engine == kMpsse;
}

}  // namespace

void Chip::Impl::SetBitModeLocked(int iface, uint8_t mask, uint8_t mode) {
    IfaceState &f = ifaces[static_cast<size_t>(iface)];
    PinState &p = f.pin;
    uint8_t engine = 0;
    if (mode == kAsync || mode == kSync || mode == kCbus) engine = (traits.bit_modes & mode);
    if (mode == kMpsse && (traits.bit_modes & kMpsse) && iface < traits.mpsse_interfaces)
        engine = kMpsse;
    p.commands.clear();
    p.engine = engine;
    f.st.engine = engine;
    if (engine == kCbus) {
        // High nibble: the CBUS pins driven; low nibble: their levels.
        p.cbus_dir = mask >> 4;
        p.cbus_out = mask & 0x0F;
        p.dir = 0;
        return;
    }
    // The mask is the low byte's direction; the high byte waits for the
    // MPSSE's set-high-byte command.
    p.dir = engine == 0 ? 0 : mask;
    if (engine == kMpsse) {
        f.st.mpsse_loopback = false;
        f.st.mpsse_divisor = 0;
        f.st.mpsse_div5 = true;
        f.st.mpsse_three_phase = false;
        f.st.mpsse_adaptive = false;
        f.st.mpsse_clock_hz = 6'000'000;
    }
    PinsChangedLocked(iface);
}

uint8_t Chip::Impl::GetBitModeLocked(int iface) const {
    const PinState &p = ifaces[static_cast<size_t>(iface)].pin;
    if (p.engine == kCbus) {
        return static_cast<uint8_t>(((p.cbus_out & p.cbus_dir) | (p.cbus_outside & ~p.cbus_dir)) &
                                    0x0F);
    }
    return static_cast<uint8_t>(PinLevelsLocked(iface));
}

bool Chip::Impl::PinEngineTakesDataLocked(int iface) const {
    return RunsData(ifaces[static_cast<size_t>(iface)].pin.engine);
}

uint16_t Chip::Impl::PinLevelsLocked(int iface) const {
    const PinState &p = ifaces[static_cast<size_t>(iface)].pin;
    const uint16_t dir = RunsData(p.engine) ? p.dir : 0;
    const uint16_t dev_mask = p.device != nullptr ? p.device->DrivenMask() : 0;
    const uint16_t dev_levels = p.device != nullptr ? p.device->DrivenLevels() : 0;
    return static_cast<uint16_t>((p.out & dir) | (dev_levels & dev_mask & ~dir) |
                                 (p.outside & ~dir & ~dev_mask));
}

void Chip::Impl::PinsChangedLocked(int iface) {
    const PinState &p = ifaces[static_cast<size_t>(iface)].pin;
    if (p.device != nullptr && RunsData(p.engine)) p.device->OnPins(PinLevelsLocked(iface));
}

void Chip::Impl::OutsidePinsChangedLocked(int iface) {
    PinsChangedLocked(iface);
    PinState &p = ifaces[static_cast<size_t>(iface)].pin;
    if (p.engine != kMpsse || p.commands.empty()) return;
    std::vector<uint8_t> answer;
    MpsseRunLocked(iface, answer);
    SendToHostLocked(iface, answer.data(), answer.size());
}

// Asynchronous bit-bang drives each byte onto the output pins and then
// samples all eight pins into the IN stream; synchronous bit-bang samples the
// pins first, so each byte read is the state the pins had before the byte
// written in its place took effect. Either way one sample per byte written.
void Chip::Impl::PinDataLocked(int iface, const uint8_t *data, size_t n) {
    PinState &p = ifaces[static_cast<size_t>(iface)].pin;
    std::vector<uint8_t> answer;
    if (p.engine == kMpsse) {
        p.commands.insert(p.commands.end(), data, data + n);
        MpsseRunLocked(iface, answer);
    } else {
        answer.reserve(n);
        for (size_t i = 0; i < n; i++) {
            if (p.engine == kSync) answer.push_back(static_cast<uint8_t>(PinLevelsLocked(iface)));
            p.out = static_cast<uint16_t>((p.out & 0xFF00) | data[i]);
            PinsChangedLocked(iface);
            if (p.engine == kAsync) answer.push_back(static_cast<uint8_t>(PinLevelsLocked(iface)));
        }
    }
    SendToHostLocked(iface, answer.data(), answer.size());
}

}  // namespace ftdisim
