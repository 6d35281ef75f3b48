/*
 * The public header from a plain C99 program (built with -pedantic-errors): it
 * must compile on its own, keep the records' binary layout, publish the
 * constants with their published values, and link against the shared library.
 *
 * The bit-field checks read the records back as little-endian words, the byte
 * order of every platform the library targets.
 */
#include "ftd2xx.h" /* first: the header must not depend on earlier includes */

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "header_c_test: FAILED: %s\n", what);
        ++failures;
    }
}

#define CHECK(expr) check((expr) ? 1 : 0, #expr)

/* The 32-bit word at byte offset `at` of a record. */
static uint32_t word_at(const void *record, size_t at) {
    uint32_t w;
    memcpy(&w, (const unsigned char *)record + at, sizeof w);
    return w;
}

/* Compile-time layout pins: the build fails when a record moves. The same
 * numbers hold on every target; only what holds a pointer or a pthread
 * object depends on the data model, and those are pinned for x86-64 and
 * 32-bit ARM (armhf), the targets the library is built and tested for. */
#define PIN(name, expr) typedef char pin_##name[(expr) ? 1 : -1]

PIN(status, sizeof(FT_STATUS) == 4 && sizeof(FT_DEVICE) == 4);
PIN(handle, sizeof(FT_HANDLE) == sizeof(void *));

PIN(node_flags, offsetof(FT_DEVICE_LIST_INFO_NODE, Flags) == 0);
PIN(node_type, offsetof(FT_DEVICE_LIST_INFO_NODE, Type) == 4);
PIN(node_id, offsetof(FT_DEVICE_LIST_INFO_NODE, ID) == 8);
PIN(node_locid, offsetof(FT_DEVICE_LIST_INFO_NODE, LocId) == 12);
PIN(node_serial, offsetof(FT_DEVICE_LIST_INFO_NODE, SerialNumber) == 16);
PIN(node_description, offsetof(FT_DEVICE_LIST_INFO_NODE, Description) == 32);
PIN(node_handle, offsetof(FT_DEVICE_LIST_INFO_NODE, ftHandle) == 96);
PIN(node_size, sizeof(FT_DEVICE_LIST_INFO_NODE) == (sizeof(void *) == 8 ? 104 : 100));

PIN(dcb_size, sizeof(FTDCB) == 28);
PIN(dcb_baud, offsetof(FTDCB, BaudRate) == 4);
PIN(dcb_reserved, offsetof(FTDCB, wReserved) == 12);
PIN(dcb_xonlim, offsetof(FTDCB, XonLim) == 14);
PIN(dcb_xofflim, offsetof(FTDCB, XoffLim) == 16);
PIN(dcb_bytesize, offsetof(FTDCB, ByteSize) == 18);
PIN(dcb_parity, offsetof(FTDCB, Parity) == 19);
PIN(dcb_stopbits, offsetof(FTDCB, StopBits) == 20);
PIN(dcb_xonchar, offsetof(FTDCB, XonChar) == 21);
PIN(dcb_xoffchar, offsetof(FTDCB, XoffChar) == 22);
PIN(dcb_errorchar, offsetof(FTDCB, ErrorChar) == 23);
PIN(dcb_eofchar, offsetof(FTDCB, EofChar) == 24);
PIN(dcb_evtchar, offsetof(FTDCB, EvtChar) == 25);
PIN(dcb_reserved1, offsetof(FTDCB, wReserved1) == 26);

PIN(timeouts_size, sizeof(FTTIMEOUTS) == 20);
PIN(timeouts_interval, offsetof(FTTIMEOUTS, ReadIntervalTimeout) == 0);
PIN(timeouts_read, offsetof(FTTIMEOUTS, ReadTotalTimeoutConstant) == 8);
PIN(timeouts_write, offsetof(FTTIMEOUTS, WriteTotalTimeoutConstant) == 16);

PIN(comstat_size, sizeof(FTCOMSTAT) == 12);
PIN(comstat_inque, offsetof(FTCOMSTAT, cbInQue) == 4);
PIN(comstat_outque, offsetof(FTCOMSTAT, cbOutQue) == 8);

/* The library signals through the condition variable and the mutex that
 * follows it. */
PIN(event_condvar, offsetof(EVENT_HANDLE, eCondVar) == 0);
PIN(event_mutex, offsetof(EVENT_HANDLE, eMutex) == 48);
#if defined(__x86_64__)
PIN(event_ivar, offsetof(EVENT_HANDLE, iVar) == 88);
PIN(event_size, sizeof(EVENT_HANDLE) == 96);
#elif defined(__arm__)
PIN(event_ivar, offsetof(EVENT_HANDLE, iVar) == 72);
PIN(event_size, sizeof(EVENT_HANDLE) == 80);
#else
PIN(event_ivar, offsetof(EVENT_HANDLE, iVar) == 48 + sizeof(pthread_mutex_t));
#endif

static void check_scalar_types(void) {
    CHECK((uintptr_t)FT_INVALID_HANDLE_VALUE == UINTPTR_MAX);
}

static void check_info_node_layout(void) {
    FT_DEVICE_LIST_INFO_NODE node;
    CHECK(sizeof node.SerialNumber == 16);
    CHECK(sizeof node.Description == 64);
}

