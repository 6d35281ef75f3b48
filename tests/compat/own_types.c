/*
 * An EEPROM word tool of the kind ported from Windows: it brings its own
 * definitions of Win32 types, DWORD as a typedef and WORD as a macro, before
 * including the D2XX header, which must take them as they are. Reads, writes
 * and erases words of the device's EEPROM and checks the refusals. The test
 * bed presets word 0x10 to 0x1234, refuses the first erase, and afterwards
 * looks for 0xCAFE in word 0x21.
 */
#include <stdio.h>

typedef unsigned int DWORD;
#define WORD unsigned short

#include "ftd2xx.h"

static int failures = 0;

#define EXPECT(cond) expect((cond), #cond, __LINE__)
static void expect(int ok, const char *what, int line) {
    if (!ok) {
        fprintf(stderr, "own_types:%d: %s\n", line, what);
        ++failures;
    }
}

int main(int argc, char **argv) {
    FT_HANDLE handle = NULL;
    WORD value = 0;
    if (argc < 2 || FT_OpenEx(argv[1], FT_OPEN_BY_SERIAL_NUMBER, &handle) != FT_OK) {
        fprintf(stderr, "own_types: cannot open the device\n");
        return 1;
    }
    EXPECT(FT_ReadEE(handle, 0x10, &value) == FT_OK && value == 0x1234);
    EXPECT(FT_WriteEE(handle, 0x20, 0xBEEF) == FT_OK);
    EXPECT(FT_ReadEE(handle, 0x20, &value) == FT_OK && value == 0xBEEF);

    /* Beyond the chip's 128 words, the chip refuses; beyond what a request
     * carries (0x10020 would reach word 0x20), nothing is sent. */
    value = 0x5555;
    EXPECT(FT_ReadEE(handle, 128, &value) == FT_EEPROM_READ_FAILED && value == 0x5555);
    EXPECT(FT_ReadEE(handle, 0x10010, &value) == FT_EEPROM_READ_FAILED && value == 0x5555);
    EXPECT(FT_WriteEE(handle, 128, 1) == FT_EEPROM_WRITE_FAILED);
    EXPECT(FT_WriteEE(handle, 0x10020, 1) == FT_EEPROM_WRITE_FAILED);
    EXPECT(FT_ReadEE(handle, 0x20, &value) == FT_OK && value == 0xBEEF);
    EXPECT(FT_ReadEE(handle, 0x10, NULL) == FT_INVALID_PARAMETER);
    EXPECT(FT_ReadEE(NULL, 0x10, &value) == FT_INVALID_HANDLE);
    EXPECT(FT_WriteEE(NULL, 0x10, 1) == FT_INVALID_HANDLE);
    EXPECT(FT_EraseEE(NULL) == FT_INVALID_HANDLE);

    EXPECT(FT_EraseEE(handle) == FT_EEPROM_ERASE_FAILED);
    EXPECT(FT_EraseEE(handle) == FT_OK);
    EXPECT(FT_ReadEE(handle, 0x10, &value) == FT_OK && value == 0xFFFF);
    EXPECT(FT_WriteEE(handle, 0x21, 0xCAFE) == FT_OK);
    EXPECT(FT_Close(handle) == FT_OK);
    return failures == 0 ? 0 : 1;
}
