#include "transcript.h"

#include <algorithm>

#include "converter/frame_parser.h"

namespace ftdisim {

namespace {

std::string SettingsText(const LineSettings &s) {
    static constexpr char kParity[] = {'N', 'O', 'E', 'M', 'S'};
    static constexpr const char *kStop[] = {"1", "1.5", "2"};
    std::string text = std::to_string(s.baud) + " " + std::to_string(s.data_bits);
    text += s.parity < sizeof kParity ? kParity[s.parity] : '?';
    text += s.stop_bits < 3 ? kStop[s.stop_bits] : "?";
    if (s.break_on) text += " break";
    return text;
}

// Raw bytes are whatever a scenario wrote in one go: one frame, an EEPROM
// reply, garbage, or several frames back to back. The last are labelled frame
// by frame ("gpio0 high; gpio1 low"), with any bytes between or after them
// that form no frame as "unframed N bytes".
std::string DescribeRaw(const std::vector<uint8_t> &bytes) {
    const std::string whole = DescribeBytes(bytes);
    if (whole.find("unexpected length") == std::string::npos && whole.rfind("unframed", 0) != 0) {
        return whole;
    }
    FrameParser parser;
    std::vector<ParsedPiece> pieces;
    parser.Feed(bytes.data(), bytes.size(), pieces);
    if (parser.Pending() != 0)
        pieces.push_back(ParsedPiece{false, std::vector<uint8_t>(parser.Pending())});
    std::string text;
    for (const ParsedPiece &p : pieces) {
        if (!text.empty()) text += "; ";
        text += p.is_frame ? DescribeBytes(p.bytes)
                           : "unframed " + std::to_string(p.bytes.size()) + " bytes";
    }
    return text;
}

}  // namespace

Transcript::Transcript(std::FILE *file, std::chrono::steady_clock::time_point start,
                       bool tag_devices)
    : start_(start), tag_devices_(tag_devices), file_(file) {}

std::string Transcript::Summary(const LinkRecord &r) {
    if (r.garbled) return "(garbled: line at " + SettingsText(r.line) + ")";
    switch (r.kind) {
        case LinkRecord::Kind::kGarbage:
            return "(garbage)";
        case LinkRecord::Kind::kRaw:
            return "(raw: " + DescribeRaw(r.bytes) + ")";
        case LinkRecord::Kind::kFrame:
            break;
    }
    return std::string("(").append(DescribeBytes(r.bytes)) + ")";
}

std::string Transcript::Stamp(std::chrono::steady_clock::time_point when) const {
    const auto ms = std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(when - start_).count());
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld.%03lld", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return buf;
}

void Transcript::Record(std::string_view serial, const LinkRecord &record) {
    std::string line = Stamp(record.when);
    if (tag_devices_) line.append(" ").append(serial);
    line += record.direction == LinkDirection::kHostToConverter ? " host->converter "
                                                                : " converter->host ";
    line += HexBytes(record.bytes);
    line += " ";
    line += Summary(record);
    WriteLine(line);
}

void Transcript::Note(std::string_view serial, std::string_view text) {
    std::string line = "# " + Stamp(std::chrono::steady_clock::now());
    if (tag_devices_ && !serial.empty()) line.append(" ").append(serial);
    line.append(" ").append(text);
    WriteLine(line);
}

void Transcript::WriteLine(const std::string &line) {
    std::scoped_lock lock(mutex_);
    if (!file_) return;
    std::fputs(line.c_str(), file_.get());
    std::fputc('\n', file_.get());
    std::fflush(file_.get());
}

}  // namespace ftdisim
