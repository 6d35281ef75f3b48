/** @file
 * ftd2xx.h - the D2XX device interface for FTDI USB serial chips, on libusb-1.0.
 *
 * This header is the library's whole ABI: plain C99, usable from C and C++
 * (C99 and later, C++98 and later). Every function returns an FT_STATUS (the
 * FT_W32_* calls excepted, which answer in Win32 style) and writes its results
 * through caller-supplied pointers.
 *
 * Types
 *   The functions and records are declared over fixed-width types
 *   (uint32_t, uint16_t, uint8_t, int32_t, int, void *, char *), so that no
 *   definition a program makes of a Win32-style name can change or break
 *   them. WinTypes.h, installed beside this header and included by it, gives
 *   programs the Win32-style names the interface is documented in, each the
 *   same type as the fixed-width one: DWORD and ULONG are uint32_t, WORD and
 *   USHORT uint16_t, UCHAR and BYTE uint8_t, BOOL int, LPDWORD uint32_t *,
 *   on 32- and 64-bit targets alike and also when _WIN32 is defined. A
 *   program that defines some of those names itself keeps its definitions,
 *   function-like macros such as UCHAR(c) included (see WinTypes.h).
 *
 * Library lifetime
 *   The library starts itself before main() and stops after main() returns;
 *   there is no initialisation call. Handles left open at exit are not closed.
 *   The library never prints and never calls back into the application, except
 *   to signal the condition variable armed with FT_SetEventNotification.
 *
 * Handles
 *   An FT_HANDLE is valid from the successful return of FT_Open, FT_OpenEx,
 *   FT_W32_OpenFile or FT_W32_CreateFile until FT_Close (or FT_W32_CloseHandle)
 *   is called on it. Every call that takes a handle checks it first: a null handle,
 *   one that was never issued or one already closed gives FT_INVALID_HANDLE
 *   (FALSE from the FT_W32_* calls) and changes nothing. Do not rely on that check
 *   after a close, though: a later open may be issued the same address.
 *   One interface of a chip is one device: two handles can never hold the same
 *   interface, in this process or another.
 *   When the device disappears (unplugged, or its receive transfers fail or stay
 *   incomplete past the deadman time-out) the handle becomes dead: FT_Read, the
 *   queue calls and FT_GetStatus still hand over the bytes received before, then
 *   return FT_IO_ERROR. A dead handle is still valid and must still be closed.
 *
 * Threads
 *   - Every function may be called from any thread, on any handle, at any
 *     time, concurrently with every other call on the same handle or another.
 *     Results interleave as the calls do (two threads collecting event bits
 *     each get some of them; a list built by one thread may be read by
 *     another); memory and the library's own state are never corrupted.
 *   - Opens, FT_ListDevices and FT_SetVIDPID are serialised with each other by
 *     the library.
 *   - On one handle, reading (FT_Read, FT_GetQueueStatus[Ex], FT_GetStatus) and
 *     writing (FT_Write) may run in parallel on different threads. Concurrent
 *     FT_Write calls are served one after the other, each write whole; concurrent
 *     FT_Read calls are served in turn, each copy whole.
 *   - Line and chip settings of one handle (baud rate, divisor, data
 *     characteristics, flow control, modem lines, break, special characters,
 *     latency timer, bit mode, USB parameters, deadman time-out, time-outs,
 *     event notification, comm state) are served one call at a time, each
 *     whole: once concurrent settings calls have returned, the chip runs with
 *     what the last one served set, and the library records just that. They
 *     may run while other threads read or write.
 *   - A call that runs while another thread closes the same handle either
 *     completes or fails (FT_INVALID_HANDLE or FT_IO_ERROR, FALSE from the
 *     FT_W32_* calls); the close ends a blocked read, write or
 *     FT_W32_WaitCommEvent. A call started after FT_Close returned answers
 *     FT_INVALID_HANDLE (FALSE), unless a later open has been issued the same
 *     address.
 *   - main may return while other threads are inside the library: the library's
 *     shut-down closes every handle still open (ending those threads' blocked
 *     calls as FT_Close does) and waits up to 2 s for every call to leave
 *     before it ends libusb. Calls made after that return FT_INVALID_HANDLE, or
 *     FT_OTHER_ERROR from the opens, listings and id calls.
 *   - No C++ exception leaves any function; memory running out inside a call
 *     is FT_INSUFFICIENT_RESOURCES.
 *
 * Time-outs are unsigned milliseconds throughout; 0 means no limit.
 */
#ifndef FTD2XX_H
#define FTD2XX_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "WinTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Marks the published functions: the library is built with hidden visibility. */
#define FTD2XX_API __attribute__((visibility("default")))

/* ---------------------------------------------------------------------------
 * Types and constants
 * ------------------------------------------------------------------------- */

/** An open device. Opaque: issued by the open calls, valid until FT_Close. */
typedef void *FT_HANDLE;

/** Result of every FT_* call; FT_OK (0) is success. */
typedef uint32_t FT_STATUS;

/** Chip type, as reported by FT_GetDeviceInfo and the device-information list. */
typedef uint32_t FT_DEVICE;

/** FT_STATUS values. Some are never produced by this library; they stay
 * defined so that portable code can name them. */
enum {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7, /**< never produced: unreachable rates give FT_IO_ERROR */
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
    FT_DEVICE_LIST_NOT_READY = 19
};

/** Whether an FT_STATUS is success (FT_OK). */
#define FT_SUCCESS(status) ((status) == FT_OK)

/** FT_DEVICE values. FT_DEVICE_100AX is never produced; chips the library does
 * not recognise are FT_DEVICE_UNKNOWN. */
enum {
    FT_DEVICE_BM = 0,
    FT_DEVICE_AM = 1,
    FT_DEVICE_100AX = 2,
    FT_DEVICE_UNKNOWN = 3,
    FT_DEVICE_2232C = 4,
    FT_DEVICE_232R = 5,
    FT_DEVICE_2232H = 6,
    FT_DEVICE_4232H = 7,
    FT_DEVICE_232H = 8,
    FT_DEVICE_X_SERIES = 9,
    FT_DEVICE_4222H_0 = 10,
    FT_DEVICE_4222H_1_2 = 11,
    FT_DEVICE_4222H_3 = 12,
    FT_DEVICE_4222_PROG = 13
};

/** @{ */
/** FT_OpenEx selections; also what FT_ListDevices produces (low three bits). */
#define FT_OPEN_BY_SERIAL_NUMBER 1u
#define FT_OPEN_BY_DESCRIPTION 2u
#define FT_OPEN_BY_LOCATION 4u
/** @} */

/** @{ */
/** FT_ListDevices operations (top three bits of its flags). */
#define FT_LIST_NUMBER_ONLY 0x80000000u
#define FT_LIST_BY_INDEX 0x40000000u
#define FT_LIST_ALL 0x20000000u
#define FT_LIST_MASK (FT_LIST_NUMBER_ONLY | FT_LIST_BY_INDEX | FT_LIST_ALL)
/** @} */

/** @{ */
/** Flags of a device-information node. */
/** No open of it can succeed now: in use, or a chip without a latency timer
 * (AM, unrecognised). */
#define FT_FLAGS_OPENED 1u
#define FT_FLAGS_HISPEED 2u /**< the device's USB packets are larger than 64 bytes */
/** @} */

/** @{ */
/** Common rates for FT_SetBaudRate, which takes any rate in baud. */
#define FT_BAUD_300 300
#define FT_BAUD_600 600
#define FT_BAUD_1200 1200
#define FT_BAUD_2400 2400
#define FT_BAUD_4800 4800
#define FT_BAUD_9600 9600
#define FT_BAUD_14400 14400
#define FT_BAUD_19200 19200
#define FT_BAUD_38400 38400
#define FT_BAUD_57600 57600
#define FT_BAUD_115200 115200
#define FT_BAUD_230400 230400
#define FT_BAUD_460800 460800
#define FT_BAUD_921600 921600
/** @} */

