#include "console.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "device_wakeup.h"
#include "terminal.h"

FT_HANDLE ftHandle = nullptr;

namespace {

// Standard input has reached its end: kbhit no longer waits on it.
bool gStdinEnded = false;
// A prompt could not be answered, or the exit key was pressed.
bool gExitRequested = false;

// The serial number of the open device, for the notice that it is gone;
// gGoneNoticed once that notice has been printed.
std::string gOpenSerial;
bool gGoneNoticed = false;

void WaitForKey(int waitMs) {
    if (gStdinEnded) {
        poll(nullptr, 0, waitMs);
        return;
    }
    struct pollfd in = {STDIN_FILENO, POLLIN, 0};
    poll(&in, 1, waitMs);
}

// Sleeps until a key waits, the device has something for the loop (or is
// gone), or a signal comes. Without the library's notification the device is
// looked at every kIdleWaitMs instead.
void WaitForWork(const DeviceWakeup &wakeup) {
    struct pollfd fds[2];
    nfds_t count = 0;
    if (!gStdinEnded) fds[count++] = {STDIN_FILENO, POLLIN, 0};
    if (wakeup.fd() != -1) fds[count++] = {wakeup.fd(), POLLIN, 0};
    const bool unwatched = ftHandle != nullptr && wakeup.fd() == -1;
    poll(fds, count, unwatched ? kIdleWaitMs : -1);
}

// One pass of the receive side: whatever waits goes through the state
// machine. Returns whether bytes came.
bool ServeReceivedBytes(unsigned char *buffer) {
    std::uint32_t queued = 0;
    const FT_STATUS status = FT_GetQueueStatus(ftHandle, &queued);
    if (status != FT_OK && ftHandle != nullptr && !gGoneNoticed) {
        // The open device no longer answers: it has been unplugged. Said once;
        // the keys go on as before and their commands fail.
        gGoneNoticed = true;
        std::printf("\n Device SN=%s was unplugged; press 'x' or 'X' to exit\n",
                    gOpenSerial.c_str());
        return true;
    }
    if (status != FT_OK || queued == 0) return false;
    const std::uint32_t wanted = std::min(queued, kRxBufferSize);
    std::uint32_t received = 0;
    ftStatus = FT_Read(ftHandle, buffer, wanted, &received);
    ProcessRxData(buffer, std::min(received, wanted));
    ProcessFrame();
    return true;
}

// Reads and drops `count` bytes that were waiting; stops early when a read
// brings nothing.
void DiscardWaiting(void *handle, std::uint32_t count, unsigned char *buffer) {
    while (count > 0) {
        std::uint32_t received = 0;
        const std::uint32_t wanted = std::min(count, kRxBufferSize);
        if (FT_Read(handle, buffer, wanted, &received) != FT_OK || received == 0) return;
        count -= std::min(received, wanted);
    }
}

constexpr unsigned char kEscape = 0x1B;

// How long the bytes of one key's sequence may lag behind each other, in ms.
// A terminal sends them in one write; a person cannot type two keys this fast.
constexpr int kSequenceGapMs = 30;
// Longest key sequence read; anything longer is not a key.
constexpr int kMaxSequenceLength = 16;

// The next byte of a key sequence, when one comes within kSequenceGapMs;
// EOF otherwise.
int SequenceByte() {
    RawKeyInput raw;
    for (int attempt = 0; attempt < 2; ++attempt) {
        errno = 0;
        const int c = std::getchar();
        if (c != EOF) return c;
        if (std::feof(stdin) || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            gStdinEnded = true;
            return EOF;
        }
        std::clearerr(stdin);
        if (attempt == 0) WaitForKey(kSequenceGapMs);
    }
    return EOF;
}

// Called after an ESC key code. Cursor, function and editing keys, with or
// without modifiers, send ESC '[' parameters final (0x40..0x7E), ESC 'O'
// [parameters] final, or on the Linux console ESC '[' '[' letter: such a
// sequence is read whole and dropped, so that none of its bytes acts as a
// key. An ESC followed by anything else is the Esc key itself, which does
// nothing; the byte after it is a key of its own.
void SkipKeySequence() {
    int c = SequenceByte();
    if (c != '[' && c != 'O') {
        if (c != EOF) std::ungetc(c, stdin);
        return;
    }
    const bool csi = c == '[';
    for (int n = 0; n < kMaxSequenceLength; ++n) {
        c = SequenceByte();
        if (c == EOF) return;
        if (csi && n == 0 && c == '[') {
            SequenceByte();
            return;
        }
        if (c >= 0x40 && c <= 0x7E) return;
        if (c < 0x20 || c > 0x7E) {
            std::ungetc(c, stdin);
            return;
        }
    }
}

// One line of standard input, without its line end.
struct InputLine {
    std::string text;       // at most kMaxAnswerLength characters
    bool tooLong = false;   // more came, and was dropped: no answer
    bool complete = false;  // ended by a line end, not by the end of input
};

// A line is never longer than a person types for a number.
constexpr std::size_t kMaxAnswerLength = 64;

InputLine ReadLine() {
    InputLine line;
    for (;;) {
        errno = 0;
        const int c = std::getchar();
        if (c == EOF && !std::feof(stdin) && errno == EINTR) {
            // A signal broke the wait (a stop and continue, or one whose
            // handler is still to run: sanitizer runtimes run it at the next
            // call they watch, which the poll is). The line goes on being
            // typed; the poll waits for it.
            std::clearerr(stdin);
            struct pollfd in = {STDIN_FILENO, POLLIN, 0};
            poll(&in, 1, -1);
            continue;
        }
        if (c == EOF) return line;
        if (c == '\n') {
            line.complete = true;
            return line;
        }
        if (line.text.size() < kMaxAnswerLength) {
            line.text.push_back(static_cast<char>(c));
        } else {
            line.tooLong = true;
        }
    }
}

// Whether `line` is a decimal number in [min, max] with nothing but blanks
// around it.
bool ParseAnswer(const std::string &line, long min, long max, long *value) {
    static constexpr char kBlanks[] = " \t\r";
    const std::size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string::npos) return false;
    const std::string number = line.substr(first, line.find_last_not_of(kBlanks) - first + 1);
    if (number.find_first_of(kBlanks) != std::string::npos) return false;
    errno = 0;
    char *end = nullptr;
    const long read = std::strtol(number.c_str(), &end, 10);
    if (end == number.c_str() || *end != '\0' || errno == ERANGE) return false;
    if (read < min || read > max) return false;
    *value = read;
    return true;
}

}  // namespace

