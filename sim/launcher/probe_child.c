/*
 * A plain libusb program used to check ftdisim-run end to end: it knows
 * nothing of the simulation and talks to the first FTDI chip (vendor 0x0403)
 * it finds, as any libusb program would.
 *
 *   probe_child [--serial S] reset            set 9600 8N1, send a reset
 *                                             request, expect the reset reply
 *                                             among the bytes that come back
 *   probe_child [--serial S] listen SECONDS   set 9600 8N1, print every frame
 *                                             the converter sends, then the
 *                                             CPU time used
 *   probe_child [--serial S] unplug SECONDS   wait for the device to go away
 *   probe_child [--serial S] idle SECONDS     keep the device open and sit in
 *                                             libusb's event loop with no
 *                                             transfer in flight, then print
 *                                             the CPU time used
 *   probe_child [--serial S] busy SECONDS     read the modem status back to
 *                                             back, saying "busy" once the
 *                                             first answer came: a program
 *                                             always in the middle of a
 *                                             request, for killing
 *   probe_child devices                       print every FTDI serial number
 *   probe_child exit N                        exit with status N
 *   probe_child signal N                      kill itself with signal N
 *
 * --divisor HEX replaces the set-baud-rate request's wValue (0x4138, 9600).
 *
 * Exit status 0 on success, 1 when the expected answer did not come, 2 for a
 * usage error, 3 and above for USB failures.
 */
#include <libusb.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#define FTDI_VID 0x0403
#define REQ_OUT 0x40 /* vendor request, host to device */
#define REQ_IN 0xC0  /* vendor request, device to host */
#define SIO_SET_BAUD_RATE 3
#define SIO_SET_DATA 4
#define SIO_POLL_MODEM_STATUS 5
#define BAUD_9600 0x4138 /* 3 MHz / 312.5 */
#define DATA_8N1 0x0008
#define EP_IN 0x81
#define EP_OUT 0x02
#define MAX_FRAME 20