/** @{ */
/** FT_SetDataCharacteristics arguments; passed to the chip unchecked. */
#define FT_BITS_8 8
#define FT_BITS_7 7
#define FT_STOP_BITS_1 0
#define FT_STOP_BITS_2 2
#define FT_PARITY_NONE 0
#define FT_PARITY_ODD 1
#define FT_PARITY_EVEN 2
#define FT_PARITY_MARK 3
#define FT_PARITY_SPACE 4
/** @} */

/** @{ */
/** FT_SetFlowControl modes. */
#define FT_FLOW_NONE 0x0000
#define FT_FLOW_RTS_CTS 0x0100
#define FT_FLOW_DTR_DSR 0x0200
#define FT_FLOW_XON_XOFF 0x0400
/** @} */

/** @{ */
/** FT_Purge mask bits. */
#define FT_PURGE_RX 1u
#define FT_PURGE_TX 2u
/** @} */

/** @{ */
/** Event-notification bits (FT_SetEventNotification, FT_GetEventStatus,
 * FT_GetStatus). */
#define FT_EVENT_RXCHAR 1u
#define FT_EVENT_MODEM_STATUS 2u
#define FT_EVENT_LINE_STATUS 4u
/** @} */

/** @{ */
/** Bits of the modem status (FT_GetModemStatus, FT_W32_GetCommModemStatus). */
#ifndef MS_CTS_ON
#define MS_CTS_ON 0x0010u
#endif
#ifndef MS_DSR_ON
#define MS_DSR_ON 0x0020u
#endif
#ifndef MS_RING_ON
#define MS_RING_ON 0x0040u
#endif
#ifndef MS_RLSD_ON
#define MS_RLSD_ON 0x0080u
#endif
/** @} */

/** @{ */
/** Comm-event bits (FT_W32_SetCommMask, FT_W32_WaitCommEvent). The Win32 names
 * are defined only where the host has not defined them already. */
#ifndef EV_RXCHAR
#define EV_RXCHAR 0x0001u /**< bytes received */
#endif
#ifndef EV_RXFLAG
#define EV_RXFLAG 0x0002u /**< the event character received */
#endif
#ifndef EV_TXEMPTY
#define EV_TXEMPTY 0x0004u /**< a write completed */
#endif
#ifndef EV_CTS
#define EV_CTS 0x0008u
#endif
#ifndef EV_DSR
#define EV_DSR 0x0010u
#endif
#ifndef EV_RLSD
#define EV_RLSD 0x0020u /**< DCD changed */
#endif
#ifndef EV_ERR
#define EV_ERR 0x0080u /**< line error */
#endif
#ifndef EV_RING
#define EV_RING 0x0100u
#endif
/** @} */

/** @{ */
/** Line-error bits (FT_W32_ClearCommError). */
#ifndef CE_OVERRUN
#define CE_OVERRUN 0x0002u
#endif
#ifndef CE_RXPARITY
#define CE_RXPARITY 0x0004u
#endif
#ifndef CE_FRAME
#define CE_FRAME 0x0008u
#endif
#ifndef CE_BREAK
#define CE_BREAK 0x0010u
#endif
/** @} */

/** @{ */
/** Win32 purge flags (FT_W32_PurgeComm). */
#ifndef PURGE_TXABORT
#define PURGE_TXABORT 0x0001u
#endif
#ifndef PURGE_RXABORT
#define PURGE_RXABORT 0x0002u
#endif
#ifndef PURGE_TXCLEAR
#define PURGE_TXCLEAR 0x0004u
#endif
#ifndef PURGE_RXCLEAR
#define PURGE_RXCLEAR 0x0008u
#endif
/** @} */

/** @{ */
/** Escape codes (FT_W32_EscapeCommFunction). */
#ifndef SETXOFF
#define SETXOFF 1
#endif
#ifndef SETXON
#define SETXON 2
#endif
#ifndef SETRTS
#define SETRTS 3
#endif
#ifndef CLRRTS
#define CLRRTS 4
#endif
#ifndef SETDTR
#define SETDTR 5
#endif
#ifndef CLRDTR
#define CLRDTR 6
#endif
#ifndef RESETDEV
#define RESETDEV 7
#endif
#ifndef SETBREAK
#define SETBREAK 8
#endif
#ifndef CLRBREAK
#define CLRBREAK 9
#endif
/** @} */

/** @{ */
/** Values of FTDCB.fDtrControl and FTDCB.fRtsControl. */
#ifndef DTR_CONTROL_DISABLE
#define DTR_CONTROL_DISABLE 0
#endif
#ifndef DTR_CONTROL_ENABLE
#define DTR_CONTROL_ENABLE 1
#endif
#ifndef DTR_CONTROL_HANDSHAKE
#define DTR_CONTROL_HANDSHAKE 2
#endif
#ifndef RTS_CONTROL_DISABLE
#define RTS_CONTROL_DISABLE 0
#endif
#ifndef RTS_CONTROL_ENABLE
#define RTS_CONTROL_ENABLE 1
#endif
#ifndef RTS_CONTROL_HANDSHAKE
#define RTS_CONTROL_HANDSHAKE 2
#endif
#ifndef RTS_CONTROL_TOGGLE
#define RTS_CONTROL_TOGGLE 3
#endif
/** @} */

/** What FT_W32_CreateFile returns when it cannot open the device; the same
 * value as INVALID_HANDLE_VALUE. */
#define FT_INVALID_HANDLE_VALUE ((FT_HANDLE)(intptr_t)-1)

/** @{ */
/** Win32 arguments of FT_W32_CreateFile, accepted and ignored; only the
 * FT_OPEN_BY_* bits of its flags count. */
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000u
#endif
#ifndef GENERIC_WRITE
#define GENERIC_WRITE 0x40000000u
#endif
#ifndef OPEN_EXISTING
#define OPEN_EXISTING 3
#endif
#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#endif
#ifndef FILE_FLAG_OVERLAPPED
#define FILE_FLAG_OVERLAPPED 0x40000000u
#endif
/** @} */

/** @{ */
/** Win32 names of FTDCB.Parity and FTDCB.StopBits, the values of
 * FT_PARITY_* and FT_STOP_BITS_*. */
#ifndef NOPARITY
#define NOPARITY 0
#endif
#ifndef ODDPARITY
#define ODDPARITY 1
#endif
#ifndef EVENPARITY
#define EVENPARITY 2
#endif
#ifndef MARKPARITY
#define MARKPARITY 3
#endif
#ifndef SPACEPARITY
#define SPACEPARITY 4
#endif
#ifndef ONESTOPBIT
#define ONESTOPBIT 0
#endif
#ifndef TWOSTOPBITS
#define TWOSTOPBITS 2
#endif
/** @} */

/** One entry of the device-information list. SerialNumber and Description are
 * not terminated when they fill their arrays. */
typedef struct FT_DEVICE_LIST_INFO_NODE {
    uint32_t Flags;        /**< FT_FLAGS_OPENED, FT_FLAGS_HISPEED */
    uint32_t Type;         /**< an FT_DEVICE value */
    uint32_t ID;           /**< USB vendor id << 16 | product id */
    uint32_t LocId;        /**< location id, as FT_GetDeviceLocId */
    char SerialNumber[16]; /**< "A", "B"... appended on multi-interface chips */
    char Description[64];  /**< " A", " B"... appended on multi-interface chips */
    FT_HANDLE ftHandle;    /**< this process's handle on the device, or null */
} FT_DEVICE_LIST_INFO_NODE;

/** The caller's event handle for FT_SetEventNotification: a condition variable
 * followed by the mutex that guards it. The caller initialises both before
 * arming; iVar is the caller's own (the library never touches it). */
