/*
 * A program whose main returns while its other threads are still inside the
 * library: blocked in FT_Read with and without a time-out, in
 * FT_W32_WaitCommEvent and in an FT_Write the chip does not accept, and
 * polling FT_GetStatus. They keep calling while the process exits. Exits 0
 * unless something went wrong before main returned; a crash at exit shows as
 * a signal, a sanitizer report as its exit code.
 *
 *   exit_with_threads SERIAL_UNTIMED SERIAL_TIMED [stuck]
 *
 * The first device gets no time-outs and should hold back bulk-out data; the
 * second a 20 ms read time-out. With "stuck" one more thread sets the baud
 * rate of the first device, which should leave that request unanswered: the
 * process must still exit, and cleanly.
 */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "ftd2xx.h"

static FT_HANDLE untimed, timed;
static atomic_int started;

static void *read_untimed(void *arg) {
    char buf[64];
    DWORD n;
    (void)arg;
    atomic_fetch_add(&started, 1);
    for (;;) FT_Read(untimed, buf, sizeof buf, &n);
    return NULL;
}

static void *read_timed(void *arg) {
    char buf[64];
    DWORD n;
    (void)arg;
    atomic_fetch_add(&started, 1);
    for (;;) FT_Read(timed, buf, sizeof buf, &n);
    return NULL;
}

static void *wait_comm_event(void *arg) {
    DWORD mask;
    (void)arg;
    atomic_fetch_add(&started, 1);
    for (;;) FT_W32_WaitCommEvent(untimed, &mask, NULL);
    return NULL;
}

static void *write_held(void *arg) {
    static char data[4096];
    DWORD n;
    (void)arg;
    atomic_fetch_add(&started, 1);
    for (;;) FT_Write(untimed, data, sizeof data, &n);
    return NULL;
}

static void *poll_status(void *arg) {
    DWORD rx, tx, events;
    (void)arg;
    atomic_fetch_add(&started, 1);
    for (;;) FT_GetStatus(untimed, &rx, &tx, &events);
    return NULL;
}

static void *set_baud_rate(void *arg) {
    (void)arg;
    atomic_fetch_add(&started, 1);
    for (;;) FT_SetBaudRate(untimed, 9600);
    return NULL;
}

int main(int argc, char **argv) {
    void *(*bodies[])(void *) = {read_untimed, read_timed, wait_comm_event, write_held,
                                 poll_status};
    const int kinds = (int)(sizeof bodies / sizeof bodies[0]);
    const int copies = 4; /* more threads, more of them caught mid-call */
    const int count = kinds * copies;
    struct timespec pause = {0, 10 * 1000 * 1000};
    pthread_t thread;
    int i, count_started = 0;

    if (argc != 3 && !(argc == 4 && strcmp(argv[3], "stuck") == 0)) return 2;
    if (FT_OpenEx(argv[1], FT_OPEN_BY_SERIAL_NUMBER, &untimed) != FT_OK ||
        FT_OpenEx(argv[2], FT_OPEN_BY_SERIAL_NUMBER, &timed) != FT_OK ||
        FT_SetTimeouts(timed, 20, 20) != FT_OK || !FT_W32_SetCommMask(untimed, EV_RXCHAR)) {
        fprintf(stderr, "exit_with_threads: set-up failed\n");
        return 1;
    }
    for (i = 0; i < count; ++i) {
        if (pthread_create(&thread, NULL, bodies[i % kinds], NULL) != 0) return 1;
        pthread_detach(thread);
    }
    if (argc == 4) {
        if (pthread_create(&thread, NULL, set_baud_rate, NULL) != 0) return 1;
        pthread_detach(thread);
        ++count_started;
    }
    while (atomic_load(&started) < count + count_started) nanosleep(&pause, NULL);
    nanosleep(&pause, NULL); /* each is inside its call now */
    return 0;
}
