#include "converter/wiegand_converter.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ftdisim {

namespace {

constexpr uint8_t kLow = 0x00;
constexpr uint8_t kHigh = 0xFF;

bool IsLevel(uint8_t v) {
    return v == kLow || v == kHigh;
}

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

bool WiegandConverter::Attached() const {
    std::scoped_lock lock(line_mutex_);
    return line_ != nullptr;
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
            if (p.is_frame) {
                ++frames_received_;
                replies.push_back(ApplyFrameLocked(p.bytes));
            } else {
                garbage_bytes_ += p.bytes.size();
                replies.push_back(Reply::kNone);
            }
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
                Send(BuildFrame(kCmdReset, std::span(&zero, 1)), LinkRecord::Kind::kFrame, {});
                break;
            }
            case Reply::kEeprom:
                Send(EepromReply(), LinkRecord::Kind::kFrame, {});
                break;
            case Reply::kNone:
                break;
        }
    }
}

WiegandConverter::Reply WiegandConverter::ApplyFrameLocked(const std::vector<uint8_t> &frame) {
    const uint8_t code = frame[2];
    const std::span<const uint8_t> payload(frame.data() + 3, frame.size() - 5);
    switch (code) {
        case kCmdReset:
            ++reset_requests_;
            if (mode_ == ConverterMode::kOutput) {
                tamper_ = kLow;
            } else {
                gpio_ = {kLow, kLow};
            }
            return Reply::kReset;
        case kCmdEepromDump:
            ++eeprom_requests_;
            return Reply::kEeprom;
        case kCmdWiegand:
            if (mode_ == ConverterMode::kOutput) {
                if (wiegand_.size() == kWiegandHistory) wiegand_.pop_front();
                wiegand_.push_back(DecodeWiegand(payload));
                return Reply::kNone;
            }
            break;
        case kCmdTamper:
            if (mode_ == ConverterMode::kOutput && IsLevel(payload[0])) {
                tamper_ = payload[0];
                return Reply::kNone;
            }
            break;
        case kCmdGpio0:
        case kCmdGpio1:
            if (mode_ == ConverterMode::kInput && IsLevel(payload[0])) {
                gpio_[code == kCmdGpio0 ? 0 : 1] = payload[0];
                return Reply::kNone;
            }
            break;
        default:
            break;
    }
    ++ignored_frames_;
    return Reply::kNone;
}

bool WiegandConverter::Send(std::vector<uint8_t> bytes, LinkRecord::Kind kind,
                            const std::function<void()> &update) {
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
    if (update) {
        std::scoped_lock state(mutex_);
        update();
    }
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
    return Send(BuildFrame(code, std::span(&value, 1)), LinkRecord::Kind::kFrame, [&] {
        if (IsLevel(value)) gpio_[gpio] = value;
    });
}

bool WiegandConverter::SendWiegand26(int facility, int badge, bool bad_even_parity,
                                     bool bad_odd_parity) {
    if (mode_ != ConverterMode::kInput) return false;
    const auto payload = EncodeWiegand26(facility, badge, bad_even_parity, bad_odd_parity);
    if (!payload) return false;
    return Send(BuildFrame(kCmdWiegand, *payload), LinkRecord::Kind::kFrame, [&] {
        if (wiegand_.size() == kWiegandHistory) wiegand_.pop_front();
        wiegand_.push_back(DecodeWiegand(*payload));
    });
}

bool WiegandConverter::SendWiegandBits(unsigned bit_count, std::span<const uint8_t> packed) {
    if (mode_ != ConverterMode::kInput) return false;
    const auto payload = EncodeWiegandBits(bit_count, packed);
    if (!payload) return false;
    return Send(BuildFrame(kCmdWiegand, *payload), LinkRecord::Kind::kFrame, [&] {
        if (wiegand_.size() == kWiegandHistory) wiegand_.pop_front();
        wiegand_.push_back(DecodeWiegand(*payload));
    });
}

bool WiegandConverter::SendTamper(uint8_t value) {
    if (mode_ != ConverterMode::kInput) return false;
    return Send(BuildFrame(kCmdTamper, std::span(&value, 1)), LinkRecord::Kind::kFrame, [&] {
        if (IsLevel(value)) tamper_ = value;
    });
}

bool WiegandConverter::SendRaw(std::span<const uint8_t> bytes) {
    return Send(std::vector<uint8_t>(bytes.begin(), bytes.end()), LinkRecord::Kind::kRaw, {});
}

std::vector<WiegandFrame> WiegandConverter::LastWiegandFrames() const {
    std::scoped_lock lock(mutex_);
    return {wiegand_.begin(), wiegand_.end()};
}

uint8_t WiegandConverter::Tamper() const {
    std::scoped_lock lock(mutex_);
    return tamper_;
}

uint8_t WiegandConverter::Gpio(int gpio) const {
    if (gpio != 0 && gpio != 1) return kLow;
    std::scoped_lock lock(mutex_);
    return gpio_[gpio];
}

uint64_t WiegandConverter::FramesReceived() const {
    std::scoped_lock lock(mutex_);
    return frames_received_;
}

uint64_t WiegandConverter::IgnoredFrames() const {
    std::scoped_lock lock(mutex_);
    return ignored_frames_;
}

uint64_t WiegandConverter::GarbageBytes() const {
    std::scoped_lock lock(mutex_);
    return garbage_bytes_;
}

uint64_t WiegandConverter::ResetRequests() const {
    std::scoped_lock lock(mutex_);
    return reset_requests_;
}

uint64_t WiegandConverter::EepromRequests() const {
    std::scoped_lock lock(mutex_);
    return eeprom_requests_;
}

std::vector<uint8_t> WiegandConverter::EepromReply() const {
    return BuildFrame(kCmdEepromDump, std::span(eeprom_.data(), kEepromReplyData));
}

void WiegandConverter::SetFrameObserver(FrameObserver observer) {
    std::scoped_lock lock(observer_mutex_);
    observer_ = std::move(observer);
}

}  // namespace ftdisim