typedef struct {
    pthread_cond_t eCondVar; /**< signalled by the library when a condition is recorded */
    pthread_mutex_t eMutex;  /**< held by the library while it signals eCondVar */
    int iVar;                /**< the caller's own; never touched by the library */
} EVENT_HANDLE;

/** Comm-state record (the Win32 DCB layout, 28 bytes). */
typedef struct FTDCB {
    uint32_t DCBlength;             /**< not used */
    uint32_t BaudRate;              /**< bits per second, as FT_SetBaudRate */
    uint32_t fBinary : 1;           /**< not used (always binary) */
    uint32_t fParity : 1;           /**< not used: Parity alone decides */
    uint32_t fOutxCtsFlow : 1;      /**< RTS/CTS flow control */
    uint32_t fOutxDsrFlow : 1;      /**< DTR/DSR flow control */
    uint32_t fDtrControl : 2;       /**< DTR_CONTROL_* */
    uint32_t fDsrSensitivity : 1;   /**< not used */
    uint32_t fTXContinueOnXoff : 1; /**< not used */
    uint32_t fOutX : 1;             /**< fOutX or fInX: XON/XOFF flow control */
    uint32_t fInX : 1;              /**< fOutX or fInX: XON/XOFF flow control */
    uint32_t fErrorChar : 1;        /**< not used: ErrorChar alone decides */
    uint32_t fNull : 1;             /**< not used */
    uint32_t fRtsControl : 2;       /**< RTS_CONTROL_* */
    uint32_t fAbortOnError : 1;     /**< not used */
    uint32_t fDummy2 : 17;          /**< reserved */
    uint16_t wReserved;             /**< reserved */
    uint16_t XonLim;                /**< not used */
    uint16_t XoffLim;               /**< not used */
    uint8_t ByteSize;               /**< FT_BITS_* */
    uint8_t Parity;                 /**< FT_PARITY_* */
    uint8_t StopBits;               /**< FT_STOP_BITS_* */
    char XonChar;                   /**< XON character of XON/XOFF flow control */
    char XoffChar;                  /**< XOFF character of XON/XOFF flow control */
    char ErrorChar;                 /**< 0 disables the error character */
    char EofChar;                   /**< not used */
    char EvtChar;                   /**< 0 disables the event character */
    uint16_t wReserved1;            /**< reserved */
} FTDCB;
/** Pointer to an FTDCB, the Win32 style. */
typedef FTDCB *LPFTDCB;

/** Time-outs record (the Win32 COMMTIMEOUTS layout, 20 bytes). Only the two
 * constants are used, as the read and write time-outs in milliseconds. */
typedef struct FTTIMEOUTS {
    uint32_t ReadIntervalTimeout;         /**< not used */
    uint32_t ReadTotalTimeoutMultiplier;  /**< not used */
    uint32_t ReadTotalTimeoutConstant;    /**< read time-out, ms (0: no limit) */
    uint32_t WriteTotalTimeoutMultiplier; /**< not used */
    uint32_t WriteTotalTimeoutConstant;   /**< write time-out, ms (0: no limit) */
} FTTIMEOUTS;
/** Pointer to an FTTIMEOUTS, the Win32 style. */
typedef FTTIMEOUTS *LPFTTIMEOUTS;

/** Status record (the Win32 COMSTAT layout, 12 bytes). */
typedef struct FTCOMSTAT {
    uint32_t fCtsHold : 1;   /**< always 0 */
    uint32_t fDsrHold : 1;   /**< always 0 */
    uint32_t fRlsdHold : 1;  /**< always 0 */
    uint32_t fXoffHold : 1;  /**< always 0 */
    uint32_t fXoffSent : 1;  /**< always 0 */
    uint32_t fEof : 1;       /**< always 0 */
    uint32_t fTxim : 1;      /**< always 0 */
    uint32_t fReserved : 25; /**< reserved */
    uint32_t cbInQue;        /**< bytes waiting to be read */
    uint32_t cbOutQue;       /**< always 0: there is no transmit queue */
} FTCOMSTAT;
/** Pointer to an FTCOMSTAT, the Win32 style. */
typedef FTCOMSTAT *LPFTCOMSTAT;

/** @{ */
/** The records' layouts are ABI: check them wherever the compiler can. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define FTD2XX_LAYOUT_CHECK_(expr, msg) static_assert(expr, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define FTD2XX_LAYOUT_CHECK_(expr, msg) _Static_assert(expr, msg)
#endif
#ifdef FTD2XX_LAYOUT_CHECK_
FTD2XX_LAYOUT_CHECK_(sizeof(FTDCB) == 28, "FTDCB must be 28 bytes");
FTD2XX_LAYOUT_CHECK_(sizeof(FTTIMEOUTS) == 20, "FTTIMEOUTS must be 20 bytes");
FTD2XX_LAYOUT_CHECK_(sizeof(FTCOMSTAT) == 12, "FTCOMSTAT must be 12 bytes");
FTD2XX_LAYOUT_CHECK_(offsetof(FT_DEVICE_LIST_INFO_NODE, SerialNumber) == 16,
                     "node serial number at byte 16");
FTD2XX_LAYOUT_CHECK_(offsetof(FT_DEVICE_LIST_INFO_NODE, Description) == 32,
                     "node description at byte 32");
FTD2XX_LAYOUT_CHECK_(offsetof(FT_DEVICE_LIST_INFO_NODE, ftHandle) == 96, "node handle at byte 96");
#undef FTD2XX_LAYOUT_CHECK_
#endif
/** @} */

/* ---------------------------------------------------------------------------
 * Library and version
 * ------------------------------------------------------------------------- */

/** Reports the library version packed as 0x00MMmmBB, each byte two decimal
 * digits (1.4.8 is 0x00010408).
 *   version: out, not null.
 * Returns FT_OK; FT_INVALID_PARAMETER when version is null (nothing stored).
 * Any thread. */
FTD2XX_API FT_STATUS FT_GetLibraryVersion(uint32_t *version);

/** Reports the same packed version as FT_GetLibraryVersion: there is no
 * separate driver.
 *   ftHandle: ignored; may be null or invalid.
 *   version:  out, not null.
 * Returns FT_OK; FT_INVALID_PARAMETER when version is null.
 * Any thread. */
FTD2XX_API FT_STATUS FT_GetDriverVersion(FT_HANDLE ftHandle, uint32_t *version);

/* ---------------------------------------------------------------------------
 * Listing and ids
 *
 * The library counts devices, not USB devices: a USB device with an accepted
 * vendor/product id contributes one device per interface. On multi-interface
 * chips a device's serial number carries the interface letter ("FT1X2Y3ZA"), its
 * description a space and the letter ("Serial Bridge A"), and its location id
 * ((bus << 8 | address) << 4) + interface + 1; a single-interface chip's
 * location id is bus << 8 | address.
 *
 * Index order: every index-based call (FT_ListDevices by index and all,
 * FT_Open, the device-information list) numbers the same positions the same
 * way. USB devices come in ascending location order (bus number, then device
 * address), each with one position per interface in interface order, so
 * index 0 is the first interface of the device with the lowest bus number
 * and address. Every chip keeps its positions, also one that FT_Open cannot
 * open by index (0x14, 0x15, 0x16 families, unrecognised chips) or at all
 * (AM chips): FT_Open answers for such a position as described there, and
 * the later positions stay where FT_ListDevices puts them.
 * ------------------------------------------------------------------------- */