static const char *want_serial;
static uint16_t baud_value = BAUD_9600; /* wValue of the set-baud-rate request */

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static double cpu_ms(void) {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
           (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

/* The chosen chip opened with interface 0 claimed; NULL when none answers. */
static libusb_device_handle *open_chip(libusb_context *ctx, int *packet, int *interfaces) {
    libusb_device **list;
    libusb_device_handle *found = NULL;
    ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n && found == NULL; i++) {
        struct libusb_device_descriptor dd;
        libusb_device_handle *h;
        unsigned char serial[128] = "";
        if (libusb_get_device_descriptor(list[i], &dd) != 0 || dd.idVendor != FTDI_VID) continue;
        if (libusb_open(list[i], &h) != 0) continue;
        if (dd.iSerialNumber != 0) {
            libusb_get_string_descriptor_ascii(h, dd.iSerialNumber, serial, sizeof serial);
        }
        if (want_serial != NULL && strcmp((const char *)serial, want_serial) != 0) {
            libusb_close(h);
            continue;
        }
        struct libusb_config_descriptor *cfg;
        if (libusb_get_active_config_descriptor(list[i], &cfg) == 0) {
            *interfaces = cfg->bNumInterfaces;
            *packet = cfg->interface[0].altsetting[0].endpoint[0].wMaxPacketSize;
            libusb_free_config_descriptor(cfg);
        }
        if (libusb_claim_interface(h, 0) != 0) {
            fprintf(stderr, "probe: cannot claim interface 0\n");
            libusb_close(h);
            continue;
        }
        found = h;
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    return found;
}

static int set_9600_8n1(libusb_device_handle *h, int interfaces) {
    /* Multi-interface chips address interface 0 with selector 1. */
    const uint16_t selector = interfaces > 1 ? 1 : 0;
    if (libusb_control_transfer(h, REQ_OUT, SIO_SET_BAUD_RATE, baud_value, selector, NULL, 0,
                                1000) < 0)
        return -1;
    if (libusb_control_transfer(h, REQ_OUT, SIO_SET_DATA, DATA_8N1, selector, NULL, 0, 1000) < 0)
        return -1;
    return 0;
}

/* Received serial bytes cut into frames (0x55 0x55 ... 0x0D at the lengths
 * the converter uses). */
struct framer {
    unsigned char buf[MAX_FRAME];
    int len;
    int frames;
};

static int frame_length(unsigned char code) {
    switch (code) {
        case 0x01:
            return 20;
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x0A:
            return 6;
        case 0x0B:
            return 26;
        default:
            return 0;
    }
}

static void framer_feed(struct framer *f, const unsigned char *data, int n) {
    for (int i = 0; i < n; i++) {
        unsigned char b = data[i];
        if ((f->len == 0 || f->len == 1) && b != 0x55) {
            f->len = 0;
            continue;
        }
        if (f->len < MAX_FRAME) f->buf[f->len++] = b;
        int want = f->len >= 3 ? frame_length(f->buf[2]) : 0;
        if (f->len >= 3 && (want == 0 || want > MAX_FRAME)) {
            f->len = 0;
            continue;
        }
        if (want != 0 && f->len == want) {
            printf("frame:");
            for (int k = 0; k < f->len; k++) printf(" %02X", f->buf[k]);
            printf("\n");
            fflush(stdout);
            f->frames++;
            f->len = 0;
        }
    }
}

/* Strips the two status bytes at the head of every packet. */
static int strip_status(unsigned char *buf, int n, int packet) {
    int out = 0;
    for (int off = 0; off < n; off += packet) {
        int chunk = n - off < packet ? n - off : packet;
        if (chunk > 2) {
            memmove(buf + out, buf + off + 2, (size_t)(chunk - 2));
            out += chunk - 2;
        }
    }
    return out;
}

/* Whether `frame` occurs in the `n` bytes at `data`. */
static int contains(const unsigned char *data, int n, const unsigned char *frame, int len) {
    for (int i = 0; i + len <= n; i++) {
        if (memcmp(data + i, frame, (size_t)len) == 0) return 1;
    }
    return 0;
}

/* Sends a reset request and waits for the reset frame among whatever the
 * converter sends (reports may be waiting in the chip from before). */
static int do_reset(libusb_device_handle *h, int packet, int interfaces) {
    static const unsigned char request[] = {0x55, 0x55, 0x0A, 0x00, 0x00, 0x0D};
    unsigned char buf[4096];
    unsigned char got[512];
    int got_len = 0;
    int n = 0;
    if (set_9600_8n1(h, interfaces) != 0) return 4;
    if (libusb_bulk_transfer(h, EP_OUT, (unsigned char *)request, sizeof request, &n, 1000) != 0 ||
        n != (int)sizeof request)
        return 5;
    const double deadline = now_s() + 3.0;
    while (!contains(got, got_len, request, sizeof request) && now_s() < deadline) {
        int r = libusb_bulk_transfer(h, EP_IN, buf, sizeof buf, &n, 500);
        if (r != 0 && r != LIBUSB_ERROR_TIMEOUT) return 6;
        n = strip_status(buf, n, packet);
        for (int i = 0; i < n && got_len < (int)sizeof got; i++) got[got_len++] = buf[i];
    }
    printf("reply:");
    for (int i = 0; i < got_len; i++) printf(" %02X", got[i]);
    printf("\n");
    return contains(got, got_len, request, sizeof request) ? 0 : 1;
}

struct listener {
    int packet;
    struct framer framer;
    int completions;
    int in_flight; /* the transfer belongs to libusb */
    int stopping;  /* do not resubmit */
    int gone;      /* the device went away */
    int failed;
};

static void LIBUSB_CALL on_in(struct libusb_transfer *t) {
    struct listener *l = t->user_data;
    l->completions++;
    if (t->status == LIBUSB_TRANSFER_COMPLETED) {
        framer_feed(&l->framer, t->buffer, strip_status(t->buffer, t->actual_length, l->packet));
        if (l->stopping) {
            l->in_flight = 0;
            return;
        }
        int r = libusb_submit_transfer(t);
        if (r == 0) return;
        if (r == LIBUSB_ERROR_NO_DEVICE)
            l->gone = 1;
        else
            l->failed = 1;
    } else if (t->status == LIBUSB_TRANSFER_NO_DEVICE) {
        l->gone = 1;
    } else if (t->status != LIBUSB_TRANSFER_CANCELLED) {
        l->failed = 1;
    }
    l->in_flight = 0;
}

/* Keeps one bulk-IN transfer in flight and lets libusb's event loop wait
 * for it, as a driver's event thread does; the chip answers it at least
 * once per latency period. `until_gone`: stop as soon as the device
 * disappears. */
static int do_listen(libusb_context *ctx, libusb_device_handle *h, int packet, int interfaces,
                     double seconds, int until_gone) {
    static unsigned char buf[4096];
    struct listener l;
    memset(&l, 0, sizeof l);
    l.packet = packet;
    if (set_9600_8n1(h, interfaces) != 0) return 4;
    struct libusb_transfer *t = libusb_alloc_transfer(0);
    if (t == NULL) return 3;
    libusb_fill_bulk_transfer(t, h, EP_IN, buf, sizeof buf, on_in, &l, 0);
    if (libusb_submit_transfer(t) != 0) {
        libusb_free_transfer(t);
        return 6;
    }
    l.in_flight = 1;
    const double cpu0 = cpu_ms();
    const double start = now_s();
    const double deadline = start + seconds;
    while (l.in_flight && now_s() < deadline) {
        struct timeval tv = {0, 200000};
        libusb_handle_events_timeout_completed(ctx, &tv, NULL);
    }
    const double used = cpu_ms() - cpu0;
    const double elapsed = now_s() - start;
    if (l.in_flight) {
        l.stopping = 1;
        libusb_cancel_transfer(t);
        const double cancel_deadline = now_s() + 2.0;
        while (l.in_flight && now_s() < cancel_deadline) {
            struct timeval tv = {0, 100000};
            libusb_handle_events_timeout_completed(ctx, &tv, NULL);
        }
    }
    /* A transfer libusb still holds is left alone rather than freed. */
    if (!l.in_flight) libusb_free_transfer(t);
    printf("frames=%d completions=%d cpu_ms=%.1f elapsed_ms=%.1f cpu_percent=%.2f\n",
           l.framer.frames, l.completions, used, elapsed * 1000.0,
           elapsed > 0 ? used / (elapsed * 10.0) : 0.0);
    if (until_gone) {
        printf(l.gone ? "device gone\n" : "device still there\n");
        return l.gone ? 0 : 1;
    }
    return l.failed ? 7 : l.gone ? 8 : 0;
}

static int do_busy(libusb_device_handle *h, int interfaces, double seconds) {
    const uint16_t selector = interfaces > 1 ? 1 : 0;
    unsigned char status[2];
    int said = 0;
    const double deadline = now_s() + seconds;
    while (now_s() < deadline) {
        /* As patient as the other clients: a sanitizer build on a loaded
         * machine can take seconds over a request. */
        const int r = libusb_control_transfer(h, REQ_IN, SIO_POLL_MODEM_STATUS, 0, selector, status,
                                              sizeof status, 20000);
        if (r != (int)sizeof status) {
            fprintf(stderr, "busy: modem status request failed: %s\n",
                    r < 0 ? libusb_error_name(r) : "short answer");
            return 4;
        }
        if (!said) {
            printf("busy\n");
            fflush(stdout);
            said = 1;
        }
    }
    return 0;
}

static int do_idle(libusb_context *ctx, double seconds) {
    const double cpu0 = cpu_ms();
    const double start = now_s();
    while (now_s() < start + seconds) {
        struct timeval tv = {0, 200000};
        libusb_handle_events_timeout_completed(ctx, &tv, NULL);
    }
    const double used = cpu_ms() - cpu0;
    const double elapsed = now_s() - start;
    printf("cpu_ms=%.1f elapsed_ms=%.1f cpu_percent=%.2f\n", used, elapsed * 1000.0,
           used / (elapsed * 10.0));
    return 0;
}

static int do_devices(libusb_context *ctx) {
    libusb_device **list;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) return 3;
    for (ssize_t i = 0; i < n; i++) {
        struct libusb_device_descriptor dd;
        libusb_device_handle *h;
        unsigned char serial[128] = "";
        if (libusb_get_device_descriptor(list[i], &dd) != 0 || dd.idVendor != FTDI_VID) continue;
        if (libusb_open(list[i], &h) == 0) {
            if (dd.iSerialNumber != 0) {
                libusb_get_string_descriptor_ascii(h, dd.iSerialNumber, serial, sizeof serial);
            }
            libusb_close(h);
        }
        printf("device %04x:%04x bcd %04x serial %s\n", dd.idVendor, dd.idProduct, dd.bcdDevice,
               serial[0] ? (const char *)serial : "(none)");
    }
    libusb_free_device_list(list, 1);
    return 0;
}

int main(int argc, char **argv) {
    int a = 1;
    while (a + 1 < argc && strncmp(argv[a], "--", 2) == 0) {
        if (strcmp(argv[a], "--serial") == 0) {
            want_serial = argv[a + 1];
        } else if (strcmp(argv[a], "--divisor") == 0) {
            baud_value = (uint16_t)strtoul(argv[a + 1], NULL, 16);
        } else {
            return 2;
        }
        a += 2;
    }
    if (a >= argc) return 2;
    const char *mode = argv[a];
    const char *arg = a + 1 < argc ? argv[a + 1] : NULL;
    if (strcmp(mode, "exit") == 0) return arg ? atoi(arg) : 0;
    if (strcmp(mode, "signal") == 0) {
        signal(arg ? atoi(arg) : SIGTERM, SIG_DFL);
        raise(arg ? atoi(arg) : SIGTERM);
        return 2;
    }

    libusb_context *ctx;
    if (libusb_init(&ctx) != 0) return 3;
    int rc = 2;
    if (strcmp(mode, "devices") == 0) {
        rc = do_devices(ctx);
    } else {
        int packet = 64, interfaces = 1;
        libusb_device_handle *h = open_chip(ctx, &packet, &interfaces);
        if (h == NULL) {
            fprintf(stderr, "probe: no FTDI chip found\n");
            rc = 3;
        } else {
            if (strcmp(mode, "reset") == 0) {
                rc = do_reset(h, packet, interfaces);
            } else if (strcmp(mode, "listen") == 0 && arg) {
                rc = do_listen(ctx, h, packet, interfaces, atof(arg), 0);
            } else if (strcmp(mode, "busy") == 0 && arg) {
                rc = do_busy(h, interfaces, atof(arg));
            } else if (strcmp(mode, "idle") == 0 && arg) {
                rc = do_idle(ctx, atof(arg));
            } else if (strcmp(mode, "unplug") == 0 && arg) {
                rc = do_listen(ctx, h, packet, interfaces, atof(arg), 1);
            }
            libusb_release_interface(h, 0);
            libusb_close(h);
        }
    }
    libusb_exit(ctx);
    return rc;
}
