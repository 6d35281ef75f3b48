#include "OutputMode.h"

#include <cstdio>

#include "console.h"
#include "link_protocol.h"
#include "wiegand.h"

void PrintHelp() {
    std::puts("\n");
    std::puts("Press 'r' or 'R' to send a Reset device");
    std::puts("Press 'd' or 'D' to read the device EEPROM");
    std::puts("Press 'x' or 'X' to exit");
    std::puts("\n");
}

void Send_WiegandFrame26b(void *handle) {
    long facility = -1;
    long badge = -1;
    if (!PromptNumber("Facility code [0-255] :", 0, 255, &facility)) return;
    std::putchar('\n');
    if (!PromptNumber("Badge_ID [0-65535] :", 0, 65535, &badge)) return;
    std::putchar('\n');
    Send_WiegandFrame26b(handle, static_cast<int>(facility), badge);
}

void Send_WiegandFrame26b(void *handle, int facility, long badge) {
    WiegandPayload payload = BuildWiegand26Payload(facility, badge);
    Send_Command(handle, kCmdWiegand, static_cast<unsigned char>(payload.size()), payload.data());
    std::puts("Wiegand Frame sent ");
}

void Send_WiegandFrame30b(void *) {}
void Send_WiegandFrame34b(void *) {}
void Send_WiegandFrame35b(void *) {}
void Send_WiegandFrame37b(void *) {}
void Send_WiegandFrame38b(void *) {}
void Send_WiegandFrame42b(void *) {}

void Set_Tamper(void *handle) {
    unsigned char payload[1] = {kLevelHigh};
    Send_Command(handle, kCmdTamper, 1, payload);
}

void Reset_Tamper(void *handle) {
    unsigned char payload[1] = {kLevelLow};
    Send_Command(handle, kCmdTamper, 1, payload);
}

void ProcessGPIO0Frame() {
    PrintLevelReport("GPIO0");
}

void ProcessGPIO1Frame() {
    PrintLevelReport("GPIO1");
}

void OutputModeDispatch(unsigned char command) {
    switch (command) {
        case kCmdGpio0:
            ProcessGPIO0Frame();
            break;
        case kCmdGpio1:
            ProcessGPIO1Frame();
            break;
        default:
            break;
    }
}

void OutputModeKey(unsigned char key) {
    if (HandleSharedKey(key, PrintHelp)) return;
    switch (key) {
        case 'T':
            std::fputs("Set Tamper", stdout);
            Set_Tamper(ftHandle);
            break;
        case 't':
            std::fputs("Reset Tamper", stdout);
            Reset_Tamper(ftHandle);
            break;
        case 'W':
        case 'w':
            std::puts("Send 26b Wiegand Frame ");
            Send_WiegandFrame26b(ftHandle);
            break;
        default:
            break;
    }
}

int OutputModeMain() {
    return RunConsole({"Example 2 - Output mode", PrintHelp, OutputModeKey, OutputModeDispatch});
}