/** Counts or lists the attached devices without opening them for use (names and
 * locations are read by briefly opening each USB device).
 *   FT_LIST_NUMBER_ONLY: pArg1 is a uint32_t * (out, not null) receiving the
 *     number of devices; pArg2 is ignored.
 *   FT_LIST_BY_INDEX | selection: pArg1 is the index itself, passed as
 *     (void *)(uintptr_t)index; pArg2 (out, not null) is a char buffer for a
 *     serial number or description, or a uint32_t * for a location id.
 *   FT_LIST_ALL | selection: pArg1 (out, not null) is an array of char buffer
 *     pointers (names) or of uint32_t (location ids) with an entry for every
 *     device FT_LIST_NUMBER_ONLY counts; pArg2 is a uint32_t * (out, not null)
 *     receiving the number of entries written.
 * The selection is FT_OPEN_BY_SERIAL_NUMBER (also when 0), FT_OPEN_BY_DESCRIPTION
 * or FT_OPEN_BY_LOCATION. A name buffer must hold 64 bytes: at most 63
 * characters and the terminator are written; a longer string is cut so that
 * the interface suffix still fits, and every name listed opens its own
 * interface with FT_OpenEx.
 * Returns FT_OK (a count of 0 is not an error); FT_INVALID_PARAMETER for a
 * missing pointer, unknown operation bits, an unknown selection (low bits
 * other than 0, 1, 2 and 4) with FT_LIST_BY_INDEX or FT_LIST_ALL, or a name
 * that cannot be read; FT_DEVICE_NOT_FOUND when no
 * device has that index or it cannot be opened for its name or location;
 * FT_OTHER_ERROR when the library cannot start. With FT_LIST_ALL a failure part
 * way leaves the entries before it written and counted.
 * A device that another process holds open is counted and named here as any
 * other (its names are read without claiming it), whereas the
 * device-information list marks it FT_FLAGS_OPENED with empty names.
 * Any thread; serialised with the opens and FT_SetVIDPID. */
FTD2XX_API FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, uint32_t Flags);

/** Reports facts about an open device.
 *   ftHandle:     in, an open handle.
 *   type:         out, may be null; an FT_DEVICE value.
 *   id:           out, may be null; vendor id << 16 | product id.
 *   serialNumber: out, may be null; at least 18 bytes (16 characters, the
 *                 interface letter on multi-interface chips, the terminator).
 *   description:  out, may be null; at least 67 bytes (64 characters, a space
 *                 and the interface letter, the terminator).
 *   dummy:        ignored.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_OTHER_ERROR when a string cannot be read
 * from the device (outputs written before the failure stay).
 * May run alongside reads and writes on the same handle. */
FTD2XX_API FT_STATUS FT_GetDeviceInfo(FT_HANDLE ftHandle, FT_DEVICE *type, uint32_t *id,
                                      char *serialNumber, char *description, void *dummy);

/** Reports the location id of an open device (see the family note above).
 *   locId: out, not null.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_INVALID_PARAMETER when locId is null.
 * May run alongside reads and writes on the same handle. */
FTD2XX_API FT_STATUS FT_GetDeviceLocId(FT_HANDLE ftHandle, uint32_t *locId);

/** Adds a USB vendor/product id to the ids the library treats as its devices,
 * beside the built-in FTDI ids (never in their place). Adding an id that is
 * already accepted changes nothing; vid and pid both 0 do nothing at all.
 *   vid, pid: in; pid is taken as 16 bits.
 * Returns FT_OK; FT_INSUFFICIENT_RESOURCES when the table cannot grow;
 * FT_OTHER_ERROR when the library cannot start.
 * Any thread; serialised with the opens and FT_ListDevices. */
FTD2XX_API FT_STATUS FT_SetVIDPID(uint32_t vid, uint32_t pid);

/** Reports the id most recently added to the accepted ids (vendor 0x15D6,
 * product 0x0001 until FT_SetVIDPID adds one).
 *   vid, pid: out, neither null.
 * Returns FT_OK; FT_INVALID_PARAMETER when a pointer is null; FT_OTHER_ERROR
 * when the library cannot start.
 * Any thread; serialised with FT_SetVIDPID. */
FTD2XX_API FT_STATUS FT_GetVIDPID(uint32_t *vid, uint32_t *pid);

/* ---------------------------------------------------------------------------
 * Open and close
 *
 * Opening claims the device's USB interface (it fails while the kernel's serial
 * driver or another process holds it), resets the chip and purges both
 * directions, reads the modem status and latency timer, applies ftd2xx.cfg, and
 * starts the device's receive and write threads. Chips without a latency timer
 * (the AM family and unrecognised chips) cannot be opened: FT_NOT_SUPPORTED.
 * ------------------------------------------------------------------------- */

/** Opens the device at a position in the list of devices, counted as
 * FT_ListDevices counts them (see "Index order" above). A position of a chip of
 * the 0x14, 0x15 or 0x16 families or of an unrecognised chip is not opened:
 * FT_DEVICE_NOT_FOUND (open those by name or location).
 *   deviceNumber: in, 0 for the first device.
 *   handle:       out, not null; set only on success.
 * Returns FT_OK; FT_INVALID_PARAMETER when handle is null; FT_DEVICE_NOT_FOUND
 * when no device has that position, the position is not reachable by index
 * or its USB device cannot be opened (permissions); FT_DEVICE_NOT_OPENED when its interface
 * cannot be claimed; FT_IO_ERROR when the chip does not answer the reset or
 * status requests within 5 s each; FT_NOT_SUPPORTED for a chip without a
 * latency timer; FT_INSUFFICIENT_RESOURCES when memory or threads run out;
 * FT_OTHER_ERROR when the library cannot start. A failed open leaves nothing
 * open or claimed. An interface this process is handing over at that moment
 * (another thread closing it or still opening it, the information list
 * holding it for its short open) is waited for, up to four control
 * time-outs and 2 s (22 s), and then claimed; only an interface held
 * elsewhere, or by a handle of this process, gives FT_DEVICE_NOT_OPENED.
 * Any thread; opens are serialised while they look for and claim a device
 * (not while the chip answers). */
FTD2XX_API FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *handle);

/** Opens a device by serial number, description or location.
 *   pArg1:  in. FT_OPEN_BY_SERIAL_NUMBER or FT_OPEN_BY_DESCRIPTION: a
 *           terminated string, not null, exactly a name the device lists:
 *           as FT_ListDevices, the device-information list (its 16 or 64
 *           bytes, terminated by the caller) or FT_GetDeviceInfo print it,
 *           interface letter included on multi-interface chips (in either
 *           case). The search goes on past every device that does not match;
 *           a device whose serial number or description is blank matches no
 *           name. FT_OPEN_BY_LOCATION: the location id itself, passed as
 *           (void *)(uintptr_t)locId.
 *   Flags:  in, exactly one of the three selections.
 *   handle: out, not null; set only on success.
 * Returns as FT_Open; also FT_INVALID_PARAMETER for a null name, and
 * FT_DEVICE_NOT_FOUND for any other selection or a name no device lists.
 * Any thread; opens are serialised. */
FTD2XX_API FT_STATUS FT_OpenEx(void *pArg1, uint32_t Flags, FT_HANDLE *handle);

/** Closes a handle: stops the device's threads, cancels its transfers (waiting up
 * to 300 ms for each), releases the interface and frees the record. Sends
 * nothing to the chip: the line and modem settings stay as they were. Blocks
 * until the threads notice the stop (up to 0.5 s each) and the cancelled
 * transfers complete: about two seconds at worst.
 * A write the chip does not accept is cancelled (it returns FT_IO_ERROR); calls
 * still running on other threads finish, and the USB device file closes after
 * the last of them.
 * Returns FT_OK; FT_INVALID_HANDLE (also for a handle already closed). */
FTD2XX_API FT_STATUS FT_Close(FT_HANDLE ftHandle);