bool HandleSharedKey(unsigned char key, void (*printHelp)()) {
    switch (key) {
        case 'D':
        case 'd':
            std::fputs("EEPROM Dump Request  ", stdout);
            Send_EEPROMDumpRequest(ftHandle);
            return true;
        case 'H':
        case 'h':
            printHelp();
            return true;
        case 'R':
        case 'r':
            std::fputs("Reset request ", stdout);
            Send_ResetRequest(ftHandle);
            return true;
        case 'X':
        case 'x':
            std::puts("Exit \n");
            RequestExit();
            return true;
        default:
            return false;
    }
}

void RequestExit() {
    gExitRequested = true;
}
bool ExitRequested() {
    return gExitRequested;
}

void print_info() {
    std::puts("\n\n############################################################################");
    std::puts("In Linux, the VCP driver and D2XX driver are incompatible with each other.");
    std::puts("To correctly execute this application the VCP driver must be unloaded:");
    std::puts("Execute \"sudo rmmod ftdi_sio\"");
    std::puts("Execute \"sudo rmmod usbserial\"");
    std::puts("When the FTDI device is power cycled or reset the VCP driver will be reloaded.");
    std::puts("The rmmod process must be repeated each time this occurs.");
    std::puts("############################################################################\n");
}

unsigned int GetDeviceList(DevList *list) {
    std::uint32_t count = 0;
    FT_CreateDeviceInfoList(&count);
    for (std::uint32_t i = 0; i < count && i < kMaxListedDevices; ++i) {
        std::uint32_t flags = 0, type = 0, id = 0, locId = 0;
        char serial[kSerialNumberLength] = {};
        char description[64] = {};
        FT_HANDLE handle = nullptr;
        if (FT_GetDeviceInfoDetail(i, &flags, &type, &id, &locId, serial, description, &handle) !=
            FT_OK) {
            continue;
        }
        // A serial number of 16 characters fills the buffer with no terminator.
        const std::size_t length = strnlen(serial, sizeof serial);
        auto copy = std::make_unique<char[]>(kSerialNumberLength + 1);
        std::memcpy(copy.get(), serial, length);
        copy[length] = '\0';
        list->serialNumber[i] = std::move(copy);
    }
    list->numDevices = count;
    return count;
}

