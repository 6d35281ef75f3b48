/*
 * A JTAG scan written the way JTAG tools drive the chip's MPSSE, against the
 * published header alone: it lists the devices, opens the first one (the A
 * interface of a dual chip), resets the bit mode, selects MPSSE, synchronises
 * on the chip's answer to bad commands (0xAA, then 0xAB), sets the clock,
 * resets the TAPs through TMS and shifts the DR to collect the IDCODEs.
 *
 *   jtag_idcode [EXPECTED_IDCODE ...]
 *
 * Prints every TAP found, nearest TDO first. Exits 0 when the chain was
 * found (and, with arguments, holds exactly the IDCODEs given in that
 * order), 1 otherwise.
 */
#include <ftd2xx.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_TAPS 16

static FT_HANDLE handle;

static int fail(const char *what, FT_STATUS status) {
    fprintf(stderr, "jtag_idcode: %s failed (status %u)\n", what, (unsigned)status);
    if (handle != NULL) FT_Close(handle);
    return 1;
}

static FT_STATUS send(const unsigned char *bytes, DWORD n) {
    DWORD written = 0;
    FT_STATUS st = FT_Write(handle, (LPVOID)bytes, n, &written);
    if (st == FT_OK && written != n) st = FT_IO_ERROR;
    return st;
}

static FT_STATUS receive(unsigned char *bytes, DWORD n) {
    DWORD got = 0;
    FT_STATUS st = FT_Read(handle, bytes, n, &got);
    if (st == FT_OK && got != n) st = FT_IO_ERROR;
    return st;
}

/* Sends a bad opcode and reads until the chip's 0xFA echo of it: whatever
 * was still queued from before is dropped on the way. */
static int synchronise(unsigned char bad) {
    unsigned char pair[2] = {0, 0};
    int tries;
    if (send(&bad, 1) != FT_OK) return 0;
    for (tries = 0; tries < 64; tries++) {
        pair[0] = pair[1];
        if (receive(&pair[1], 1) != FT_OK) return 0;
        if (pair[0] == 0xFA && pair[1] == bad) return 1;
    }
    return 0;
}

int main(int argc, char **argv) {
    /* TCK low, TDI low, TMS high; TCK, TDI and TMS driven. 30 MHz / (1 + 29):
     * 1 MHz. Test-Logic-Reset (6 TMS highs), then Run-Test/Idle,
     * Select-DR-Scan, Capture-DR, Shift-DR (TMS 0, 1, 0, 0). */
    static const unsigned char setup[] = {0x8A, 0x97, 0x8D, 0x86, 29,   0x00, 0x80,
                                          0x08, 0x0B, 0x82, 0x00, 0x00, 0x85, 0x4B,
                                          0x05, 0x3F, 0x4B, 0x03, 0x02};
    /* 32 bits in and out, TDI high, LSB first, out on -ve, in on +ve edge. */
    static const unsigned char scan[] = {0x39, 0x03, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x87};
    static const unsigned char leave[] = {0x4B, 0x05, 0x3F, 0x87};
    FT_DEVICE_LIST_INFO_NODE nodes[8];
    unsigned long idcodes[MAX_TAPS];
    unsigned char word[4];
    DWORD devices = 0, i;
    int taps = 0, ok = 1;
    FT_STATUS st;

    if ((st = FT_CreateDeviceInfoList(&devices)) != FT_OK) return fail("listing", st);
    if (devices == 0) return fail("listing (no device)", FT_DEVICE_NOT_FOUND);
    if (devices > 8) devices = 8;
    if ((st = FT_GetDeviceInfoList(nodes, &devices)) != FT_OK) return fail("device list", st);
    for (i = 0; i < devices; i++)
        printf("device %u: %s \"%s\"\n", (unsigned)i, nodes[i].SerialNumber, nodes[i].Description);

    if ((st = FT_Open(0, &handle)) != FT_OK) return fail("FT_Open", st);
    if ((st = FT_ResetDevice(handle)) != FT_OK) return fail("FT_ResetDevice", st);
    if ((st = FT_SetUSBParameters(handle, 65536, 65535)) != FT_OK)
        return fail("FT_SetUSBParameters", st);
    if ((st = FT_SetChars(handle, 0, 0, 0, 0)) != FT_OK) return fail("FT_SetChars", st);
    if ((st = FT_SetTimeouts(handle, 3000, 3000)) != FT_OK) return fail("FT_SetTimeouts", st);
    if ((st = FT_SetLatencyTimer(handle, 2)) != FT_OK) return fail("FT_SetLatencyTimer", st);
    if ((st = FT_SetBitMode(handle, 0x00, 0x00)) != FT_OK) return fail("reset of the mode", st);
    if ((st = FT_SetBitMode(handle, 0x0B, 0x02)) != FT_OK) return fail("MPSSE mode", st);
    if ((st = FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX)) != FT_OK) return fail("FT_Purge", st);

    if (!synchronise(0xAA) || !synchronise(0xAB))
        return fail("synchronising with the MPSSE", FT_IO_ERROR);
    printf("MPSSE synchronised\n");
    if ((st = send(setup, sizeof setup)) != FT_OK) return fail("clock and TAP reset", st);

    /* Each TAP holds its IDCODE after reset; the ones shifted in behind the
     * chain come out as 0xFFFFFFFF once every IDCODE has passed. A TAP
     * without IDCODE shows as a single 0 bit, which this scan does not
     * unpick. */
    for (;;) {
        unsigned long id;
        if ((st = send(scan, sizeof scan)) != FT_OK) return fail("DR scan", st);
        if ((st = receive(word, 4)) != FT_OK) return fail("reading the DR", st);
        id = word[0] | (unsigned long)word[1] << 8 | (unsigned long)word[2] << 16 |
             (unsigned long)word[3] << 24;
        if (id == 0xFFFFFFFFUL) break;
        if ((id & 1) == 0 || taps == MAX_TAPS) {
            fprintf(stderr, "jtag_idcode: no IDCODE at position %d (0x%08lX)\n", taps, id);
            ok = 0;
            break;
        }
        printf("TAP %d: IDCODE 0x%08lX (manufacturer 0x%03lX, part 0x%04lX, version %lu)\n", taps,
               id, (id >> 1) & 0x7FF, (id >> 12) & 0xFFFF, id >> 28);
        idcodes[taps++] = id;
    }
    if ((st = send(leave, sizeof leave)) != FT_OK) return fail("TAP reset", st);
    FT_SetBitMode(handle, 0x00, 0x00);
    FT_Close(handle);
    handle = NULL;

    if (taps == 0) ok = 0;
    if (argc > 1) {
        int k;
        if (argc - 1 != taps) ok = 0;
        for (k = 0; ok && k < taps; k++)
            if (strtoul(argv[k + 1], NULL, 0) != idcodes[k]) ok = 0;
        printf("%s\n", ok ? "chain as expected" : "chain NOT as expected");
    }
    printf("%d TAP%s found\n", taps, taps == 1 ? "" : "s");
    return ok ? 0 : 1;
}