/* ---------------------------------------------------------------------------
 * Device-information list
 *
 * A snapshot of all devices, built by opening and closing each in turn (which
 * resets every chip that is not in use). Meant for start-up, not for polling.
 * The three calls share the library's one list; each sees it whole, as the
 * last FT_CreateDeviceInfoList of any thread left it.
 * ------------------------------------------------------------------------- */

/** Replaces the list with a new snapshot, one node per position in index order
 * (node i is what FT_ListDevices lists and FT_Open opens at index i). A device
 * held by this process is entered with FT_FLAGS_OPENED and the identity and
 * handle of its own record; a device held elsewhere (another process, a kernel
 * driver) with FT_FLAGS_OPENED, type FT_DEVICE_UNKNOWN and empty names, while
 * FT_ListDevices still names it. A chip FT_Open does not open at that index
 * (the 0x14, 0x15 and 0x16 families, AM and unrecognised chips) is described
 * from its descriptors and sent nothing; AM and unrecognised chips, which no
 * call opens, get FT_FLAGS_OPENED with their type and names. Every other
 * device is opened by its location and closed again. A device another thread
 * of this process is opening or closing at that moment is waited for (as
 * long as an open waits, see FT_Open), so that it is listed as held with its
 * handle, or as free, never as held elsewhere.
 *   numDevs: out, not null; the number of nodes (0 on failure).
 * Returns FT_OK; FT_INVALID_PARAMETER when numDevs is null;
 * FT_INSUFFICIENT_RESOURCES when the list cannot be allocated; FT_OTHER_ERROR
 * when the library cannot start. */
FTD2XX_API FT_STATUS FT_CreateDeviceInfoList(uint32_t *numDevs);

/** Copies the whole list.
 *   dest:    out, may be null (only the count is reported); otherwise room for
 *            as many nodes as the last FT_CreateDeviceInfoList counted.
 *   numDevs: out, not null; the number of nodes (0 before the first list).
 * Returns FT_OK; FT_INVALID_PARAMETER when numDevs is null. */
FTD2XX_API FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, uint32_t *numDevs);

/** Reports one node of the list.
 *   index:        in, below the count of the last FT_CreateDeviceInfoList.
 *   flags, type, id, locId: out, each may be null.
 *   serialNumber: out, may be null; receives exactly 16 bytes (unterminated
 *                 when the serial number has 16 characters).
 *   description:  out, may be null; receives exactly 64 bytes.
 *   handle:       out, may be null; this process's handle on it, or null.
 * Returns FT_OK; FT_DEVICE_NOT_FOUND when there is no list or index is beyond
 * it. */
FTD2XX_API FT_STATUS FT_GetDeviceInfoDetail(uint32_t index, uint32_t *flags, uint32_t *type,
                                            uint32_t *id, uint32_t *locId, void *serialNumber,
                                            void *description, FT_HANDLE *handle);

/* ---------------------------------------------------------------------------
 * Reading and the receive queue
 *
 * An open device receives continuously into a queue of (at least) 262144
 * bytes whether or not the application reads. The chip's two status bytes are
 * removed from every packet. While the queue has no room for a packet's data,
 * reception pauses.
 * ------------------------------------------------------------------------- */

/** Copies received bytes out of the queue, waiting until bytesToRead are there,
 * or until the read time-out (FT_SetTimeouts) has passed, or until the device
 * dies. With a read time-out of 0 it waits without limit; a request above 262144
 * bytes can then never be met.
 *   buffer:        out, not null; bytesToRead bytes.
 *   bytesToRead:   in; 0 returns at once.
 *   bytesReturned: out, not null; bytes copied, fewer than asked when the
 *                  time-out passed (possibly 0).
 * Returns FT_OK (also after a time-out: check *bytesReturned);
 * FT_INVALID_HANDLE; FT_INVALID_PARAMETER when a pointer is null; FT_IO_ERROR
 * when the device is dead and nothing is left (bytes received before it died
 * are handed over first, at once, as after a time-out).
 * May run alongside FT_Write and other reads on the same handle. */
FTD2XX_API FT_STATUS FT_Read(FT_HANDLE ftHandle, void *buffer, uint32_t bytesToRead,
                             uint32_t *bytesReturned);

/** Reports how many received bytes wait in the queue, at most 65536.
 *   rxBytes: out, not null; 0 on FT_IO_ERROR.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_INVALID_PARAMETER when rxBytes is null;
 * FT_IO_ERROR when the device is dead and nothing is left to read.
 * May run alongside FT_Read and FT_Write on the same handle. */
FTD2XX_API FT_STATUS FT_GetQueueStatus(FT_HANDLE ftHandle, uint32_t *rxBytes);

/** As FT_GetQueueStatus, without the 65536 cap. */
FTD2XX_API FT_STATUS FT_GetQueueStatusEx(FT_HANDLE ftHandle, uint32_t *rxBytes);

/** Reports the queue and collects the pending event-notification bits.
 *   rxBytes:     out, not null; bytes waiting, at most 65536.
 *   txBytes:     out, not null; always 0 (there is no transmit queue).
 *   eventStatus: out, not null; the FT_EVENT_* bits recorded since they were
 *                last collected; they are cleared.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_INVALID_PARAMETER when a pointer is
 * null; FT_IO_ERROR when the device is dead and nothing is left to read
 * (nothing stored, bits kept).
 * May run alongside FT_Read and FT_Write; collect event bits from one thread. */
FTD2XX_API FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, uint32_t *rxBytes, uint32_t *txBytes,
                                  uint32_t *eventStatus);

/** Sets the read time-out (FT_Read) and the write time-out (each bulk-out
 * transfer of FT_Write), in milliseconds, 0 for none; both are 0 after open.
 * They apply from the next read or write.
 * Returns FT_OK; FT_INVALID_HANDLE. Any thread. */
FTD2XX_API FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, uint32_t readTimeout,
                                    uint32_t writeTimeout);

/** Sets the deadman time-out: a receive transfer that stays incomplete for this
 * long, plus the time the chip may take to fill it at the latency timer's pace,
 * marks the device dead. 5000 ms after open.
 *   deadmanTimeout: in, milliseconds, not 0.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_INVALID_PARAMETER for 0 (nothing
 * changed). Any thread. */
FTD2XX_API FT_STATUS FT_SetDeadmanTimeout(FT_HANDLE ftHandle, uint32_t deadmanTimeout);

/** Records a request to stop receiving. Reception continues regardless: the
 * call exists for portable code.
 * Returns FT_OK; FT_INVALID_HANDLE. */
FTD2XX_API FT_STATUS FT_StopInTask(FT_HANDLE ftHandle);

/** Withdraws FT_StopInTask's request.
 * Returns FT_OK; FT_INVALID_HANDLE. */
FTD2XX_API FT_STATUS FT_RestartInTask(FT_HANDLE ftHandle);

/* ---------------------------------------------------------------------------
 * Writing
 * ------------------------------------------------------------------------- */

/** Sends bytes to the device directly from the caller's buffer, any length, in
 * USB bulk transfers of at most 1 MiB, each with the write time-out. A write of
 * 0 bytes sends a zero-length packet (unless ftd2xx.cfg routes writes through
 * the writer thread).
 *   buffer:       in, may be null only when bytesToWrite is 0.
 *   bytesWritten: out, not null; bytes the device took. Fewer than asked, with
 *                 FT_OK, means the write time-out passed first.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_INVALID_PARAMETER for a null
 * bytesWritten or a null buffer with a non-zero length (nothing sent);
 * FT_IO_ERROR when the transfer fails (device gone, pipe error, handle closed);
 * FT_OTHER_ERROR when the write lock cannot be taken.
 * May run alongside reads; concurrent writes are served one after the other. */
FTD2XX_API FT_STATUS FT_Write(FT_HANDLE ftHandle, const void *buffer, uint32_t bytesToWrite,
                              uint32_t *bytesWritten);

