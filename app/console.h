// The console shared by wg_output and wg_input: start-up, the device list and
// choice, the key/receive loop, the EEPROM dump and the terminal handling.
// Everything runs on the main thread; the globals need no lock.
#ifndef WG_CONSOLE_H
#define WG_CONSOLE_H

#include <array>
#include <cstdint>
#include <memory>

#include "ftd2xx.h"
#include "link_protocol.h"

// Devices offered for choice. Slot i holds the serial number of device index i
// (at most 16 characters, terminated); a null slot is a device whose details
// could not be read. numDevices is the count the library reported, which may
// exceed the number of slots.
inline constexpr unsigned int kMaxListedDevices = 10;
inline constexpr unsigned int kSerialNumberLength = 16;

struct DevList {
    std::uint32_t numDevices = 0;
    std::array<std::unique_ptr<char[]>, kMaxListedDevices> serialNumber;
};

// The open device; null until FT_OpenEx succeeds and again after
// DisconnectDevice.
extern FT_HANDLE ftHandle;

// Receive buffer size of the loop and of the EEPROM dump; no read asks for more.
inline constexpr std::uint32_t kRxBufferSize = 256;

// How often an idle key loop looks at a device whose event notification could
// not be armed, in ms. With notification it sleeps until a key or the device
// wakes it.
inline constexpr int kIdleWaitMs = 5;

// What tells the two programs apart.
struct ConsoleProgram {
    const char *modeLine;                  // third line of the banner
    void (*printHelp)();                   // the program's help text
    void (*handleKey)(unsigned char key);  // the program's key map
    FrameHandler processFrame;             // the program's frame dispatch
};

// The whole program: start-up, choice, loop until the exit key, close.
// Returns the process exit status, 0.
int RunConsole(const ConsoleProgram &program);

void print_info();

// Fills the list from a fresh device-information list; returns the reported
// device count.
unsigned int GetDeviceList(DevList *list);

// Prints the listed serial numbers up to the first empty slot; returns the
// number of lines printed.
int PrintDeviceList(DevList *list);

// Prompts until a listed position is chosen, opens that device by serial
// number and sets 9600 baud 8N1. Returns the choice (1-based) on success, 0
// when nothing was opened, the failing status when a line setting failed, and
// -1 when standard input ended before a choice was made.
int ChooseDeviceFromList(DevList *list);

void FreeAllocatedMemory(DevList *list);

// Closes the device if one is open.
void DisconnectDevice();

// Whether a key press waits on standard input; the key stays there for
// getchar. With waitMs above 0, first waits up to that long for one, with the
// terminal already out of line mode and echo so that a key pressed during the
// wait is neither echoed nor held back until Enter.
int kbhit(int waitMs = 0);

// Asks the converter for its EEPROM and prints the reply in hexadecimal.
void Send_EEPROMDumpRequest(void *handle);

// Prints `prompt` until a line of standard input (line mode) holds a number
// in [min, max] and nothing else but blanks; any other line, an empty one
// included, prints the prompt again. Returns false when standard input ends
// first; the program then ends after the current pass.
bool PromptNumber(const char *prompt, long min, long max, long *value);

// The keys both programs share: 'D'/'d' EEPROM dump, 'H'/'h' help (the
// program's own), 'R'/'r' reset request, 'X'/'x' exit. Returns false for
// any other key, which the program's own map then handles.
bool HandleSharedKey(unsigned char key, void (*printHelp)());

// Ends the key loop after the current pass.
void RequestExit();
bool ExitRequested();

#endif  // WG_CONSOLE_H
