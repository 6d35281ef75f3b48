#include "link_protocol.h"

#include <cstdio>
#include <cstring>

FT_STATUS ftStatus = FT_OK;

int RxStates = kRxHunting;
int idxRxFrame = 0;
unsigned char RxFrameBuf[256];

namespace {

FrameHandler gFrameHandler = nullptr;

// The frames the converter sends: a frame is complete when its 0x0D arrives
// at exactly the length its command code calls for. A 0x0D anywhere else is
// payload.
bool CompletesFrame(unsigned char command, int length) {
    switch (command) {
        case kCmdWiegand:
            return length == 20;
        case kCmdTamper:
        case kCmdGpio0:
        case kCmdGpio1:
        case kCmdReset:
        case kCmdEepromDump:
            return length == 6;
        case 0x09:
            return length == 7;
        default:
            return false;
    }
}

}  // namespace

void SetFrameHandler(FrameHandler handler) {
    gFrameHandler = handler;
}

std::size_t BuildFrame(unsigned char command, const unsigned char *payload, std::size_t length,
                       unsigned char *frame) {
    if (length > kMaxPayloadLength || (length > 0 && payload == nullptr)) return 0;
    frame[0] = kFrameSync;
    frame[1] = kFrameSync;
    frame[2] = command;
    if (length > 0) std::memcpy(frame + 3, payload, length);
    frame[3 + length] = 0x00;
    frame[4 + length] = kFrameEnd;
    return length + 5;
}

void Send_Command(void *handle, unsigned char command, unsigned char length,
                  unsigned char *payload) {
    unsigned char frame[kMaxFrameLength];
    const std::size_t frameLength = BuildFrame(command, payload, length, frame);
    if (frameLength == 0) {
        ftStatus = FT_INVALID_PARAMETER;
    } else {
        uint32_t written = 0;
        ftStatus = FT_Write(handle, frame, static_cast<uint32_t>(frameLength), &written);
    }
    std::puts(ftStatus == FT_OK ? "  Ok" : "  Nok");
}

void Send_ResetRequest(void *handle) {
    unsigned char payload[1] = {0x00};
    Send_Command(handle, kCmdReset, 1, payload);
}

void ProcessRxData(unsigned char *data, unsigned int length) {
    unsigned int pos = 0;
    while (pos < length) {
        switch (RxStates) {
            case kRxFirstSync:
                // The sync pair was split between two chunks.
                if (data[pos] == kFrameSync) {
                    RxFrameBuf[1] = kFrameSync;
                    idxRxFrame = 2;
                    RxStates = kRxCollecting;
                } else {
                    idxRxFrame = 0;
                    RxStates = kRxHunting;
                }
                ++pos;
                break;

            case kRxCollecting:
                if (idxRxFrame >= static_cast<int>(kMaxFrameLength)) {
                    // No frame is longer: drop it and look at this byte afresh.
                    idxRxFrame = 0;
                    RxStates = kRxHunting;
                    break;
                }
                RxFrameBuf[idxRxFrame++] = data[pos++];
                if (RxFrameBuf[idxRxFrame - 1] == kFrameEnd &&
                    CompletesFrame(RxFrameBuf[2], idxRxFrame)) {
                    RxStates = kRxComplete;
                }
                break;

            case kRxComplete:
                ProcessFrame();
                break;

            case kRxHunting:
            default:
                RxStates = kRxHunting;
                if (data[pos++] != kFrameSync) break;
                RxFrameBuf[0] = kFrameSync;
                idxRxFrame = 1;
                if (pos == length) {
                    RxStates = kRxFirstSync;
                } else if (data[pos] == kFrameSync) {
                    RxFrameBuf[1] = kFrameSync;
                    idxRxFrame = 2;
                    ++pos;
                    RxStates = kRxCollecting;
                } else {
                    // A lone sync byte: hunting goes on at the byte after it.
                    idxRxFrame = 0;
                }
                break;
        }
    }
}

void ProcessFrame() {
    if (RxStates != kRxComplete) return;
    if (gFrameHandler != nullptr) gFrameHandler(RxFrameBuf[2]);
    idxRxFrame = 0;
    RxStates = kRxHunting;
}

void PrintLevelReport(const char *name) {
    switch (RxFrameBuf[3]) {
        case kLevelLow:
            std::printf("Rst %s\n", name);
            break;
        case kLevelHigh:
            std::printf("Set %s\n", name);
            break;
        default:
            std::printf("Err %s", name);
            break;
    }
}
