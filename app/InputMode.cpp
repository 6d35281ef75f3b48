#include "InputMode.h"

#include <cstdio>

#include "console.h"
#include "link_protocol.h"
#include "wiegand.h"

void PrintHelp() {
    std::puts("\n");
    std::puts("Press 'O' to set GPIO0 to high level");
    std::puts("Press 'o' to set GPIO0 to low level");
    std::puts("Press 'P' to set GPIO1 to high level");
    std::puts("Press 'p' to set GPIO1 to low level");
    std::puts("Press 'r' or 'R' to send a Reset device");
    std::puts("Press 'd' or 'D' to read the device EEPROM");
    std::puts("Press 'x' or 'X' to exit");
    std::puts("\n");
}

void ProcessWiegandFrame() {
    const unsigned int bitCount = RxFrameBuf[3];
    const std::uint32_t value = WiegandValue(bitCount, &RxFrameBuf[4]);

    std::puts("Wiegand Frame Hex format:");
    for (unsigned int i = 0; i < kMaxFrameLength; ++i) std::printf("%02X ", RxFrameBuf[i]);
    std::putchar('\n');

    if (bitCount == 26) {
        const Wiegand26 decoded = DecodeWiegand26(value);
        std::fputs("26 Bit Wiegand, ", stdout);
        std::printf("Facility Code=%d, Badge ID=%d, ", static_cast<int>(decoded.facility),
                    static_cast<int>(decoded.badge));
        std::puts(ParityVerdict(decoded));
    }
    std::putchar('\n');
}

void ProcessTamperFrame() {
    PrintLevelReport("Tamper");
}

void Set_GPIO0(void *handle) {
    unsigned char payload[1] = {kLevelHigh};
    Send_Command(handle, kCmdGpio0, 1, payload);
}

void Reset_GPIO0(void *handle) {
    unsigned char payload[1] = {kLevelLow};
    Send_Command(handle, kCmdGpio0, 1, payload);
}

void Set_GPIO1(void *handle) {
    unsigned char payload[1] = {kLevelHigh};
    Send_Command(handle, kCmdGpio1, 1, payload);
}

void Reset_GPIO1(void *handle) {
    unsigned char payload[1] = {kLevelLow};
    Send_Command(handle, kCmdGpio1, 1, payload);
}

void InputModeDispatch(unsigned char command) {
    switch (command) {
        case kCmdWiegand:
            ProcessWiegandFrame();
            break;
        case kCmdTamper:
            ProcessTamperFrame();
            break;
        default:
            break;
    }
}

void InputModeKey(unsigned char key) {
    if (HandleSharedKey(key, PrintHelp)) return;
    switch (key) {
        case 'O':
            std::fputs("Set GPIO0", stdout);
            Set_GPIO0(ftHandle);
            break;
        case 'o':
            std::fputs("Reset GPIO0", stdout);
            Reset_GPIO0(ftHandle);
            break;
        case 'P':
            std::fputs("Set GPIO1", stdout);
            Set_GPIO1(ftHandle);
            break;
        case 'p':
            std::fputs("Reset GPIO1", stdout);
            Reset_GPIO1(ftHandle);
            break;
        default:
            break;
    }
}

int InputModeMain() {
    return RunConsole({"Example 1 - Input mode", PrintHelp, InputModeKey, InputModeDispatch});
}
