// The serial side of a simulated chip interface: what the chip's UART is wired
// to. The chip hands every byte the host writes to the attached peer, and the
// peer sends bytes back to the host through the line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ftdisim {

// The UART settings the host last gave the chip, decoded from its requests.
struct LineSettings {
    uint32_t baud = 9600;   // rate the chip's divisor really produces
    uint8_t data_bits = 8;  // 7 or 8
    uint8_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stop_bits = 0;  // 0 = one stop bit, 1 = 1.5, 2 = two
    bool break_on = false;

    bool operator==(const LineSettings &) const = default;
};

// A rate within 3 % of 9600, 8 data bits, no parity, one stop bit, no break:
// what the converter's UART understands.
inline bool Is9600_8N1(const LineSettings &s) {
    return s.baud >= 9312 && s.baud <= 9888 && s.data_bits == 8 && s.parity == 0 &&
           s.stop_bits == 0 && !s.break_on;
}

// The chip side of a line, offered to the peer attached to it.
// Thread-safe: SendToHost may be called from any thread, including from
// inside SerialPeer::OnHostBytes.
class SerialLine {
  public:
    virtual ~SerialLine() = default;
    // Bytes arrive on the chip's RX pin and enter its receive FIFO.
    virtual void SendToHost(const uint8_t *data, size_t n) = 0;
    // Settings currently in force on the chip.
    virtual LineSettings Settings() const = 0;
};

// Something wired to a chip interface's serial line (a capture, a loopback,
// the converter). The chip calls OnHostBytes without holding any of its own
// locks, on the simulation's worker thread: it must not block.
class SerialPeer {
  public:
    virtual ~SerialPeer() = default;
    // Called once when the peer is attached; `line` outlives the attachment.
    virtual void Attach(SerialLine *line) = 0;
    // Bytes the host wrote to the OUT endpoint, with the settings in force
    // while they went out on the wire.
    virtual void OnHostBytes(const uint8_t *data, size_t n, const LineSettings &line) = 0;
    // Called when the peer is detached or the chip goes away.
    virtual void Detach() {}
};

}  // namespace ftdisim
