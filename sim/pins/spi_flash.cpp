// A serial NOR flash clocked by the levels on the chip's pins (SPI mode 0/3).
#include <algorithm>

#include "ftdisim_pins.h"

namespace ftdisim {
namespace {

constexpr uint8_t kStatusWriteEnable = 0x02;

size_t ArraySize(uint32_t jedec_id) {
    const unsigned capacity = std::clamp<unsigned>(jedec_id & 0xFF, 0x0A, 0x18);
    return size_t{1} << capacity;
}

}  // namespace

SpiFlash::SpiFlash(uint32_t jedec_id) : jedec_id_(jedec_id), array_(ArraySize(jedec_id), 0xFF) {}

size_t SpiFlash::Size() const {
    return array_.size();  // immutable
}

void SpiFlash::Load(uint32_t address, std::span<const uint8_t> data) {
    std::scoped_lock lock(mutex_);
    for (size_t i = 0; i < data.size(); i++) array_[(address + i) % array_.size()] = data[i];
}

std::vector<uint8_t> SpiFlash::Contents(uint32_t address, size_t n) const {
    std::scoped_lock lock(mutex_);
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; i++) out[i] = array_[(address + i) % array_.size()];
    return out;
}

uint8_t SpiFlash::Status() const {
    std::scoped_lock lock(mutex_);
    return write_enabled_ ? kStatusWriteEnable : 0;
}

std::vector<uint8_t> SpiFlash::Commands() const {
    std::scoped_lock lock(mutex_);
    return commands_;
}

uint16_t SpiFlash::DrivenMask() const {
    std::scoped_lock lock(mutex_);
    return selected_ ? kPinTdo : 0;
}

uint16_t SpiFlash::DrivenLevels() const {
    std::scoped_lock lock(mutex_);
    return miso_ ? kPinTdo : 0;
}

void SpiFlash::OnPins(uint16_t levels) {
    std::scoped_lock lock(mutex_);
    const uint16_t before = last_;
    last_ = levels;
    const bool cs_low = (levels & kPinTms) == 0;
    if (cs_low && !selected_) {
        selected_ = true;
        bit_ = 0;
        in_ = 0;
        count_ = 0;
        out_ = next_out_ = 0xFF;
        miso_ = true;
        page_.clear();
        return;
    }
    if (!cs_low) {
        if (selected_) EndLocked();
        selected_ = false;
        return;
    }
    const bool was = (before & kPinTck) != 0;
    const bool now = (levels & kPinTck) != 0;
    if (!was && now) {
        in_ = static_cast<uint8_t>(in_ << 1 | ((levels & kPinTdi) ? 1 : 0));
        if (++bit_ == 8) {
            ByteLocked(in_);
            bit_ = 0;
            in_ = 0;
        }
    } else if (was && !now) {
        // The byte after a complete one starts with its top bit; until then
        // the bits of the current one follow.
        if (bit_ == 0) out_ = next_out_;
        miso_ = ((out_ << bit_) & 0x80) != 0;
    }
}

// One byte received; decides the byte shifted out during the next eight
// clocks.
void SpiFlash::ByteLocked(uint8_t in) {
    const size_t index = count_++;
    if (index == 0) {
        command_ = in;
        commands_.push_back(in);
        address_ = 0;
    }
    const size_t size = array_.size();
    next_out_ = 0xFF;
    switch (command_) {
        case 0x9F:
            if (index < 3) next_out_ = static_cast<uint8_t>(jedec_id_ >> (16 - 8 * index));
            break;
        case 0x05:
            next_out_ = write_enabled_ ? kStatusWriteEnable : 0;
            break;
        case 0x03:
        case 0x0B: {
            const size_t data_from = command_ == 0x03 ? 4 : 5;
            if (index >= 1 && index <= 3) address_ = address_ << 8 | in;
            if (index + 1 >= data_from) {
                next_out_ = array_[(address_ + (index + 1 - data_from)) % size];
            }
            break;
        }
        case 0x02:
            if (index >= 1 && index <= 3) address_ = address_ << 8 | in;
            if (index >= 4 && page_.size() < 256) page_.push_back(in);
            break;
        case 0x20:
        case 0xD8:
            if (index >= 1 && index <= 3) address_ = address_ << 8 | in;
            break;
        default:
            break;
    }
}

void SpiFlash::EndLocked() {
    const size_t size = array_.size();
    if (count_ == 1 && command_ == 0x06) write_enabled_ = true;
    if (count_ == 1 && command_ == 0x04) write_enabled_ = false;
    if (!write_enabled_ || count_ == 0) return;
    bool done = false;
    if (command_ == 0x02 && count_ >= 4) {
        const uint32_t page = address_ & ~0xFFu;
        for (size_t i = 0; i < page_.size(); i++) {
            const uint32_t a = page + ((address_ + i) & 0xFF);
            array_[a % size] &= page_[i];
        }
        done = true;
    } else if ((command_ == 0x20 || command_ == 0xD8) && count_ == 4) {
        const uint32_t block = command_ == 0x20 ? 0x1000 : 0x10000;
        const uint32_t start = (address_ & ~(block - 1)) % static_cast<uint32_t>(size);
        std::fill_n(array_.begin() + start, std::min<size_t>(block, size - start), 0xFF);
        done = true;
    } else if ((command_ == 0x60 || command_ == 0xC7) && count_ == 1) {
        std::fill(array_.begin(), array_.end(), 0xFF);
        done = true;
    }
    if (done) write_enabled_ = false;
}

}  // namespace ftdisim
