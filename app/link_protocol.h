// Converter link protocol: the framing of commands sent to the converter and
// the receive state machine that cuts the converter's byte stream into frames.
//
// Frame (both directions): 0x55 0x55, command code, payload, 0x00, 0x0D; at
// most 20 bytes. Everything here runs on the program's main thread only; the
// receive globals need no lock.
#ifndef WG_LINK_PROTOCOL_H
#define WG_LINK_PROTOCOL_H

#include <cstddef>

#include "ftd2xx.h"

// Command codes.
inline constexpr unsigned char kCmdWiegand = 0x01;
inline constexpr unsigned char kCmdTamper = 0x02;
inline constexpr unsigned char kCmdGpio0 = 0x03;
inline constexpr unsigned char kCmdGpio1 = 0x04;
inline constexpr unsigned char kCmdReset = 0x0A;
inline constexpr unsigned char kCmdEepromDump = 0x0B;

// Payload bytes of the on/off commands and reports.
inline constexpr unsigned char kLevelLow = 0x00;
inline constexpr unsigned char kLevelHigh = 0xFF;

inline constexpr unsigned char kFrameSync = 0x55;
inline constexpr unsigned char kFrameEnd = 0x0D;
inline constexpr unsigned int kMaxFrameLength = 20;
inline constexpr unsigned int kMaxPayloadLength = kMaxFrameLength - 5;

// Receive states.
enum RxState : int {
    kRxHunting = 0,     // looking for the first sync byte
    kRxFirstSync = 1,   // the previous chunk ended with a sync byte
    kRxCollecting = 2,  // sync pair seen, storing frame bytes
    kRxComplete = 3,    // RxFrameBuf holds a whole frame, not yet handled
};

// Status of the last library call whose result the console keeps.
extern FT_STATUS ftStatus;

// Receive state, shared by ProcessRxData and ProcessFrame.
extern int RxStates;
// Number of frame bytes held in RxFrameBuf; never above kMaxFrameLength.
extern int idxRxFrame;
// While RxStates is kRxComplete: the whole frame, byte 2 the command code.
extern unsigned char RxFrameBuf[256];

// A program's handler of complete frames; it reads RxFrameBuf.
using FrameHandler = void (*)(unsigned char command);

// Installs the handler that ProcessFrame dispatches to; null drops every frame.
void SetFrameHandler(FrameHandler handler);

// Frames `length` payload bytes (at most kMaxPayloadLength) under `command`,
// writes them with one FT_Write, keeps the status in ftStatus and completes
// the caller's line with "  Ok" or "  Nok". A longer payload is not sent and
// counts as a failed write.
void Send_Command(void *handle, unsigned char command, unsigned char length,
                  unsigned char *payload);

// Asks the converter to reset (command 0x0A).
void Send_ResetRequest(void *handle);

// Runs the receive state machine over `length` received bytes. A frame
// completed before the end of the chunk is handed to ProcessFrame at once; one
// completed by the last byte waits for the caller's ProcessFrame. A partial
// frame is kept for the next chunk.
void ProcessRxData(unsigned char *data, unsigned int length);

// If a frame is complete, hands it to the installed handler and empties the
// receive buffer; otherwise does nothing.
void ProcessFrame();

// Prints the on/off report held in RxFrameBuf (payload byte 3) for `name`:
// "Rst <name>" or "Set <name>" as a line, or "Err <name>" with no line end for
// any other value.
void PrintLevelReport(const char *name);

// Writes the frame for `command` and `payload` into `frame` (room for
// kMaxFrameLength bytes) and returns its length, or 0 when the payload is too
// long to frame.
std::size_t BuildFrame(unsigned char command, const unsigned char *payload, std::size_t length,
                       unsigned char *frame);

#endif  // WG_LINK_PROTOCOL_H