int PrintDeviceList(DevList *list) {
    int printed = 0;
    for (std::uint32_t i = 0; i < list->numDevices && i < kMaxListedDevices; ++i) {
        if (!list->serialNumber[i]) break;
        std::printf("%d) SN=%s \n", static_cast<int>(i + 1), list->serialNumber[i].get());
        ++printed;
    }
    return printed;
}

bool PromptNumber(const char *prompt, long min, long max, long *value) {
    // Switched before the prompt shows, so that an answer typed as soon as it
    // appears is edited and echoed as a line.
    LineModeForPrompt lineMode;
    // One whole line is one answer: a number in range, blanks around it
    // allowed. Anything else on the line, an empty line included, asks again,
    // and nothing of the line is left over for the keys.
    for (;;) {
        // Set before the prompt shows: a signal may come as soon as it does.
        SetAtPrompt(true);
        std::fputs(prompt, stdout);
        std::fflush(stdout);
        const InputLine line = ReadLine();
        SetAtPrompt(false);
        if (!line.tooLong && ParseAnswer(line.text, min, max, value)) {
            if (!line.complete) gStdinEnded = true;
            return true;
        }
        if (!line.complete) {
            gStdinEnded = true;
            std::putchar('\n');
            RequestExit();
            return false;
        }
    }
}

int ChooseDeviceFromList(DevList *list) {
    // Only listed slots can be chosen, so a count beyond the slots is capped.
    const int bound =
        static_cast<int>(std::min<std::uint32_t>(list->numDevices, kMaxListedDevices));
    const std::string prompt = "\n Choose from (1-" + std::to_string(bound) + ") :";
    long choice = -1;
    if (!PromptNumber(prompt.c_str(), 1, bound, &choice)) return -1;

    char *serial = list->serialNumber[choice - 1].get();
    if (serial == nullptr) {
        // The device's details could not be read: there is no name to open.
        ftStatus = FT_DEVICE_NOT_FOUND;
        std::printf("Erro! Error code %d (USB Device %s isn't plug to USB port)\n\r",
                    static_cast<int>(ftStatus), "");
        return 0;
    }

    ftStatus = FT_OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &ftHandle);
    if (ftStatus != FT_OK) {
        std::printf("Erro! Error code %d (USB Device %s isn't plug to USB port)\n\r",
                    static_cast<int>(ftStatus), serial);
        return 0;
    }
    ftStatus = FT_SetBaudRate(ftHandle, 9600);
    if (ftStatus != FT_OK) {
        std::printf("Erro! Error code %d (Couldn't set the BaudRate)\n\r",
                    static_cast<int>(ftStatus));
        return static_cast<int>(ftStatus);
    }
    ftStatus = FT_SetDataCharacteristics(ftHandle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    if (ftStatus != FT_OK) {
        std::printf("Erro! Error code %d (Couldn't set Data bits or Stop bits or Parity bit)\n\r",
                    static_cast<int>(ftStatus));
        return static_cast<int>(ftStatus);
    }
    gOpenSerial = serial;
    std::printf("\n Connected to device SN=%s\n", serial);
    return static_cast<int>(choice);
}

void FreeAllocatedMemory(DevList *list) {
    for (auto &slot : list->serialNumber) slot.reset();
}

void DisconnectDevice() {
    if (ftHandle == nullptr) return;
    ftStatus = FT_Close(ftHandle);
    ftHandle = nullptr;
}

