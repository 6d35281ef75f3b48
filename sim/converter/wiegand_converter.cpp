#include "converter/wiegand_converter.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ftdisim {

namespace {

std::array<uint8_t, WiegandConverter::kEepromSize> MakeEeprom(ConverterMode mode) {
    std::array<uint8_t, WiegandConverter::kEepromSize> e;
    e.fill(0xFF);
    const uint8_t block[WiegandConverter::kEepromReplyData - 1] = {
        0x01,  // layout version
        mode == ConverterMode::kInput ? uint8_t{0x01} : uint8_t{0x02},
        26,  // Wiegand bit count
        0x00,
        0x32,  // pulse width 50 us
        0x07,
        0xD0,  // pulse interval 2000 us
        0x00,  // tamper active low
        0x00,
        0x00,  // GPIO power-up levels
        1,
        4,
        2,  // firmware 1.4.2
        'T',
        'W',
        'C',
        '0',
        '0',
        '0',
        '1',  // unit id
    };
    std::memcpy(e.data(), block, sizeof block);
    uint8_t sum = 0;
    for (uint8_t b : block) sum = static_cast<uint8_t>(sum + b);
    e[sizeof block] = static_cast<uint8_t>(0x100 - sum);
    return e;
}

}  // namespace

WiegandConverter::WiegandConverter(ConverterMode mode) : mode_(mode), eeprom_(MakeEeprom(mode)) {}

void WiegandConverter::Attach(SerialLine *line) {
    std::scoped_lock lock(line_mutex_);
    line_ = line;
}

void WiegandConverter::Detach() {
    std::scoped_lock lock(line_mutex_, mutex_);
    line_ = nullptr;
    // A frame cut off by the unplug never completes.
    parser_.Clear();
}

void WiegandConverter::OnHostBytes(const uint8_t *data, size_t n, const LineSettings &line) {
    const auto now = std::chrono::steady_clock::now();
    const bool garbled = !Is9600_8N1(line);
    std::vector<uint8_t> wire(data, data + n);
    if (garbled) std::transform(wire.begin(), wire.end(), wire.begin(), GarbleByte);

    std::vector<ParsedPiece> pieces;
    std::vector<Reply> replies;
    {
        std::scoped_lock lock(mutex_);
        parser_.Feed(wire.data(), wire.size(), pieces);
        for (const ParsedPiece &p : pieces) {
            replies.push_back(p.is_frame ? ReplyTo(p.bytes) : Reply::kNone);
        }
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        LinkRecord r;
        r.direction = LinkDirection::kHostToConverter;
        r.kind = pieces[i].is_frame ? LinkRecord::Kind::kFrame : LinkRecord::Kind::kGarbage;
        r.when = now;
        r.bytes = std::move(pieces[i].bytes);
        r.garbled = garbled;
        r.line = line;
        Notify(r);
        switch (replies[i]) {
            case Reply::kReset: {
                const uint8_t zero = 0x00;
                Send(BuildFrame(kCmdReset, std::span(&zero, 1)), LinkRecord::Kind::kFrame);
                break;
            }
            case Reply::kEeprom:
                Send(EepromReply(), LinkRecord::Kind::kFrame);
                break;
            case Reply::kNone:
                break;
        }
    }
}

WiegandConverter::Reply WiegandConverter::ReplyTo(const std::vector<uint8_t> &frame) {
    switch (frame[2]) {
        case kCmdReset:
            return Reply::kReset;
        case kCmdEepromDump:
            return Reply::kEeprom;
        default:
            return Reply::kNone;
    }
}

bool WiegandConverter::Send(std::vector<uint8_t> bytes, LinkRecord::Kind kind) {
    std::scoped_lock lock(line_mutex_);
    if (line_ == nullptr) return false;
    LinkRecord r;
    r.direction = LinkDirection::kConverterToHost;
    r.kind = kind;
    r.line = line_->Settings();
    r.garbled = !Is9600_8N1(r.line);
    if (r.garbled) std::transform(bytes.begin(), bytes.end(), bytes.begin(), GarbleByte);
    r.when = std::chrono::steady_clock::now();
    if (!bytes.empty()) line_->SendToHost(bytes.data(), bytes.size());
    r.bytes = std::move(bytes);
    Notify(r);
    return true;
}

void WiegandConverter::Notify(const LinkRecord &record) {
    std::scoped_lock lock(observer_mutex_);
    if (observer_) observer_(record);
}

bool WiegandConverter::SendGpioReport(int gpio, uint8_t value) {
    if (mode_ != ConverterMode::kOutput || (gpio != 0 && gpio != 1)) return false;
    const uint8_t code = gpio == 0 ? kCmdGpio0 : kCmdGpio1;
    return Send(BuildFrame(code, std::span(&value, 1)), LinkRecord::Kind::kFrame);
}

bool WiegandConverter::SendWiegand26(int facility, int badge, bool bad_even_parity,
                                     bool bad_odd_parity) {
    if (mode_ != ConverterMode::kInput) return false;
    const auto payload = EncodeWiegand26(facility, badge, bad_even_parity, bad_odd_parity);
    if (!payload) return false;
    return Send(BuildFrame(kCmdWiegand, *payload), LinkRecord::Kind::kFrame);
}

bool WiegandConverter::SendWiegandBits(unsigned bit_count, std::span<const uint8_t> packed) {
    if (mode_ != ConverterMode::kInput) return false;
    const auto payload = EncodeWiegandBits(bit_count, packed);
    if (!payload) return false;
    return Send(BuildFrame(kCmdWiegand, *payload), LinkRecord::Kind::kFrame);
}

bool WiegandConverter::SendTamper(uint8_t value) {
    if (mode_ != ConverterMode::kInput) return false;
    return Send(BuildFrame(kCmdTamper, std::span(&value, 1)), LinkRecord::Kind::kFrame);
}

bool WiegandConverter::SendRaw(std::span<const uint8_t> bytes) {
    return Send(std::vector<uint8_t>(bytes.begin(), bytes.end()), LinkRecord::Kind::kRaw);
}

std::vector<uint8_t> WiegandConverter::EepromReply() const {
    return BuildFrame(kCmdEepromDump, std::span(eeprom_.data(), kEepromReplyData));
}

void WiegandConverter::SetFrameObserver(FrameObserver observer) {
    std::scoped_lock lock(observer_mutex_);
    observer_ = std::move(observer);
}

}  // namespace ftdisim
