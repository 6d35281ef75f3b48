/*
 * A program of an integrator's, built against the installed library only
 * (once through pkg-config, once through the CMake package): it lists the
 * chips, opens the first by its serial number, sends the converter on its
 * line a reset request and reads the converter's answer back.
 */
#include <ftd2xx.h>
#include <stdio.h>
#include <string.h>

static int fail(const char *what, FT_STATUS status) {
    fprintf(stderr, "consumer: %s failed (status %u)\n", what, (unsigned)status);
    return 1;
}

int main(void) {
    static const unsigned char reset[6] = {0x55, 0x55, 0x0A, 0x00, 0x00, 0x0D};
    unsigned char reply[sizeof reset] = {0};
    char serial[16] = {0};
    uint32_t devices = 0, flags = 0, type = 0, id = 0, loc = 0, done = 0;
    FT_HANDLE handle = NULL;
    FT_STATUS st;

    if ((st = FT_CreateDeviceInfoList(&devices)) != FT_OK || devices == 0)
        return fail("listing", st);
    st = FT_GetDeviceInfoDetail(0, &flags, &type, &id, &loc, serial, NULL, &handle);
    if (st != FT_OK) return fail("FT_GetDeviceInfoDetail", st);
    if ((st = FT_OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &handle)) != FT_OK)
        return fail("open", st);
    if ((st = FT_SetBaudRate(handle, 9600)) != FT_OK ||
        (st = FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE)) !=
            FT_OK ||
        (st = FT_SetTimeouts(handle, 20000, 20000)) != FT_OK)
        return fail("line set-up", st);
    if ((st = FT_Write(handle, reset, sizeof reset, &done)) != FT_OK || done != sizeof reset)
        return fail("FT_Write", st);
    if ((st = FT_Read(handle, reply, sizeof reply, &done)) != FT_OK || done != sizeof reply)
        return fail("FT_Read", st);
    if ((st = FT_Close(handle)) != FT_OK) return fail("FT_Close", st);
    if (memcmp(reply, reset, sizeof reset) != 0) {
        fprintf(stderr, "consumer: the converter's answer differs from the request\n");
        return 1;
    }
    printf("consumer: %u device(s), %.16s answered the reset request\n", (unsigned)devices, serial);
    return 0;
}