/* ---------------------------------------------------------------------------
 * Line and modem control
 *
 * Each setting is one or more control requests to the chip, sent synchronously
 * on the caller's thread; a request the chip does not complete within 5 s or
 * answers short fails with
 * FT_IO_ERROR, and the setting the library records keeps its previous value.
 * Argument values are passed to the chip unchecked.
 * Any thread; settings calls on one handle are served one at a time, each
 * whole; may run alongside reads and writes.
 * ------------------------------------------------------------------------- */

/** Sets word length, stop bits and parity (8, 1, none after open); also ends a
 * break.
 *   wordLength: FT_BITS_8 or FT_BITS_7.  stopBits: FT_STOP_BITS_*.
 *   parity: FT_PARITY_*.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_IO_ERROR. */
FTD2XX_API FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle, uint8_t wordLength,
                                               uint8_t stopBits, uint8_t parity);

/** Sets the flow control. FT_FLOW_RTS_CTS also raises RTS and FT_FLOW_DTR_DSR
 * raises DTR.
 *   flowControl: FT_FLOW_*.
 *   xon, xoff:   the XON and XOFF characters; used by FT_FLOW_XON_XOFF only.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_IO_ERROR (the first failed request). */
FTD2XX_API FT_STATUS FT_SetFlowControl(FT_HANDLE ftHandle, uint16_t flowControl, uint8_t xon,
                                       uint8_t xoff);

/** @{ */
/** Raise or lower DTR and RTS.
 * Return FT_OK; FT_INVALID_HANDLE; FT_IO_ERROR. */
FTD2XX_API FT_STATUS FT_SetDtr(FT_HANDLE ftHandle);
FTD2XX_API FT_STATUS FT_ClrDtr(FT_HANDLE ftHandle);
FTD2XX_API FT_STATUS FT_SetRts(FT_HANDLE ftHandle);
FTD2XX_API FT_STATUS FT_ClrRts(FT_HANDLE ftHandle);
/** @} */

/** @{ */
/** Start or end a break on the transmit line, keeping the last data
 * characteristics.
 * Return FT_OK; FT_INVALID_HANDLE; FT_IO_ERROR. */
FTD2XX_API FT_STATUS FT_SetBreakOn(FT_HANDLE ftHandle);
FTD2XX_API FT_STATUS FT_SetBreakOff(FT_HANDLE ftHandle);
/** @} */

/** Sets the event character (its arrival raises EV_RXFLAG) and the error
 * character (the chip puts it in place of a byte received with an error).
 *   eventChar, errorChar: the characters.
 *   eventCharEnabled, errorCharEnabled: non-zero enables the character.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_IO_ERROR (nothing recorded; when the
 * event character fails the error character is not sent). */
FTD2XX_API FT_STATUS FT_SetChars(FT_HANDLE ftHandle, uint8_t eventChar, uint8_t eventCharEnabled,
                                 uint8_t errorChar, uint8_t errorCharEnabled);

/** Discards data: FT_PURGE_RX empties the chip's receive buffer and the library's
 * receive queue (data in flight is dropped too); FT_PURGE_TX empties the chip's
 * transmit buffer. Other bits are ignored; 0 does nothing.
 *   mask: FT_PURGE_RX | FT_PURGE_TX.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_IO_ERROR (the first failed request ends
 * a receive purge, leaving the queue and the transmit side untouched). */
FTD2XX_API FT_STATUS FT_Purge(FT_HANDLE ftHandle, uint32_t mask);

/** Resets the chip, then purges both directions as FT_Purge does. The settings
 * the library recorded are not re-sent.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_IO_ERROR (the first failed request). */
FTD2XX_API FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle);

/** Reports the modem lines as the chip last reported them (in every received
 * packet, or at open); no request is sent. Clears the pending
 * FT_EVENT_MODEM_STATUS bit.
 *   modemStatus: out, not null; MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON;
 *                no other bit is ever set.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_INVALID_PARAMETER when modemStatus is
 * null. May run alongside reads and writes. */
FTD2XX_API FT_STATUS FT_GetModemStatus(FT_HANDLE ftHandle, uint32_t *modemStatus);

/* ---------------------------------------------------------------------------
 * Baud rate
 * Any thread; settings calls on one handle are served one at a time, each
 * whole; may run alongside reads and writes.
 * ------------------------------------------------------------------------- */

/** Sets the baud rate. The rate the chip will really produce must lie within
 * 3 % of the request: 184 baud to 3 Mbaud on most chips, up to 12 Mbaud on the
 * high-speed chips.
 *   baudRate: in, baud.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_IO_ERROR for a rate the chip cannot
 * produce (nothing sent) or a failed request. */
FTD2XX_API FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, uint32_t baudRate);

/** Sends a raw baud-rate divisor word to the chip, unchecked.
 *   divisor: in, the chip's divisor encoding.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_IO_ERROR. */
FTD2XX_API FT_STATUS FT_SetDivisor(FT_HANDLE ftHandle, uint16_t divisor);

/* ---------------------------------------------------------------------------
 * Chip features
 * Requests as in the line-control family: synchronous, FT_IO_ERROR on failure,
 * any thread, served one at a time per handle.
 * ------------------------------------------------------------------------- */

/** Sets the latency timer: how long the chip holds a partly filled packet
 * before sending it. Also lengthens the deadman time-out accordingly.
 *   latency: in, milliseconds.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_NOT_SUPPORTED on AM chips (nothing
 * sent); FT_IO_ERROR. */
FTD2XX_API FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, uint8_t latency);

/** Reads the latency timer from the chip.
 *   latency: out, not null; milliseconds.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_INVALID_PARAMETER when latency is null;
 * FT_NOT_SUPPORTED on AM chips; FT_IO_ERROR. */
FTD2XX_API FT_STATUS FT_GetLatencyTimer(FT_HANDLE ftHandle, uint8_t *latency);

/** Sets the chip's bit mode, passed unchecked.
 *   mask: in, pin directions.  mode: in, the chip's mode number.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_NOT_SUPPORTED on AM chips; FT_IO_ERROR. */
FTD2XX_API FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, uint8_t mask, uint8_t mode);

/** Reads the instantaneous pin state from the chip.
 *   mode: out, not null.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_INVALID_PARAMETER when mode is null;
 * FT_NOT_SUPPORTED on AM chips; FT_IO_ERROR. */
FTD2XX_API FT_STATUS FT_GetBitMode(FT_HANDLE ftHandle, uint8_t *mode);

/** Sets the USB transfer sizes. The IN size (4096 after open) is the length of
 * each receive transfer submitted from then on; values above 65536 become
 * 65536, values below one USB packet are ignored, and the rest are rounded
 * down to a whole number of USB packets (a transfer ending inside a packet
 * would overflow when the chip sends that packet whole). The receive
 * time-out, which allows one latency period per packet of a transfer, is
 * recomputed for the new size. The OUT size is recorded only (at least one
 * packet, at most 65536).
 *   inTransferSize, outTransferSize: in, bytes.
 * Returns FT_OK; FT_INVALID_HANDLE. Sends nothing. */
FTD2XX_API FT_STATUS FT_SetUSBParameters(FT_HANDLE ftHandle, uint32_t inTransferSize,
                                         uint32_t outTransferSize);

/** @{ */
/** Vendor-command chips only (the 0x14 to 0x19 and 0x21 families, the FT4222H
 * among them). At most 128 bytes move per call; a longer length is cut to 128.
 *
 * FT_VendorCmdGet / FT_VendorCmdGetEx read the answer to a vendor command.
 *   request / wValue: in, the command (8 or 16 bits).
 *   buf: out, not null; len bytes.
 * Return FT_OK (the chip sent exactly len bytes, or 128 when len is larger;
 * nothing is ever written past buf[len - 1]); FT_INVALID_HANDLE;
 * FT_IO_ERROR on other chips (nothing sent) or a failed or short request;
 * FT_INVALID_PARAMETER when buf is null. */
