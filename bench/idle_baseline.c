/* The floor for the console programs' idle CPU: the device opened by serial
 * number and set up as they set it up (9600 baud, 8N1), then nothing but
 * sleeping. What this process spends meanwhile is the library's own receive
 * machinery keeping its bulk-in transfers in flight.
 *
 *   idle_baseline [serial-number [seconds]]   (default TWC00001, 10)
 *
 * Prints "ready" once the device is set up and "closed" after FT_Close;
 * exits 1 when the device cannot be opened or set up. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "ftd2xx.h"

static void SleepSeconds(double seconds) {
    struct timespec left;
    left.tv_sec = (time_t)seconds;
    left.tv_nsec = (long)((seconds - (double)left.tv_sec) * 1e9);
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int main(int argc, char **argv) {
    char *serial = argc > 1 ? argv[1] : "TWC00001";
    const double seconds = argc > 2 ? atof(argv[2]) : 10.0;
    FT_HANDLE handle = NULL;
    FT_STATUS status = FT_OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &handle);
    if (status != FT_OK) {
        fprintf(stderr, "idle_baseline: FT_OpenEx(%s) failed: %u\n", serial, (unsigned)status);
        return 1;
    }
    status = FT_SetBaudRate(handle, 9600);
    if (status == FT_OK) {
        status = FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    }
    if (status != FT_OK) {
        fprintf(stderr, "idle_baseline: line settings failed: %u\n", (unsigned)status);
        FT_Close(handle);
        return 1;
    }
    puts("ready");
    fflush(stdout);

    if (seconds > 0) SleepSeconds(seconds);

    status = FT_Close(handle);
    puts(status == FT_OK ? "closed" : "close failed");
    return status == FT_OK ? 0 : 1;
}