int kbhit(int waitMs) {
    int ch = EOF;
    {
        RawKeyInput raw;
        if (waitMs > 0) WaitForKey(waitMs);
        errno = 0;
        ch = std::getchar();
        if (ch == EOF) {
            const bool noKeyYet =
                !std::feof(stdin) && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
            if (noKeyYet) {
                std::clearerr(stdin);
            } else {
                // End of file, or a terminal that has gone (EIO): nothing
                // more will come, so passes stop waiting on it.
                gStdinEnded = true;
            }
        }
    }
    if (ch == EOF) return 0;
    std::ungetc(ch, stdin);
    return 1;
}

void Send_EEPROMDumpRequest(void *handle) {
    unsigned char buffer[kRxBufferSize];

    FT_SetTimeouts(handle, 1000, 0);
    // A stale report must not be mistaken for the reply.
    std::uint32_t queued = 0;
    if (FT_GetQueueStatus(handle, &queued) == FT_OK && queued != 0) {
        DiscardWaiting(handle, queued, buffer);
    }

    unsigned char payload[1] = {0x00};
    Send_Command(handle, kCmdEepromDump, 1, payload);
    std::fflush(stdout);
    // The converter's reply gets one second, which it may take in pieces.
    std::this_thread::sleep_for(std::chrono::seconds(1));

    FT_SetTimeouts(handle, 1000, 0);
    queued = 0;
    if (FT_GetQueueStatus(handle, &queued) != FT_OK || queued == 0) return;

    // The reply is printed whole, read in pieces no larger than the buffer.
    std::uint32_t printed = 0;
    while (printed < queued) {
        const std::uint32_t wanted = std::min(queued - printed, kRxBufferSize);
        std::uint32_t received = 0;
        ftStatus = FT_Read(handle, buffer, wanted, &received);
        if (ftStatus != FT_OK) {
            if (printed != 0) std::putchar('\n');
            std::puts("Error reading EEPROM ");
            return;
        }
        received = std::min(received, wanted);
        if (printed == 0) std::putchar('\n');
        for (std::uint32_t i = 0; i < received; ++i) {
            std::printf("%02X ", buffer[i]);
            if ((printed + i + 1) % 13 == 0) std::putchar('\n');
        }
        printed += received;
        if (received < wanted) break;
    }
    std::putchar('\n');
}

int RunConsole(const ConsoleProgram &program) {
    static DevList AvailableDevicesList;

    gExitRequested = false;
    gStdinEnded = false;
    gGoneNoticed = false;
    gOpenSerial.clear();
    InstallTerminalGuard();
    SetFrameHandler(program.processFrame);

    print_info();
    std::puts("Quillmark");
    std::puts("Tavrin Wiegand Converters Application");
    std::puts(program.modeLine);
    std::puts("\n\n List of avaiable devices: \n");

    GetDeviceList(&AvailableDevicesList);
    PrintDeviceList(&AvailableDevicesList);
    int loopState = ChooseDeviceFromList(&AvailableDevicesList);
    if (loopState != -1) {
        // Key mode is on before the help shows, so that no key is echoed.
        KeyModeTerminal keyMode;
        program.printHelp();

        // Armed once the loop's terminal mode is set; disarmed before the close.
        DeviceWakeup wakeup(ftHandle);
        unsigned char rxBuffer[kRxBufferSize];
        // The first pass does not wait: keys or bytes may already be waiting.
        // A pass that found nothing sleeps until something comes; one that
        // found something looks again at once.
        bool busy = true;
        while (loopState != -1) {
            if (!busy) WaitForWork(wakeup);
            // Before the queue is looked at, so that bytes arriving after the
            // look signal again.
            wakeup.Collect();
            const bool key = kbhit() != 0;
            if (key) {
                const unsigned char code = static_cast<unsigned char>(std::getchar() & 0xFF);
                if (code == kEscape) {
                    SkipKeySequence();
                } else {
                    program.handleKey(code);
                }
                if (ExitRequested()) loopState = -1;
            }
            const bool received = ServeReceivedBytes(rxBuffer);
            busy = key || received;
            if (busy) std::fflush(stdout);
        }
        std::fflush(stdout);
    }

    FreeAllocatedMemory(&AvailableDevicesList);
    DisconnectDevice();
    std::fflush(stdout);
    return 0;
}
