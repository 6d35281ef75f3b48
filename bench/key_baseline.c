/* The floor for a console program's key-to-frame time: the device opened and
 * set up as the console programs do it, then each 'T' read from standard
 * input is written at once as the tamper frame 55 55 02 FF 00 0D with one
 * FT_Write, answered on standard output with "Set Tamper  Ok" (or "  Nok").
 * The process blocks in read(2) between keys: nothing is polled.
 *
 *   key_baseline [serial-number]   (default TWC00001)
 *
 * Prints "ready" once the device is set up; 'x' or the end of input closes
 * the device and exits. On a terminal, keys are taken one at a time, without
 * echo, and the terminal's modes are put back on exit. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include "ftd2xx.h"

int main(int argc, char **argv) {
    char *serial = argc > 1 ? argv[1] : "TWC00001";
    FT_HANDLE handle = NULL;
    FT_STATUS status = FT_OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &handle);
    if (status != FT_OK) {
        fprintf(stderr, "key_baseline: FT_OpenEx(%s) failed: %u\n", serial, (unsigned)status);
        return 1;
    }
    status = FT_SetBaudRate(handle, 9600);
    if (status == FT_OK) {
        status = FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    }
    if (status != FT_OK) {
        fprintf(stderr, "key_baseline: line settings failed: %u\n", (unsigned)status);
        FT_Close(handle);
        return 1;
    }

    struct termios line;
    const int terminal = tcgetattr(STDIN_FILENO, &line) == 0;
    if (terminal) {
        struct termios keys = line;
        keys.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
        keys.c_cc[VMIN] = 1;
        keys.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &keys);
    }
    puts("ready");
    fflush(stdout);

    static const unsigned char kTamperOn[] = {0x55, 0x55, 0x02, 0xFF, 0x00, 0x0D};
    for (;;) {
        unsigned char key;
        const ssize_t got = read(STDIN_FILENO, &key, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got != 1 || key == 'x' || key == 'X') break;
        if (key != 'T') continue;
        uint32_t written = 0;
        status = FT_Write(handle, kTamperOn, sizeof kTamperOn, &written);
        fputs("Set Tamper", stdout);
        puts(status == FT_OK ? "  Ok" : "  Nok");
        fflush(stdout);
    }

    if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &line);
    FT_Close(handle);
    return 0;
}