FTD2XX_API FT_STATUS FT_VendorCmdGet(FT_HANDLE ftHandle, uint8_t request, uint8_t *buf,
                                     uint16_t len);
FTD2XX_API FT_STATUS FT_VendorCmdGetEx(FT_HANDLE ftHandle, uint16_t wValue, uint8_t *buf,
                                       uint16_t len);
/** @} */

/** Sends a vendor command with data.
 *   request: in, the command.
 *   buf:     in; may be null only when len is 0.
 *   len:     in, bytes.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_IO_ERROR on other chips (nothing sent)
 * or a failed request; FT_INVALID_PARAMETER for a null buf with a non-zero len. */
FTD2XX_API FT_STATUS FT_VendorCmdSet(FT_HANDLE ftHandle, uint8_t request, const uint8_t *buf,
                                     uint16_t len);

/** Resets the device's USB port (the device re-enumerates).
 * Returns FT_OK; FT_INVALID_HANDLE; FT_IO_ERROR.
 * No other call on the same handle may run concurrently. */
FTD2XX_API FT_STATUS FT_CyclePort(FT_HANDLE ftHandle);

/* ---------------------------------------------------------------------------
 * EEPROM words
 *
 * Additions beyond the core set, for existing EEPROM tools: one 16-bit word of
 * the chip's configuration EEPROM at a time, addressed in words. The EEPROM
 * belongs to the whole chip: on a multi-interface chip every interface's
 * handle reaches the same words. Offsets are passed to the chip unchecked: one
 * beyond the chip's EEPROM gets whatever the chip answers, and a request the
 * chip refuses (stalls) or answers short fails with the call's EEPROM status.
 * Synchronous, as the chip features above; any thread.
 * ------------------------------------------------------------------------- */

/** Reads one word.
 *   wordOffset: in, the word's address; above 0xFFFF nothing is sent.
 *   value:      out, not null; unchanged on failure.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_INVALID_PARAMETER when value is null;
 * FT_EEPROM_READ_FAILED when the request fails or the offset is above
 * 0xFFFF. */
FTD2XX_API FT_STATUS FT_ReadEE(FT_HANDLE ftHandle, uint32_t wordOffset, uint16_t *value);

/** Writes one word.
 *   wordOffset: in, the word's address; above 0xFFFF nothing is sent.
 *   value:      in.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_EEPROM_WRITE_FAILED when the request
 * fails or the offset is above 0xFFFF. */
FTD2XX_API FT_STATUS FT_WriteEE(FT_HANDLE ftHandle, uint32_t wordOffset, uint16_t value);

/** Erases the whole EEPROM.
 * Returns FT_OK; FT_INVALID_HANDLE; FT_EEPROM_ERASE_FAILED when the request
 * fails. */
FTD2XX_API FT_STATUS FT_EraseEE(FT_HANDLE ftHandle);

/* ---------------------------------------------------------------------------
 * Event notification
 * ------------------------------------------------------------------------- */

/** Arms event notification: when a condition of eventMask arrives, the library
 * records its FT_EVENT_* bit and signals eventHandle's condition variable
 * (pthread_cond_signal under eMutex, from the library's receive thread). Only
 * one condition is recorded until the bits are collected with
 * FT_GetEventStatus or FT_GetStatus (received bytes before a modem change
 * before a line error); while one is pending, nothing more is recorded or
 * signalled. Wait with a predicate and collect the bits after every wake-up.
 * A mask of 0 disarms notification. FT_W32_SetCommMask also disarms it.
 *   eventMask:   in, FT_EVENT_RXCHAR | FT_EVENT_MODEM_STATUS |
 *                FT_EVENT_LINE_STATUS, or 0.
 *   eventHandle: in, not null; an EVENT_HANDLE * whose eCondVar and eMutex
 *                are initialised. It must stay valid until the handle is
 *                closed: a signal already under way when notification is
 *                disarmed may still reach it. It is also signalled when the
 *                device is found gone: FT_GetStatus then answers FT_IO_ERROR
 *                once nothing is left to read.
 * Returns FT_OK (pending bits are dropped when arming); FT_INVALID_HANDLE;
 * FT_INVALID_PARAMETER when eventHandle is null (also with a mask of 0).
 * Any thread; concurrent armings take effect one at a time. */
FTD2XX_API FT_STATUS FT_SetEventNotification(FT_HANDLE ftHandle, uint32_t eventMask,
                                             void *eventHandle);

/** Collects and clears the pending event-notification bits.
 *   eventStatus: out, not null; FT_EVENT_* bits.
 * Returns FT_OK (also for a dead device); FT_INVALID_HANDLE;
 * FT_INVALID_PARAMETER when eventStatus is null.
 * Collect event bits from one thread. */
FTD2XX_API FT_STATUS FT_GetEventStatus(FT_HANDLE ftHandle, uint32_t *eventStatus);

/* ---------------------------------------------------------------------------
 * Win32-style calls
 *
 * Shaped like the Win32 file and serial-port API, each a thin layer over the
 * FT_* calls above. They return non-zero (TRUE) for success and 0 (FALSE) for
 * failure; an invalid handle gives FALSE. Where noted, a call records the
 * FT_STATUS of its work as the handle's last error (FT_W32_GetLastError).
 * Overlapped I/O is not supported: overlapped arguments are ignored. The
 * concurrency rules are those of the FT_* call each one maps to.
 * ------------------------------------------------------------------------- */

/** Opens a device by name, as FT_OpenEx.
 *   name:                in, the serial number or description.
 *   flagsAndAttributes:  in; bit 0 (FT_OPEN_BY_SERIAL_NUMBER) or bit 1
 *                        (FT_OPEN_BY_DESCRIPTION) selects; other bits ignored.
 *   access, shareMode, security, creation, templateFile: ignored.
 * Returns the handle; FT_INVALID_HANDLE_VALUE when neither selection bit is
 * set (nothing is tried) or the open fails. */
FTD2XX_API FT_HANDLE FT_W32_CreateFile(const char *name, uint32_t access, uint32_t shareMode,
                                       void *security, uint32_t creation,
                                       uint32_t flagsAndAttributes, void *templateFile);

/** Opens a device by position, as FT_Open.
 *   index: in.  The three other arguments are ignored.
 * Returns the handle; null when the open fails. */
FTD2XX_API FT_HANDLE FT_W32_OpenFile(uint32_t index, uint32_t access, uint32_t shareMode,
                                     uint32_t flags);

/** Closes the handle, as FT_Close. Returns TRUE when it was valid. */
FTD2XX_API int FT_W32_CloseHandle(FT_HANDLE ftHandle);

/** Reads as FT_Read (same time-outs and waiting); records the status.
 *   overlapped: ignored. */
FTD2XX_API int FT_W32_ReadFile(FT_HANDLE ftHandle, void *buffer, uint32_t bytesToRead,
                               uint32_t *bytesReturned, void *overlapped);

/** Writes as FT_Write; records the status.
 *   overlapped: ignored. */
FTD2XX_API int FT_W32_WriteFile(FT_HANDLE ftHandle, const void *buffer, uint32_t bytesToWrite,
                                uint32_t *bytesWritten, void *overlapped);

/** @{ */
/** Overlapped I/O is not supported: both return FALSE and record
 * FT_NOT_SUPPORTED. */
FTD2XX_API int FT_W32_GetOverlappedResult(FT_HANDLE ftHandle, void *overlapped,
                                          uint32_t *bytesTransferred, int wait);
FTD2XX_API int FT_W32_CancelIo(FT_HANDLE ftHandle);
/** @} */

