// The converter's receiver: cuts the byte stream from the host into frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ftdisim {

// One piece of the received stream, in arrival order: either a whole valid
// frame or a run of bytes that belonged to none.
struct ParsedPiece {
    bool is_frame = false;
    std::vector<uint8_t> bytes;
};

// A frame is accepted only when it starts with the sync pair, its code has a
// known length, and the last two bytes of that length are 0x00 0x0D. On any
// mismatch the first byte of the candidate is given up as garbage and the rest
// is scanned again, so a frame that starts inside a broken one is still
// found. Bytes of an unfinished candidate are kept across Feed calls (a frame
// may arrive in pieces split anywhere). Not thread-safe; the owner locks.
class FrameParser {
  public:
    // Appends what `data` completes to `out`, merging adjacent garbage.
    void Feed(const uint8_t *data, size_t n, std::vector<ParsedPiece> &out);
    // Bytes held as the start of a possible frame.
    size_t Pending() const { return pending_.size(); }
    void Clear() { pending_.clear(); }

  private:
    static void AddGarbage(uint8_t b, std::vector<ParsedPiece> &out);
    void Scan(std::vector<ParsedPiece> &out);

    std::vector<uint8_t> pending_;  // a frame candidate: empty or starting with 0x55
};

}  // namespace ftdisim
