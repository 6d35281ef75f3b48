// The MPSSE command processor of a simulated chip interface (bit mode 0x02).
//
// Commands run as soon as all their bytes have arrived (a command may span
// OUT transfers); answers enter the receive FIFO at once, so send-immediate
// has nothing left to do. The clock is simulated edge by edge on the pins,
// without real time: the divisor and the clock options only set the rate
// recorded in InterfaceState::mpsse_clock_hz.
//
// Data-shifting opcodes (below 0x80): bit 0 data out changes on the falling
// edge, bit 1 bit count instead of byte count, bit 2 data in is sampled on
// the falling edge, bit 3 LSB first, bit 4 write TDI/DO, bit 5 read TDO/DI,
// bit 6 write TMS (bit counts, LSB first, with the level of bit 7 of the
// data byte held on TDI). Bit reads arrive as the chip shifts them in: LSB
// first from the top of the byte, MSB first from its bottom.
#include <algorithm>

#include "chip_impl.h"

namespace ftdisim {
namespace {

constexpr uint8_t kBadCommand = 0xFA;

uint8_t Reverse(uint8_t v) {
    uint8_t r = 0;
    for (int i = 0; i < 8; i++)
        if (v & (1 << i)) r = static_cast<uint8_t>(r | (0x80 >> i));
    return r;
}

bool IsTms(uint8_t op) {
    return (op & 0xDA) == 0x4A;
}

bool IsShift(uint8_t op) {
    return op < 0x40 && (op & 0x30) != 0;
}

// One interface's MPSSE running over the queued command bytes.
class Mpsse {
  public:
    Mpsse(Chip::Impl &chip, int iface)
        : chip_(chip),
          iface_(iface),
          f_(chip.ifaces[static_cast<size_t>(iface)]),
          p_(f_.pin),
          hs_(chip.traits.mpsse_high_speed),
          ft232h_((chip.spec.bcd_device >> 8) == 0x09) {}

    void Run(std::vector<uint8_t> &answer) {
        std::vector<uint8_t> &c = p_.commands;
        size_t pos = 0;
        while (pos < c.size()) {
            const size_t used = Step(c.data() + pos, c.size() - pos, answer);
            if (used == 0) break;  // incomplete, or waiting on GPIOL1
            pos += used;
        }
        c.erase(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(pos));
    }

  private:
    // Runs the command at `b` if complete; the bytes it took, 0 if it must
    // wait for more bytes or for GPIOL1.
    size_t Step(const uint8_t *b, size_t avail, std::vector<uint8_t> &answer) {
        const uint8_t op = b[0];
        if (IsShift(op)) return Shift(b, avail, answer);
        if (IsTms(op)) {
            if (avail < 3) return 0;
            const int n = std::min(b[1] & 0x07, 6) + 1;
            SetPin(kPinTdi, (b[2] & 0x80) != 0);
            const uint32_t in = Clock(n, kPinTms, b[2], (op & 0x20) != 0, op & 1, op & 4);
            if (op & 0x20) answer.push_back(static_cast<uint8_t>(in << (8 - n)));
            return 3;
        }
        switch (op) {
            case 0x80:
            case 0x82: {
                if (avail < 3) return 0;
                const int shift = op == 0x80 ? 0 : 8;
                const uint16_t keep = static_cast<uint16_t>(0xFF00 >> shift);
                p_.out = static_cast<uint16_t>((p_.out & keep) | b[1] << shift);
                p_.dir = static_cast<uint16_t>((p_.dir & keep) | b[2] << shift);
                Changed();
                return 3;
            }
            case 0x81:
            case 0x83:
                answer.push_back(static_cast<uint8_t>(Levels() >> (op == 0x81 ? 0 : 8)));
                return 1;
            case 0x84:
            case 0x85:
                f_.st.mpsse_loopback = op == 0x84;
                return 1;
            case 0x86:
                if (avail < 3) return 0;
                f_.st.mpsse_divisor = static_cast<uint16_t>(b[1] | b[2] << 8);
                UpdateClock();
                return 3;
            case 0x87:  // send immediate: answers are never held back
                return 1;
            case 0x88:
            case 0x89: {
                const bool high = (Levels() & kPinGpioL1) != 0;
                return high == (op == 0x88) ? 1 : 0;
            }
            default:
                break;
        }
        if (hs_) {
            switch (op) {
                case 0x8A:
                case 0x8B:
                    f_.st.mpsse_div5 = op == 0x8B;
                    UpdateClock();
                    return 1;
                case 0x8C:
                case 0x8D:
                    f_.st.mpsse_three_phase = op == 0x8C;
                    UpdateClock();
                    return 1;
                case 0x96:
                case 0x97:
                    f_.st.mpsse_adaptive = op == 0x96;
                    return 1;
                case 0x8E:  // clock n + 1 bits, no data
                    if (avail < 2) return 0;
                    Clock((b[1] & 0x07) + 1, 0, 0, false, false, false);
                    return 2;
                case 0x8F:  // clock (n + 1) * 8 bits, no data
                    if (avail < 3) return 0;
                    for (int i = 0; i <= (b[1] | b[2] << 8); i++)
                        Clock(8, 0, 0, false, false, false);
                    return 3;
                case 0x94:
                case 0x95: {  // clock until GPIOL1 is high / low
                    const bool high = (Levels() & kPinGpioL1) != 0;
                    return high == (op == 0x94) ? 1 : 0;
                }
                case 0x9C:
                case 0x9D: {  // clock up to (n + 1) * 8 bits until GPIOL1 is high / low
                    if (avail < 3) return 0;
                    const int bytes = (b[1] | b[2] << 8) + 1;
                    for (int i = 0; i < bytes * 8; i++) {
                        if (((Levels() & kPinGpioL1) != 0) == (op == 0x9C)) break;
                        Clock(1, 0, 0, false, false, false);
                    }
                    return 3;
                }
                case 0x9E:  // drive-zero pins (single high-speed chip): accepted
                    if (!ft232h_) break;
                    if (avail < 3) return 0;
                    return 3;
                default:
                    break;
            }
        }
        // The chip's answer to an opcode it does not know; it goes on with
        // the next byte.
        answer.push_back(kBadCommand);
        answer.push_back(op);
        return 1;
    }

