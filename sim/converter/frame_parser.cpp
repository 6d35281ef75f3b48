#include "converter/frame_parser.h"

#include "converter/wiegand_frames.h"

namespace ftdisim {

void FrameParser::AddGarbage(uint8_t b, std::vector<ParsedPiece> &out) {
    if (out.empty() || out.back().is_frame) out.push_back(ParsedPiece{false, {}});
    out.back().bytes.push_back(b);
}

void FrameParser::Feed(const uint8_t *data, size_t n, std::vector<ParsedPiece> &out) {
    for (size_t i = 0; i < n; ++i) {
        pending_.push_back(data[i]);
        Scan(out);
    }
}

// Invariant on return: pending_ is a proper prefix of some valid frame.
void FrameParser::Scan(std::vector<ParsedPiece> &out) {
    while (!pending_.empty()) {
        bool reject = pending_[0] != kSync || (pending_.size() >= 2 && pending_[1] != kSync);
        size_t length = 0;
        if (!reject && pending_.size() >= 3) {
            length = FrameLength(pending_[2]);
            reject = length == 0;
        }
        if (!reject && length != 0 && pending_.size() == length) {
            if (pending_[length - 2] == kPad && pending_[length - 1] == kTerminator) {
                out.push_back(ParsedPiece{true, std::move(pending_)});
                pending_.clear();
                return;
            }
            reject = true;
        }
        if (!reject) return;  // a prefix of a frame: wait for more bytes
        AddGarbage(pending_.front(), out);
        pending_.erase(pending_.begin());
    }
}

}  // namespace ftdisim