/** @{ */
/** End or start a break, as FT_SetBreakOff / FT_SetBreakOn; record the status. */
FTD2XX_API int FT_W32_ClearCommBreak(FT_HANDLE ftHandle);
FTD2XX_API int FT_W32_SetCommBreak(FT_HANDLE ftHandle);
/** @} */

/** Performs one modem-line or break function.
 *   function: SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK or CLRBREAK, recording
 *             the status; any other code (SETXOFF, SETXON, RESETDEV included)
 *             returns FALSE and records nothing. */
FTD2XX_API int FT_W32_EscapeCommFunction(FT_HANDLE ftHandle, uint32_t function);

/** Purges as FT_Purge; records the status.
 *   flags: PURGE_RXABORT or PURGE_RXCLEAR purge the receive side,
 *          PURGE_TXABORT or PURGE_TXCLEAR the transmit side; 0 does nothing. */
FTD2XX_API int FT_W32_PurgeComm(FT_HANDLE ftHandle, uint32_t flags);

/** Reports the modem lines as FT_GetModemStatus (modemStatus out, not null:
 * FALSE when null) and clears the pending FT_EVENT_MODEM_STATUS bit. Records
 * nothing. */
FTD2XX_API int FT_W32_GetCommModemStatus(FT_HANDLE ftHandle, uint32_t *modemStatus);

/** Collects the line errors received since the last call, and the queue state.
 * Drops every pending event-notification bit.
 *   errors: out, not null; CE_OVERRUN, CE_RXPARITY, CE_FRAME, CE_BREAK; cleared.
 *   status: in/out, not null; the seven flag bits are cleared (the reserved
 *           bits are left as given), cbInQue = bytes waiting, cbOutQue = 0.
 * Returns TRUE; FALSE with FT_INVALID_PARAMETER recorded when a pointer is
 * null. */
FTD2XX_API int FT_W32_ClearCommError(FT_HANDLE ftHandle, uint32_t *errors, LPFTCOMSTAT status);

/** Reports the comm state last given to FT_W32_SetCommState (all zero before
 * the first), not the chip's live settings.
 *   dcb: out, not null.
 * Returns TRUE; FALSE with FT_INVALID_PARAMETER recorded when dcb is null. */
FTD2XX_API int FT_W32_GetCommState(FT_HANDLE ftHandle, LPFTDCB dcb);

/** Applies a comm state: baud rate, data characteristics, flow control
 * (fOutxCtsFlow, else fOutxDsrFlow, else fOutX or fInX with XonChar and
 * XoffChar), RTS and DTR when their controls changed since the last call, and
 * the event and error characters (0 disables each). Stops at the first failed
 * step; the record is kept for FT_W32_GetCommState either way.
 *   dcb: in, not null.
 * Returns TRUE when every step succeeded; FALSE otherwise or when dcb is null.
 * Records nothing. */
FTD2XX_API int FT_W32_SetCommState(FT_HANDLE ftHandle, const FTDCB *dcb);

/** Reports the time-outs: ReadTotalTimeoutConstant and WriteTotalTimeoutConstant
 * are the read and write time-outs, the other fields 0.
 *   timeouts: out, not null.
 * Returns TRUE; FALSE with FT_INVALID_PARAMETER recorded when timeouts is
 * null. */
FTD2XX_API int FT_W32_GetCommTimeouts(FT_HANDLE ftHandle, LPFTTIMEOUTS timeouts);

/** Sets the read and write time-outs, as FT_SetTimeouts, from
 * ReadTotalTimeoutConstant and WriteTotalTimeoutConstant; the other fields are
 * ignored.
 *   timeouts: in, not null.
 * Returns TRUE; FALSE with FT_INVALID_PARAMETER recorded when timeouts is
 * null. */
FTD2XX_API int FT_W32_SetCommTimeouts(FT_HANDLE ftHandle, const FTTIMEOUTS *timeouts);

/** Sets the comm events to wait for, ends a pending FT_W32_WaitCommEvent (which
 * then reports no event), and disarms FT_SetEventNotification: from now on
 * events are recorded as comm events.
 *   mask: in, EV_* bits.
 * Returns TRUE. May be called from another thread while one waits. */
FTD2XX_API int FT_W32_SetCommMask(FT_HANDLE ftHandle, uint32_t mask);

/** Waits, without time-out, for a comm event of the current mask. Events that
 * arrived outside the mask are discarded.
 *   mask:       out, not null; the events that ended the wait, or 0 when
 *               FT_W32_SetCommMask or FT_Close ended it.
 *   overlapped: ignored.
 * Returns TRUE (also when FT_W32_SetCommMask ended the wait); FALSE with
 * FT_INVALID_PARAMETER recorded when mask is null or the comm mask is 0;
 * FALSE with FT_IO_ERROR recorded (mask 0) when the device is found gone;
 * FALSE when the handle was closed during the wait (nothing recorded).
 * One waiter per handle. */
FTD2XX_API int FT_W32_WaitCommEvent(FT_HANDLE ftHandle, uint32_t *mask, void *overlapped);

/** Accepted for portable code: the queue sizes are fixed. Returns TRUE. */
FTD2XX_API int FT_W32_SetupComm(FT_HANDLE ftHandle, uint32_t readBufferSize,
                                uint32_t writeBufferSize);

/** Reports the last error the handle's Win32-style calls recorded: an FT_STATUS
 * value (not a Win32 error code), FT_OK before any. Returns FT_INVALID_HANDLE
 * for an invalid handle. Calls on several threads overwrite each other's
 * value. */
FTD2XX_API uint32_t FT_W32_GetLastError(FT_HANDLE ftHandle);

/* ---------------------------------------------------------------------------
 * Calls this platform does not offer
 *
 * Each returns FT_NOT_SUPPORTED at once, without looking at its arguments
 * (not even the handle) and without storing anything. Any thread.
 * ------------------------------------------------------------------------- */

/** Raw device I/O control. */
FTD2XX_API FT_STATUS FT_IoCtl(FT_HANDLE ftHandle, uint32_t code, void *in, uint32_t inSize,
                              void *out, uint32_t outSize, uint32_t *returned, void *overlapped);

/** @{ */
/** Win32-only wait mask calls; use FT_SetEventNotification or the
 * FT_W32_SetCommMask / FT_W32_WaitCommEvent pair instead. */
FTD2XX_API FT_STATUS FT_SetWaitMask(FT_HANDLE ftHandle, uint32_t mask);
FTD2XX_API FT_STATUS FT_WaitOnMask(FT_HANDLE ftHandle, uint32_t *mask);
/** @} */

/** @{ */
/** Bus re-scan and driver reload. */
FTD2XX_API FT_STATUS FT_Rescan(void);
FTD2XX_API FT_STATUS FT_Reload(uint16_t wVid, uint16_t wPid);
/** @} */

/** @{ */
/** COM-port number and idle states (there are no COM ports here). */
FTD2XX_API FT_STATUS FT_GetComPortNumber(FT_HANDLE ftHandle, int32_t *lpdwComPortNumber);
FTD2XX_API FT_STATUS FT_ComPortIdle(FT_HANDLE ftHandle);
FTD2XX_API FT_STATUS FT_ComPortCancelIdle(FT_HANDLE ftHandle);
/** @} */

/** Vendor command with a 16-bit command value and data. */
FTD2XX_API FT_STATUS FT_VendorCmdSetEx(FT_HANDLE ftHandle, uint16_t wValue, const uint8_t *buf,
                                       uint16_t len);

/** @{ */
/** Port reset and pipe-reset retry count (see FT_CyclePort for a port reset). */
FTD2XX_API FT_STATUS FT_ResetPort(FT_HANDLE ftHandle);
FTD2XX_API FT_STATUS FT_SetResetPipeRetryCount(FT_HANDLE ftHandle, uint32_t count);
/** @} */

#ifdef __cplusplus
}
#endif

#endif /**< FTD2XX_H */
