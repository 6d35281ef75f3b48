// Arbitrary bytes as what the converter sends, cut into reads, through the
// console's receive state machine.
//
// Input layout: byte 0, low four bits, is a count c; the next c bytes are
// read lengths, used in turn and over again (0 is an empty read; with no
// length given, or none above 0, every read is one byte); the rest is the
// received stream. Each read is handed to ProcessRxData and followed by
// ProcessFrame, as the key loop does.
//
// Checks: idxRxFrame stays within 0..20 and RxStates within 0..3, each state
// with the count of held bytes it implies; RxFrameBuf is never written past
// its 20th byte; every frame handed to the handler starts 0x55 0x55, ends
// 0x0D and has a (code, length) pair of the completion table. The frames
// delivered and the state left at the end are the same whether the stream
// comes in one read or in the reads above, and both agree with a decoder
// written here from the framing rules alone.
//
// Built with FTD2XX_FUZZ_REPLAY it is a plain program instead: it runs the
// entry point over every file (or every file of every directory) named on
// its command line: the seed corpus in fuzz/corpus/.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link_protocol.h"

namespace {

using Frame = std::vector<uint8_t>;

constexpr uint8_t kCanary = 0xEE;  // RxFrameBuf past the longest frame

struct Outcome {
    std::vector<Frame> frames;
    int state = kRxHunting;
    Frame held;  // the partial frame left for the next read
    bool operator==(const Outcome &) const = default;
};

Outcome *gRun = nullptr;  // where the handler records the frames of the current run

void Require(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "rx_frames_fuzz: %s\n", what);
    std::abort();
}

bool InCompletionTable(uint8_t code, size_t length) {
    switch (code) {
        case 0x01:
            return length == 20;
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x0A:
        case 0x0B:
            return length == 6;
        case 0x09:
            return length == 7;
        default:
            return false;
    }
}

bool IsCompleteFrame(const uint8_t *frame, size_t length) {
    return length >= 3 && frame[0] == 0x55 && frame[1] == 0x55 && frame[length - 1] == 0x0D &&
           InCompletionTable(frame[2], length);
}

void CheckState() {
    Require(idxRxFrame >= 0 && idxRxFrame <= 20, "idxRxFrame outside 0..20");
    switch (RxStates) {
        case kRxHunting:
            Require(idxRxFrame == 0, "bytes held while hunting");
            break;
        case kRxFirstSync:
            Require(idxRxFrame == 1 && RxFrameBuf[0] == 0x55,
                    "first sync state without one sync byte held");
            break;
        case kRxCollecting:
            Require(idxRxFrame >= 2 && RxFrameBuf[0] == 0x55 && RxFrameBuf[1] == 0x55,
                    "collecting without the sync pair held");
            break;
        case kRxComplete:
            Require(IsCompleteFrame(RxFrameBuf, static_cast<size_t>(idxRxFrame)),
                    "complete state without a complete frame");
            break;
        default:
            Require(false, "RxStates outside 0..3");
    }
}

void RecordFrame(unsigned char command) {
    Require(RxStates == kRxComplete, "handler called without a complete frame");
    Require(idxRxFrame >= 0 && idxRxFrame <= 20, "idxRxFrame outside 0..20");
    const auto length = static_cast<size_t>(idxRxFrame);
    Require(IsCompleteFrame(RxFrameBuf, length), "delivered frame is not a complete frame");
    Require(command == RxFrameBuf[2], "handler given another code than the frame's");
    gRun->frames.emplace_back(RxFrameBuf, RxFrameBuf + length);
}

void ResetReceiver() {
    RxStates = kRxHunting;
    idxRxFrame = 0;
    std::memset(RxFrameBuf, kCanary, sizeof RxFrameBuf);
}

Outcome Finish() {
    Outcome &run = *gRun;
    for (size_t i = 20; i < sizeof RxFrameBuf; ++i) {
        Require(RxFrameBuf[i] == kCanary, "RxFrameBuf written past its 20th byte");
    }
    run.state = RxStates;
    run.held.assign(RxFrameBuf, RxFrameBuf + idxRxFrame);
    return run;
}

// Feeds `stream` in reads of the given lengths, used in turn; each read is
// followed by ProcessFrame.
Outcome Run(const uint8_t *stream, size_t size, const std::vector<size_t> &lengths) {
    Outcome run;
    gRun = &run;
    ResetReceiver();
    std::vector<unsigned char> copy(stream, stream + size);
    size_t pos = 0;
    for (size_t turn = 0; pos < size || turn == 0; ++turn) {
        const size_t wanted = lengths[turn % lengths.size()];
        const size_t n = wanted < size - pos ? wanted : size - pos;
        ProcessRxData(copy.data() + pos, static_cast<unsigned int>(n));
        CheckState();
        ProcessFrame();
        CheckState();
        pos += n;
    }
    Require(size == 0 || std::memcmp(copy.data(), stream, size) == 0,
            "received bytes were altered");
    Outcome result = Finish();
    gRun = nullptr;
    return result;
}

// The framing rules on the whole stream at once: hunt for a sync pair; the
// byte after it is the code; collect until a 0x0D completes a table entry;
// a frame still incomplete at 20 bytes is dropped and the byte after it
// examined afresh. A lone 0x55 is skipped, the byte after it examined
// afresh.
Outcome Decode(const uint8_t *s, size_t n) {
    Outcome out;
    size_t i = 0;
    while (i < n) {
        if (s[i] != 0x55) {
            ++i;
            continue;
        }
        if (i + 1 == n) {  // the stream ends on a first sync byte
            out.state = kRxFirstSync;
            out.held = {0x55};
            return out;
        }
        if (s[i + 1] != 0x55) {
            ++i;
            continue;
        }
        Frame frame = {0x55, 0x55};
        size_t j = i + 2;
        bool complete = false;
        while (j < n && frame.size() < 20 && !complete) {
            frame.push_back(s[j++]);
            complete = IsCompleteFrame(frame.data(), frame.size());
        }
        if (complete) {
            out.frames.push_back(frame);
        } else if (j == n) {  // the stream ends inside a frame
            out.state = kRxCollecting;
            out.held = frame;
            return out;
        }
        i = j;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const size_t count = data[0] & 0x0F;
    if (size < 1 + count) return 0;
    std::vector<size_t> lengths(data + 1, data + 1 + count);
    bool any = false;
    for (size_t length : lengths) any = any || length != 0;
    if (!any) lengths = {1};
    const uint8_t *stream = data + 1 + count;
    const size_t stream_size = size - 1 - count;

    SetFrameHandler(RecordFrame);
    const Outcome expected = Decode(stream, stream_size);
    const Outcome whole = Run(stream, stream_size, {stream_size});
    const Outcome chunked = Run(stream, stream_size, lengths);
    Require(whole == expected, "one read delivers other frames than the framing rules give");
    Require(chunked == whole, "cutting the stream into reads changes what is delivered");
    SetFrameHandler(nullptr);
    return 0;
}

#ifdef FTD2XX_FUZZ_REPLAY

#include "replay.h"

int main(int argc, char **argv) {
    return fuzz_replay::ReplayMain(argc, argv);
}

#endif  // FTD2XX_FUZZ_REPLAY
