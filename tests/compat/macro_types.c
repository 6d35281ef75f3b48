/*
 * A program whose own headers, included before the D2XX header, define
 * function-like macros named like the Win32 base types, as an embedded
 * interpreter's header defines UCHAR(c) for its casts. The D2XX header must
 * compile after them and its functions take arguments of those types; the
 * program keeps using its macros as casts. Valid C (C99, C11) and C++ (C++98,
 * C++11): the C++ builds compile this file through macro_types.cpp.
 *
 * Opens the device named on the command line (wired in loopback, CTS
 * raised), sets 115200 8N1 with RTS/CTS, sets and reads chip settings
 * through UCHAR, WORD, ULONG and DWORD parameters, and writes and reads back.
 */
#define BYTE(x) ((unsigned char)(x))
#define LPBYTE(p) ((unsigned char *)(p))
#define UCHAR(c) ((unsigned char)(c))
#define PUCHAR(p) ((unsigned char *)(p))
#define CHAR(c) ((char)(c))
#define PCHAR(p) ((char *)(p))
#define LPSTR(p) ((char *)(p))
#define LPCSTR(p) ((const char *)(p))
#define LPCTSTR(p) ((const char *)(p))
#define WORD(x) ((unsigned short)(x))
#define LPWORD(p) ((unsigned short *)(p))
#define USHORT(x) ((unsigned short)(x))
#define PUSHORT(p) ((unsigned short *)(p))
#define DWORD(x) ((unsigned int)(x))
#define LPDWORD(p) ((unsigned int *)(p))
#define ULONG(x) ((unsigned int)(x))
#define PULONG(p) ((unsigned int *)(p))
#define LONG(x) ((int)(x))
#define LPLONG(p) ((int *)(p))
#define BOOL(x) ((x) != 0)
#define PVOID(p) ((void *)(p))
#define LPVOID(p) ((void *)(p))
#define LPCVOID(p) ((const void *)(p))
#define HANDLE(p) ((void *)(p))

#include <stdio.h>
#include <string.h>

#include "ftd2xx.h"

static int failures = 0;

#define EXPECT(cond) expect((cond), #cond, __LINE__)
static void expect(int ok, const char *what, int line) {
    if (!ok) {
        fprintf(stderr, "macro_types:%d: %s\n", line, what);
        ++failures;
    }
}

int main(int argc, char **argv) {
    FT_HANDLE handle = NULL;
    unsigned char latency = 0, mode = 0xAA;
    unsigned short word = 0;
    unsigned int lines = 0, queued = 0, written = 0, got = 0, version = 0;
    char serial[18], description[67];
    char buffer[16];
    FT_DEVICE type = 99;
    const char text[] = "cast macros";
    if (argc < 2 || FT_OpenEx(PVOID(argv[1]), DWORD(FT_OPEN_BY_SERIAL_NUMBER), &handle) != FT_OK) {
        fprintf(stderr, "macro_types: cannot open the device\n");
        return 1;
    }
    EXPECT(FT_GetDeviceInfo(handle, &type, NULL, PCHAR(serial), description, NULL) == FT_OK);
    EXPECT(strcmp(serial, argv[1]) == 0);
    EXPECT(FT_GetLibraryVersion(LPDWORD(&version)) == FT_OK && version != 0);
    EXPECT(FT_SetBaudRate(handle, ULONG(115200)) == FT_OK);
    EXPECT(FT_SetDataCharacteristics(handle, UCHAR(FT_BITS_8), UCHAR(FT_STOP_BITS_1),
                                     UCHAR(FT_PARITY_NONE)) == FT_OK);
    EXPECT(FT_SetFlowControl(handle, USHORT(FT_FLOW_RTS_CTS), UCHAR(0x11), UCHAR(0x13)) == FT_OK);
    EXPECT(FT_SetLatencyTimer(handle, UCHAR(16)) == FT_OK);
    EXPECT(FT_GetLatencyTimer(handle, PUCHAR(&latency)) == FT_OK && latency == 16);
    EXPECT(FT_SetBitMode(handle, UCHAR(0x0F), UCHAR(0)) == FT_OK);
    EXPECT(FT_GetBitMode(handle, &mode) == FT_OK);
    EXPECT(FT_SetChars(handle, CHAR('\n'), UCHAR(1), UCHAR(0), UCHAR(0)) == FT_OK);
    EXPECT(FT_ReadEE(handle, DWORD(0x10), LPWORD(&word)) == FT_OK && word == 0x1234);
    EXPECT(FT_GetModemStatus(handle, PULONG(&lines)) == FT_OK && (lines & MS_CTS_ON) != 0);
    EXPECT(FT_SetTimeouts(handle, ULONG(1000), ULONG(1000)) == FT_OK);
    EXPECT(BOOL(FT_W32_PurgeComm(handle, DWORD(PURGE_RXCLEAR | PURGE_TXCLEAR))));
    EXPECT(FT_Write(handle, LPVOID(text), DWORD(sizeof text - 1), &written) == FT_OK &&
           written == sizeof text - 1);
    EXPECT(FT_Read(handle, buffer, DWORD(sizeof text - 1), LPDWORD(&got)) == FT_OK &&
           got == sizeof text - 1 && memcmp(buffer, text, got) == 0);
    EXPECT(FT_GetQueueStatus(handle, &queued) == FT_OK && queued == 0);
    EXPECT(BOOL(FT_W32_CloseHandle(HANDLE(handle))));
    EXPECT(FT_Close(handle) == FT_INVALID_HANDLE);
    return failures == 0 ? 0 : 1;
}