static void check_dcb_layout(void) {
    FTDCB dcb;

    /* Each flag lands on its Win32 bit of the word at byte 8. */
    memset(&dcb, 0, sizeof dcb);
    dcb.fBinary = 1;
    CHECK(word_at(&dcb, 8) == 0x00000001u);
    memset(&dcb, 0, sizeof dcb);
    dcb.fOutxCtsFlow = 1;
    CHECK(word_at(&dcb, 8) == 0x00000004u);
    memset(&dcb, 0, sizeof dcb);
    dcb.fOutxDsrFlow = 1;
    CHECK(word_at(&dcb, 8) == 0x00000008u);
    memset(&dcb, 0, sizeof dcb);
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    CHECK(word_at(&dcb, 8) == 0x00000020u);
    memset(&dcb, 0, sizeof dcb);
    dcb.fOutX = 1;
    dcb.fInX = 1;
    CHECK(word_at(&dcb, 8) == 0x00000300u);
    memset(&dcb, 0, sizeof dcb);
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    CHECK(word_at(&dcb, 8) == 0x00003000u);
    memset(&dcb, 0, sizeof dcb);
    dcb.fAbortOnError = 1;
    CHECK(word_at(&dcb, 8) == 0x00004000u);
    memset(&dcb, 0, sizeof dcb);
    dcb.fDummy2 = 0x1FFFFu;
    CHECK(word_at(&dcb, 8) == 0xFFFF8000u);
    /* The flags never spill into the neighbouring fields. */
    CHECK(word_at(&dcb, 4) == 0 && dcb.wReserved == 0);
}

static void check_timeouts_and_comstat_layout(void) {
    FTCOMSTAT stat;

    memset(&stat, 0, sizeof stat);
    stat.fCtsHold = 1;
    stat.fTxim = 1;
    CHECK(word_at(&stat, 0) == 0x00000041u);
    memset(&stat, 0, sizeof stat);
    stat.fReserved = 0x1FFFFFFu;
    CHECK(word_at(&stat, 0) == 0xFFFFFF80u);
    CHECK(stat.cbInQue == 0);
}

static void check_published_constants(void) {
    FT_STATUS status = FT_IO_ERROR;
    CHECK(FT_OK == 0 && FT_INVALID_HANDLE == 1 && FT_IO_ERROR == 4);
    CHECK(FT_INVALID_PARAMETER == 6 && FT_INVALID_BAUD_RATE == 7);
    CHECK(FT_NOT_SUPPORTED == 17 && FT_OTHER_ERROR == 18 && FT_DEVICE_LIST_NOT_READY == 19);
    CHECK(FT_SUCCESS(FT_OK) && !FT_SUCCESS(status));
    CHECK(FT_DEVICE_BM == 0 && FT_DEVICE_UNKNOWN == 3 && FT_DEVICE_232R == 5);
    CHECK(FT_DEVICE_232H == 8 && FT_DEVICE_4222H_3 == 12 && FT_DEVICE_4222_PROG == 13);
    CHECK(FT_OPEN_BY_SERIAL_NUMBER == 1 && FT_OPEN_BY_DESCRIPTION == 2 && FT_OPEN_BY_LOCATION == 4);
    CHECK(FT_LIST_NUMBER_ONLY == 0x80000000u && FT_LIST_BY_INDEX == 0x40000000u);
    CHECK(FT_LIST_ALL == 0x20000000u && FT_LIST_MASK == 0xE0000000u);
    CHECK(FT_FLAGS_OPENED == 1 && FT_FLAGS_HISPEED == 2);
    CHECK(FT_BITS_7 == 7 && FT_STOP_BITS_2 == 2 && FT_PARITY_SPACE == 4);
    CHECK(FT_FLOW_RTS_CTS == 0x0100 && FT_FLOW_DTR_DSR == 0x0200 && FT_FLOW_XON_XOFF == 0x0400);
    CHECK(FT_PURGE_RX == 1 && FT_PURGE_TX == 2);
    CHECK(FT_EVENT_RXCHAR == 1 && FT_EVENT_MODEM_STATUS == 2 && FT_EVENT_LINE_STATUS == 4);
    CHECK(EV_RXCHAR == 0x0001 && EV_TXEMPTY == 0x0004 && EV_RLSD == 0x0020);
    CHECK(EV_ERR == 0x0080 && EV_RING == 0x0100);
    CHECK(PURGE_TXABORT == 1 && PURGE_RXABORT == 2 && PURGE_TXCLEAR == 4 && PURGE_RXCLEAR == 8);
    CHECK(SETRTS == 3 && CLRDTR == 6 && RESETDEV == 7 && CLRBREAK == 9);
    CHECK(CE_OVERRUN == 0x02 && CE_RXPARITY == 0x04 && CE_FRAME == 0x08 && CE_BREAK == 0x10);
    CHECK(MS_CTS_ON == 0x10 && MS_DSR_ON == 0x20 && MS_RING_ON == 0x40 && MS_RLSD_ON == 0x80);
}

static void check_library_version(void) {
    uint32_t version = 0;
    CHECK(FT_GetLibraryVersion(&version) == FT_OK);
    CHECK(version == 0x00010408u);
    CHECK(FT_GetLibraryVersion(NULL) == FT_INVALID_PARAMETER);
}

int main(void) {
    check_scalar_types();
    check_info_node_layout();
    check_dcb_layout();
    check_timeouts_and_comstat_layout();
    check_published_constants();
    check_library_version();
    if (failures != 0) {
        fprintf(stderr, "header_c_test: %d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}
