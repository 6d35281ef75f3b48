// A simulated Tavrin Wiegand converter wired to a chip interface's serial
// line. It understands the framed link at 9600 8N1, answers reset and EEPROM
// dump requests, and sends the reports the launcher's scenarios ask for; what
// crossed the link goes to its frame observer (the launcher's transcript).
//
// Modes:
//  - output: the converter drives a Wiegand output. It takes Wiegand frames
//    (0x01) and tamper commands (0x02) from the host and reports its GPIO0 and
//    GPIO1 inputs (0x03, 0x04).
//  - input: the converter reads a Wiegand input. It reports badges (0x01) and
//    its tamper input (0x02) and takes GPIO0/GPIO1 commands (0x03, 0x04).
// In both modes a reset request (0x0A) is answered with 55 55 0A 00 00 0D, and
// an EEPROM dump request (0x0B) is answered with EepromReply(). Every other
// frame is taken off the line without an answer.
//
// Line settings: the converter's UART runs at 9600 8N1 only. Bytes the host
// sends at any other setting arrive garbled (GarbleByte) and end up as
// garbage; bytes the converter sends while the chip is set otherwise reach
// the host garbled in the same way.
//
// Thread-safety: every member function may be called from any thread.
// OnHostBytes runs on the simulation's worker thread and never blocks on
// anything but the converter's own short locks. The frame observer is called
// on whichever thread produced the record (worker thread for received bytes
// and replies, the caller's thread for Send*), one call at a time, in wire
// order per direction; it must not call SetFrameObserver.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "converter/frame_parser.h"
#include "converter/wiegand_frames.h"
#include "serial_line.h"

namespace ftdisim {

enum class ConverterMode { kOutput, kInput };

enum class LinkDirection { kHostToConverter, kConverterToHost };

// One entry of the link's transcript.
struct LinkRecord {
    enum class Kind {
        kFrame,    // a complete frame (received, or sent by a report/reply)
        kGarbage,  // received bytes that formed no frame
        kRaw,      // bytes sent with SendRaw
    };
    LinkDirection direction = LinkDirection::kHostToConverter;
    Kind kind = Kind::kFrame;
    std::chrono::steady_clock::time_point when;
    // The bytes as the receiving end got them (garbled when `garbled`).
    std::vector<uint8_t> bytes;
    // The line was not at 9600 8N1 while these bytes crossed it; `line` holds
    // the settings in force.
    bool garbled = false;
    LineSettings line;
};

using FrameObserver = std::function<void(const LinkRecord &)>;

class WiegandConverter : public SerialPeer {
  public:
    // The converter's EEPROM holds 128 bytes; a dump request is answered with
    // the configuration block at its start, framed as a 0x0B frame of
    // kEepromReplyLength bytes (21 data bytes):
    //   0      layout version (0x01)
    //   1      mode (0x01 input, 0x02 output)
    //   2      Wiegand bit count (26)
    //   3..4   pulse width in microseconds, big-endian (50)
    //   5..6   pulse interval in microseconds, big-endian (2000)
    //   7      tamper input active level (0x00 low)
    //   8..9   GPIO0, GPIO1 power-up levels (0x00)
    //   10..12 firmware version 1.4.2
    //   13..19 ASCII unit id "TWC0001"
    //   20     checksum: the 21 bytes sum to 0 modulo 256
    // The rest of the EEPROM is erased (0xFF) and never sent.
    static constexpr size_t kEepromSize = 128;
    static constexpr size_t kEepromReplyData = 21;
    static constexpr size_t kEepromReplyLength = kEepromReplyData + 5;  // 26

    explicit WiegandConverter(ConverterMode mode);
    ~WiegandConverter() override = default;
    WiegandConverter(const WiegandConverter &) = delete;
    WiegandConverter &operator=(const WiegandConverter &) = delete;

    ConverterMode Mode() const { return mode_; }

    // SerialPeer. After Detach returns no send touches the old line.
    void Attach(SerialLine *line) override;
    void OnHostBytes(const uint8_t *data, size_t n, const LineSettings &line) override;
    void Detach() override;

    // Reports. Each returns false, sending nothing, when
    // the converter is not attached, the report does not exist in this mode,
    // or an argument is out of range.
    // Output mode: a GPIO0 (gpio 0) or GPIO1 (gpio 1) state report with the
    // given payload byte (0x00 low, 0xFF high, other values as they are).
    bool SendGpioReport(int gpio, uint8_t value);
    // Input mode: a 26-bit badge report; facility 0..255, badge 0..65535.
    bool SendWiegand26(int facility, int badge, bool bad_even_parity = false,
                       bool bad_odd_parity = false);
    // Input mode: a report of `bit_count` bits packed first bit first (at most
    // 14 bytes; the count byte may claim more than 112 bits).
    bool SendWiegandBits(unsigned bit_count, std::span<const uint8_t> packed);
    // Input mode: a tamper report (0x00 off, 0xFF on, other values as they
    // are).
    bool SendTamper(uint8_t value);
    // Any mode: bytes as given (garbage, a frame split over several calls).
    // Returns false only when not attached.
    bool SendRaw(std::span<const uint8_t> bytes);

    // The 26-byte EEPROM dump reply for this converter.
    std::vector<uint8_t> EepromReply() const;

    void SetFrameObserver(FrameObserver observer);

  private:
    // What a received frame asks the converter to send back.
    enum class Reply { kNone, kReset, kEeprom };

    static Reply ReplyTo(const std::vector<uint8_t> &frame);
    // Sends `bytes` as one write on the line.
    bool Send(std::vector<uint8_t> bytes, LinkRecord::Kind kind);
    void Notify(const LinkRecord &record);

    const ConverterMode mode_;
    const std::array<uint8_t, kEepromSize> eeprom_;

    // Lock order: line_mutex_ > mutex_ > observer_mutex_.
    mutable std::mutex line_mutex_;
    SerialLine *line_ = nullptr;  // guarded by line_mutex_, held across each send

    mutable std::mutex mutex_;
    FrameParser parser_;  // guarded by mutex_

    std::mutex observer_mutex_;
    FrameObserver observer_;  // guarded by observer_mutex_, held while it runs
};

}  // namespace ftdisim