    size_t Shift(const uint8_t *b, size_t avail, std::vector<uint8_t> &answer) {
        const uint8_t op = b[0];
        const bool w_neg = op & 0x01, bits = op & 0x02, r_neg = op & 0x04, lsb = op & 0x08;
        const bool write = op & 0x10, read = op & 0x20;
        if (bits) {
            if (avail < (write ? 3u : 2u)) return 0;
            const int n = (b[1] & 0x07) + 1;
            uint8_t data = write ? b[2] : 0;
            if (!lsb) data = Reverse(data);  // MSB first: bit 7 goes first
            const uint32_t in = Clock(n, write ? kPinTdi : 0, data, read, w_neg, r_neg);
            if (read) {
                uint8_t r;
                if (lsb) {
                    r = static_cast<uint8_t>(in << (8 - n));
                } else {
                    r = 0;
                    for (int i = 0; i < n; i++)
                        if (in & (1u << i)) r = static_cast<uint8_t>(r | 1u << (n - 1 - i));
                }
                answer.push_back(r);
            }
            return write ? 3 : 2;
        }
        if (avail < 3) return 0;
        const size_t n = static_cast<size_t>(b[1] | b[2] << 8) + 1;
        if (write && avail < 3 + n) return 0;
        for (size_t i = 0; i < n; i++) {
            uint8_t data = write ? b[3 + i] : 0;
            if (!lsb) data = Reverse(data);
            const uint32_t in = Clock(8, write ? kPinTdi : 0, data, read, w_neg, r_neg);
            if (read) {
                const auto byte = static_cast<uint8_t>(in);
                answer.push_back(lsb ? byte : Reverse(byte));
            }
        }
        return write ? 3 + n : 3;
    }

    // Clocks n bits (n <= 8). With `data_pin` set, bit i of `out` goes out on
    // it; with `read`, bit i of the result is the i-th bit sampled from TDO
    // (from TDI in loopback). The clock starts and ends at its idle level,
    // the TCK latch: the first edge of a bit leads away from it, the second
    // comes back. Data that changes on the trailing edge is put out before
    // the first leading edge; data that changes on the leading edge changes
    // just after it, so a device sampling on that edge still sees the old
    // level.
    uint32_t Clock(int n, uint16_t data_pin, uint8_t out, bool read, bool w_neg, bool r_neg) {
        const bool idle = (p_.out & kPinTck) != 0;
        // A falling edge leads from a high idle level.
        const bool write_leading = w_neg == idle;
        const bool read_leading = r_neg == idle;
        uint32_t in = 0;
        if (data_pin != 0 && !write_leading) SetPin(data_pin, out & 1);
        for (int i = 0; i < n; i++) {
            if (read && read_leading && Sample()) in |= 1u << i;
            SetPin(kPinTck, !idle);
            if (data_pin != 0 && write_leading) SetPin(data_pin, (out >> i) & 1);
            if (read && !read_leading && Sample()) in |= 1u << i;
            SetPin(kPinTck, idle);
            if (data_pin != 0 && !write_leading && i + 1 < n)
                SetPin(data_pin, (out >> (i + 1)) & 1);
        }
        return in;
    }

    bool Sample() const {
        if (f_.st.mpsse_loopback) return (p_.out & kPinTdi) != 0;
        return (Levels() & kPinTdo) != 0;
    }

    void SetPin(uint16_t pin, bool level) {
        const uint16_t next = level ? (p_.out | pin) : (p_.out & ~pin);
        if (next == p_.out) return;
        p_.out = next;
        Changed();
    }

    uint16_t Levels() const { return chip_.PinLevelsLocked(iface_); }
    void Changed() { chip_.PinsChangedLocked(iface_); }

    void UpdateClock() {
        const uint32_t master = hs_ && !f_.st.mpsse_div5 ? 60'000'000 : 12'000'000;
        const uint32_t per_cycle = f_.st.mpsse_three_phase ? 3 : 2;
        f_.st.mpsse_clock_hz = master / ((1u + f_.st.mpsse_divisor) * per_cycle);
    }

    Chip::Impl &chip_;
    const int iface_;
    IfaceState &f_;
    PinState &p_;
    const bool hs_;
    const bool ft232h_;
};

}  // namespace

void Chip::Impl::MpsseRunLocked(int iface, std::vector<uint8_t> &answer) {
    Mpsse(*this, iface).Run(answer);
}

}  // namespace ftdisim
