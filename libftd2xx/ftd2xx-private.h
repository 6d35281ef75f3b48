// What the library's sources share: the per-device record every FT_HANDLE
// points to, the handle registry, and the library-wide state and lock.
#pragma once

#include <libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "Event.h"
#include "Mutex.h"
#include "config.h"
#include "ftd2xx.h"
#include "idtable.h"

namespace d2xx {

// The receive ring. Packets are stored whole, so a ring of exactly the
// queue size applications are promised would stop up to one packet's
// payload short of it, and a read of the whole queue could never end: the
// ring has room for one more high-speed packet's payload.
constexpr uint32_t kRxQueueSize = 262144;
constexpr uint32_t kRxCapacity = kRxQueueSize + 512;
// Every control request of an open or a call waits at most this long.
constexpr uint32_t kControlTimeoutMs = 5000;
constexpr uint32_t kInSlotCount = 4;
constexpr uint32_t kInSlotBufferSize = 65536;
constexpr uint32_t kNoneWanted = UINT32_MAX;

struct DeviceExtension;

// Storage for a library-wide object that is never destroyed. Threads the
// application leaves inside the library at exit may still reach it while
// the process destroys its static objects, and a record it holds must never
// run its destructor (libusb_close) after the finaliser has ended libusb.
template <typename T>
union Immortal {
    T value;
    Immortal() : value() {}
    ~Immortal() {}
};

// Counts the records that exist: the finaliser waits for the last reference
// a caller on another thread holds, since the record's destructor closes its
// libusb handle. The first member of a record, so it is destroyed last.
class LiveRecord {
  public:
    LiveRecord();
    ~LiveRecord();
    LiveRecord(const LiveRecord &) = delete;
    LiveRecord &operator=(const LiveRecord &) = delete;
    static int Count();
};

struct TransferDeleter {
    void operator()(libusb_transfer *t) const { libusb_free_transfer(t); }
};
using TransferPtr = std::unique_ptr<libusb_transfer, TransferDeleter>;
struct HandleCloser {
    void operator()(libusb_device_handle *h) const { libusb_close(h); }
};
struct DeviceUnref {
    void operator()(libusb_device *d) const { libusb_unref_device(d); }
};
struct ConfigDescriptorDeleter {
    void operator()(libusb_config_descriptor *c) const { libusb_free_config_descriptor(c); }
};

// One bulk-in transfer and its buffer. A slot belongs to the reader while
// its free_event is set, to libusb while status is -1, and to the processor
// from done_event until it sets free_event again. Reader and processor both
// visit the slots in the order 0, 1, 2, 3, 0, ...
struct InTransferSlot {
    std::unique_ptr<uint8_t[]> buffer;  // kInSlotBufferSize bytes
    std::atomic<int> length{0};         // bytes of the last completion (0 after a failed one)
    Event free_event;                   // set: the reader may submit the slot
    Event done_event;                   // set by the completion callback
    // Receive purges that had happened when the last completion arrived:
    // a completion older than the latest purge carries purged data.
    std::atomic<uint64_t> purge_generation{0};
    TransferPtr transfer;
    // -1 submitted and pending; 1 submission failed; otherwise the libusb
    // status of the last completion.
    std::atomic<int> status{0};
    DeviceExtension *device = nullptr;  // owner, for the callback; set before any submission
};

using WriteRoutine = int (*)(DeviceExtension *, const void *buffer, uint32_t length,
                             uint32_t *transferred);

// One per open device. An FT_HANDLE is the address of one of these; the
// registry owns it from the start of an open until FT_Close (or the failed
// open) removes it. Calls that are in flight when the record leaves the
// registry keep it alive through their own reference (AcquireDevice).
//
// Lock order: write_mutex > out_mutex > comm_mutex > an Event's own mutex;
// settings_mutex > comm_mutex; settings_mutex > rx_mutex;
// comm_mutex > the application's notification mutex.
// rx_mutex, inflight_mutex and comm_mutex are never held together, and no
// lock of the record is held while calling into libusb or sleeping, except
// write_mutex, which serialises whole writes, settings_mutex, which
// serialises whole configuration calls (each a few control requests), and
// out_mutex, held only to submit or cancel the write's transfer. The orders
// between the record's own mutexes are declared (ACQUIRED_BEFORE) where the
// mutexes are, and clang checks them.
//
// The libusb handle stays open until the record is freed, so a call that
// races FT_Close never meets a closed handle; the close releases the
// interface (the device can be opened again at once) and cancels a write
// in progress.
//
// Fields without a named guard or an atomic type are written during the
// open, before the handle is returned and the device's threads start, and
// only read after that. Every other field names its mutex (GUARDED_BY) or
// is atomic: any exported call may run on any thread at any time.
struct DeviceExtension {
    LiveRecord live;

    // --- USB (set by the open, released by the close) ---
    std::unique_ptr<libusb_device_handle, HandleCloser> usb_dev;  // null when not open
    std::unique_ptr<libusb_device, DeviceUnref> usb_device;       // the enumerated device
    libusb_device_descriptor dev_desc{};
    std::unique_ptr<libusb_config_descriptor, ConfigDescriptorDeleter> config_desc;
    int usb_interface = -1;  // claimed interface; -1 while none is claimed
    uint8_t in_ep = 0;
    uint8_t out_ep = 0;
    uint8_t interface_selector = 0;  // wIndex of line requests
    uint16_t zlp_packet_size = 0;    // OUT packet size needing a zero-length end; 0 never
    uint32_t vendor_id = 0, product_id = 0;
    // ClaimKey of the claimed interface: set under the library lock when the
    // open claims it, never changed afterwards.
    std::atomic<uint32_t> claim_key{0};

    // --- receive state ---
    std::atomic<uint8_t> modem_status{0};    // latest packet's byte 0, low four bits cleared
    std::atomic<uint8_t> line_status{0};     // latest packet's byte 1
    std::atomic<uint32_t> read_timeout{0};   // FT_Read, ms; 0 = no limit
    std::atomic<uint32_t> write_timeout{0};  // bulk out, ms; 0 = no limit
    std::atomic<bool> stop_threads{false};
    std::atomic<uint32_t> in_task_stopped{0};
    std::atomic<bool> alive{false};  // cleared for good when the device is found gone

    Mutex rx_mutex;
    CondVar rx_data_cond;                // rx_mutex: bytes arrived, purge, death, close
    CondVar rx_space_cond;               // rx_mutex: room made, purge, death, close
    std::unique_ptr<uint8_t[]> rx_data;  // allocated by the open; its bytes: rx_mutex
    uint32_t rx_write_index GUARDED_BY(rx_mutex) = 0;
    uint32_t rx_read_index GUARDED_BY(rx_mutex) = 0;
    uint32_t rx_capacity = kRxCapacity;  // constant after open
    // The fewest waiting bytes an FT_Read blocked on rx_data_cond waits for
    // (kNoneWanted: none waits). The parser wakes readers only once that
    // many are there, and then clears it: every reader woken that still
    // lacks bytes sets it again before it waits. Death, purge and close
    // wake readers whatever it says.
    uint32_t rx_wanted GUARDED_BY(rx_mutex) = kNoneWanted;
    std::atomic<uint32_t> rx_free{
        kRxCapacity};  // written under rx_mutex; read lock-free by status calls
    std::atomic<uint64_t> rx_purge_count{0};  // receive purges so far; changed under rx_mutex
    // FT_SetUSBParameters against the reader.
    uint32_t in_transfer_size GUARDED_BY(rx_mutex) = 4096;

    Event reader_wake_event;
    Event processor_wake_event;
    InTransferSlot in_slots[kInSlotCount];
    uint32_t processor_wait_ms = 300;
    uint32_t reader_wait_ms = 500;
    std::thread reader_thread;  // started last by the open, joined by the close
    std::thread processor_thread;

    // Bulk-in transfers libusb holds; the close waits for it to reach 0.
    Mutex inflight_mutex;
    CondVar inflight_cond;
    int inflight GUARDED_BY(inflight_mutex) = 0;

    // --- line and chip settings ---
    // Held through each whole configuration call, its requests included:
    // configuration calls on one handle from several threads run one after
    // the other, so what the record says is what the chip last accepted.
    Mutex settings_mutex ACQUIRED_BEFORE(comm_mutex, rx_mutex);

    uint32_t packet_size = 64;
    std::atomic<uint32_t> in_timeout{0};  // bulk-in time-out, ms
    uint32_t deadman_timeout GUARDED_BY(settings_mutex) = 5000;
    uint32_t in_transfer_size_max = kInSlotBufferSize;
    uint32_t out_transfer_size_max = 65536;
    uint32_t out_transfer_size GUARDED_BY(settings_mutex) = 4096;

    // Each records what the chip last accepted; a refused request leaves it.
    uint32_t current_baud GUARDED_BY(settings_mutex) = 0;
    // Stop bits, parity, word length.
    uint8_t line_characteristics[3] GUARDED_BY(settings_mutex) = {};
    struct FlowSettings {
        uint16_t mode = 0;
        uint8_t xon = 0, xoff = 0;
    } flow_settings GUARDED_BY(settings_mutex);
    // Event character, its enable, error character, its enable. The
    // processor reads the first two once per transfer.
    std::atomic<uint8_t> event_char{0};
    std::atomic<uint8_t> event_char_enabled{0};
    uint8_t error_char GUARDED_BY(settings_mutex) = 0;
    uint8_t error_char_enabled GUARDED_BY(settings_mutex) = 0;
    uint8_t bit_mode_settings[2] GUARDED_BY(settings_mutex) = {};  // mask, mode
    std::atomic<uint8_t> latency_ms{0};
    uint8_t modem_control GUARDED_BY(settings_mutex) = 0;  // bit 0 DTR on, bit 1 RTS on
    uint16_t flow_control_mode GUARDED_BY(settings_mutex) = 0;
    // The data-characteristics word a break is added to.
    uint16_t line_control_word GUARDED_BY(settings_mutex) = 8;

    // --- event notification (atomics: the processor writes event_status) ---
    std::atomic<FT_HANDLE> notify_handle{nullptr};
    std::atomic<uint32_t> notify_mask{0};
    std::atomic<void *> notify_target{nullptr};  // caller's EVENT_HANDLE
    std::atomic<uint32_t> event_status{0};
    std::atomic<uint32_t> event_mode{0};  // bit 0: notification armed

    // --- comm events (Win32-style) ---
    Mutex comm_mutex;
    Event comm_event;
    // Written under comm_mutex and read under it, except by the parser,
    // which looks at it without the lock to skip comm_mutex when no event a
    // transfer brings is waited for (an atomic for that one reader).
    std::atomic<uint32_t> comm_wait_mask{0};
    uint32_t comm_events GUARDED_BY(comm_mutex) = 0;
    std::atomic<uint32_t> comm_wait_abort{0};
    // Line errors for FT_W32_ClearCommError.
    uint32_t comm_errors GUARDED_BY(comm_mutex) = 0;
    std::atomic<uint32_t> last_error{0};
    // The comm state last given to FT_W32_SetCommState, as FT_W32_GetCommState
    // reports it: only copied in and out under comm_mutex.
    FTDCB comm_settings GUARDED_BY(comm_mutex){};
    // What SetState last applied; its RTS and DTR controls decide whether a
    // new state must send a modem-control request. Zero at open.
    FTDCB applied_comm_settings GUARDED_BY(settings_mutex){};

    // --- transmit ---
    Mutex write_mutex ACQUIRED_BEFORE(out_mutex);  // one FT_Write at a time
    Event write_request_event;
    Event write_done_event;
    // The posted write: written by the poster under write_mutex before
    // write_request_event is set, read by the writer after it (atomics: the
    // hand-over is the event's, which the analysis cannot see).
    std::atomic<const void *> write_buffer{nullptr};
    std::atomic<uint32_t> write_length{0};
    std::atomic<uint32_t *> write_result{nullptr};
    std::atomic<int> write_status{0};
    std::atomic<bool> writer_running{false};
    std::thread writer_thread;
    WriteRoutine write_routine = nullptr;
    // The bulk-out transfer in flight, so that the close can cancel it.
    // Submitted and cancelled under out_mutex; once stop_threads is set no
    // new one is submitted.
    Mutex out_mutex ACQUIRED_BEFORE(comm_mutex);
    libusb_transfer *out_transfer GUARDED_BY(out_mutex) = nullptr;

    // --- identity ---
    // Language id of the device's strings: read once per handle (0 until
    // then); any thread may fill it, all fill the same value.
    std::atomic<uint16_t> string_langid{0};
    FT_DEVICE_LIST_INFO_NODE info{};  // filled at open; ftHandle = this record
    ConfigTarget config;              // serial/description copies and config_flags
};

// --- handle registry (device-list.cpp) ---------------------------------
// Newest record first. Guarded by its own registry mutex, so validation and
// removal are safe while other threads open and close devices; never held
// while calling into libusb or waiting.
std::shared_ptr<DeviceExtension> AddDevice();
// True when the record was registered (and is now removed).
bool RemoveDevice(const void *record);
bool IsDeviceValid(const void *handle);
// The n-th record counting from the newest (0), or null.
std::shared_ptr<DeviceExtension> FindDevice(int n);
// The registered record that claimed the interface of ClaimKey `key`, or null.
std::shared_ptr<DeviceExtension> FindClaimingDevice(uint32_t key);
// The registered record `handle` points to, or null: the caller's reference
// keeps the record's memory valid until it is dropped.
std::shared_ptr<DeviceExtension> AcquireDevice(const void *handle);
size_t RegisteredDeviceCount();

// The status an exported call returns for the exception being handled:
// FT_INSUFFICIENT_RESOURCES for a failed allocation, FT_OTHER_ERROR for any
// other (a lock or a thread that cannot be had). Call it only from a catch
// clause; every exported function that can throw ends in one, so no
// exception leaves through the C interface.
FT_STATUS StatusOfException() noexcept;

// Runs `op(DeviceExtension *)` on the record behind `handle`, holding a
// reference that keeps it alive through a concurrent close; FT_INVALID_HANDLE
// when there is none. Nothing thrown inside (a lock that cannot be taken)
// leaves through the C interface: it becomes FT_OTHER_ERROR.
template <typename Op>
FT_STATUS WithDevice(FT_HANDLE handle, Op op) noexcept {
    try {
        const std::shared_ptr<DeviceExtension> device = AcquireDevice(handle);
        if (!device) return FT_INVALID_HANDLE;
        return op(device.get());
    } catch (...) {
        return StatusOfException();
    }
}

// --- library-wide state (ftd2xx.cpp) ------------------------------------
// The library mutex. Lock order: the library mutex > the registry's, the
// information list's and the abandoned records' mutexes (declared with
// ACQUIRED_AFTER where they are) and every record's mutexes. It is held
// while an open finds and claims its device, and for FT_ListDevices and
// FT_SetVIDPID; not while an opened chip answers the open's set-up requests.
extern Mutex gLibraryMutex;

// Holds the library mutex for its scope. ok() is false in the one case the
// mutex could not be taken (the system refused it): the caller then returns
// FT_OTHER_ERROR at once, touching nothing the mutex guards.
class SCOPED_CAPABILITY LibraryLock {
  public:
    LibraryLock() ACQUIRE(gLibraryMutex);
    ~LibraryLock() RELEASE() {}
    LibraryLock(const LibraryLock &) = delete;
    LibraryLock &operator=(const LibraryLock &) = delete;
    bool ok() const { return lock_.owns_lock(); }
    void unlock() RELEASE() { lock_.unlock(); }

  private:
    std::unique_lock<std::mutex> lock_;
};

// Brings the library up (id table, libusb default context, libusb event
// thread). Runs before main and again lazily; returns 1 when the library is
// ready.
int constructD2xx() REQUIRES(gLibraryMutex);
void destroyD2xx() EXCLUDES(gLibraryMutex);
// Initialises if needed; false if that fails.
bool EnsureInitialisedLocked() REQUIRES(gLibraryMutex);
bool IsInitialised();
// The accepted-id table.
IdTable *IdTableLocked() REQUIRES(gLibraryMutex);
// 1 when vid:pid is one of the library's devices.
int DeviceMatch(uint32_t vid, uint32_t pid) REQUIRES(gLibraryMutex);

// For tests that build a simulated bus after the library started: libusb's
// hot-plug monitor only sees devices that exist when its context is created,
// and no context may outlive the simulated bus. Neither is exported.
// Ends the libusb context and the event thread; the next open or listing
// brings them up again. Refused (false) while devices are open.
bool FinaliseLibusb() EXCLUDES(gLibraryMutex);
// Ends and restarts them at once.
bool ReinitialiseLibusb() EXCLUDES(gLibraryMutex);

// --- device names and locations (ftd2xx-private.cpp) ----------------------
// What a listing produces: selection 1 serial number, 2 description.
constexpr uint32_t kSelectSerial = 1, kSelectDescription = 2, kSelectLocation = 4;
// Longest string descriptor read, terminator included.
constexpr size_t kNameBufferSize = 256;

uint32_t GetDeviceType(const libusb_device_descriptor &desc);
// Reads string descriptor `index` into buffer[size] as ASCII (characters
// outside it become '?'), as libusb_get_string_descriptor_ascii does, but
// with the language id *langid; when that is 0 the device's first language
// id is read into it first, so a handle reads it once. The length, or a
// negative libusb error.
int ReadStringAscii(libusb_device_handle *handle, uint8_t index, uint16_t *langid, char *buffer,
                    size_t size);
// Reads the serial number (selection 1) or description (2) of an open
// device into buffer[size]; a string index of 0 gives "". FT_OK,
// FT_DEVICE_NOT_OPENED for another selection or an unreadable descriptor,
// FT_OTHER_ERROR when the string cannot be read. `langid` as above.
FT_STATUS GetOpenDeviceName(libusb_device *device, libusb_device_handle *handle, char *buffer,
                            size_t size, uint32_t selection, uint16_t *langid);
// The name of one interface (or of the device, interface -1) of an
// unopened device, suffixed as listings show it.
FT_STATUS GetDeviceDescription(libusb_device *device, int usbInterface, char *buffer, size_t size,
                               uint32_t selection);
FT_STATUS GetOpenDeviceLocation(libusb_device *device, uint32_t interfaceValue, uint32_t *out);
FT_STATUS GetDeviceLocation(libusb_device *device, uint32_t interfaceValue, uint32_t *out);
// Closes the record's libusb handle, releasing the claimed interface first.
void CloseDevice(DeviceExtension *device);

// --- chip requests (usb_control.cpp; chip features in chip_features.cpp) ---
// bmRequestType of the chip's vendor requests.
constexpr uint8_t kVendorOut = 0x40;  // vendor, host to device, device recipient
constexpr uint8_t kVendorIn = 0xC0;   // vendor, device to host, device recipient
// One vendor control request, synchronous, with the control time-out.
// FT_OK when exactly wLength bytes went either way, else FT_IO_ERROR (also
// once the record is being closed).
FT_STATUS FT_VendorRequest(uint8_t request, uint16_t wValue, uint16_t wIndex, uint8_t *data,
                           uint16_t wLength, uint8_t bmRequestType, DeviceExtension *device);
// kControlTimeoutMs, unless a test set another (0 restores it).
uint32_t ControlTimeout();
void SetControlTimeoutForTests(uint32_t ms);
bool IsBmOrLater(const DeviceExtension &device);
FT_STATUS ResetDevice(DeviceExtension *device);
FT_STATUS Purge(DeviceExtension *device, uint32_t mask);
FT_STATUS GetModemStatus(DeviceExtension *device);
FT_STATUS GetLatencyTimer(DeviceExtension *device, uint8_t *latency);
// Line and modem settings; each records what the chip accepted. The
// setters expect the record's settings_mutex, held by the whole exported
// call they serve.
struct LineControl {
    uint8_t stop_bits, parity, word_length;
};
struct FlowControl {
    uint16_t mode;
    uint8_t xon, xoff;
};
struct SpecialChars {
    uint8_t event_char, event_enable, error_char, error_enable;
};
FT_STATUS SetBaudRate(DeviceExtension *device, uint32_t baud) REQUIRES(device->settings_mutex);
FT_STATUS SetDivisor(DeviceExtension *device, uint16_t divisor) REQUIRES(device->settings_mutex);
FT_STATUS SetLineControl(DeviceExtension *device, const LineControl &line)
    REQUIRES(device->settings_mutex);
FT_STATUS SetFlowControl(DeviceExtension *device, const FlowControl &flow)
    REQUIRES(device->settings_mutex);
FT_STATUS SetDtr(DeviceExtension *device) REQUIRES(device->settings_mutex);
FT_STATUS ClrDtr(DeviceExtension *device) REQUIRES(device->settings_mutex);
FT_STATUS SetRts(DeviceExtension *device) REQUIRES(device->settings_mutex);
FT_STATUS ClrRts(DeviceExtension *device) REQUIRES(device->settings_mutex);
constexpr uint16_t kBreakOn = 0x4000;  // data-characteristics bit holding the line in break
// `bit` is kBreakOn or 0.
FT_STATUS SetBreak(DeviceExtension *device, uint16_t bit) REQUIRES(device->settings_mutex);
FT_STATUS SetChars(DeviceExtension *device, const SpecialChars &chars)
    REQUIRES(device->settings_mutex);
// Chip features (chip_features.cpp, GetLatencyTimer included). AM chips
// answer FT_NOT_SUPPORTED to the latency and bit-mode calls without a request.
FT_STATUS SetLatencyTimer(DeviceExtension *device, uint8_t ms) REQUIRES(device->settings_mutex);
FT_STATUS SetBitMode(DeviceExtension *device, uint8_t mask, uint8_t mode)
    REQUIRES(device->settings_mutex);
FT_STATUS GetBitMode(DeviceExtension *device, uint8_t *mode);
FT_STATUS VendorCmdSet(DeviceExtension *device, uint8_t command, const uint8_t *data,
                       uint16_t length);
FT_STATUS VendorCmdGet(DeviceExtension *device, uint16_t wValue, uint8_t *buffer, uint16_t length);
struct EepromWord {
    uint16_t address;
    uint8_t low, high;
};
FT_STATUS Read_EE(DeviceExtension *device, uint16_t *addressThenWord);
FT_STATUS Write_EE(DeviceExtension *device, const EepromWord &word);
FT_STATUS Erase_EE(DeviceExtension *device);

// --- receive engine (bulk_in.cpp) -----------------------------------------
void reader_thread(DeviceExtension *device);
void processor_thread(DeviceExtension *device);
int InRequest(uint32_t length, DeviceExtension *device, int slot);
void LIBUSB_CALL InRequestCompletion(libusb_transfer *transfer);
enum class ParseResult { kDone, kPurged, kStopped };
// Cuts one completed transfer into packets, strips their status bytes and
// appends the payload to the ring. Waits for room when the ring is full.
// `generation` is the purge count the transfer completed under: a purge
// after it drops the rest of the transfer.
ParseResult ProcessBulkInData(DeviceExtension *device, const uint8_t *data, uint32_t length,
                              uint64_t generation);
// The host side of a receive purge.
void PurgeReceive(DeviceExtension *device);
void UpdateDeadmanTimeout(DeviceExtension *device) REQUIRES(device->settings_mutex);
// The device is gone: reads fail from now on; wakes every waiter.
void MarkDeviceDead(DeviceExtension *device);
// Wakes the receive threads and every reader so that they see stop_threads.
void WakeReceiveThreads(DeviceExtension *device);
void signalSomeEvents(DeviceExtension *device, uint8_t modemChanged, uint8_t lineErrors,
                      int received, int eventCharSeen);

// --- transmit (ftd2xx-io.cpp) ----------------------------------------------
int FT_WriteSingleThread(DeviceExtension *device, const void *buffer, uint32_t length,
                         uint32_t *transferred);
int FT_WriteMultiThread(DeviceExtension *device, const void *buffer, uint32_t length,
                        uint32_t *transferred);
void write_thread(DeviceExtension *device);

// --- open and close (ftd2xx-open.cpp) --------------------------------------
// FT_Close's work: unlinks the record, stops its threads, takes every
// transfer back from libusb, closes the USB handle and wakes comm waiters.
FT_STATUS CloseHandle(FT_HANDLE handle);
// Tests: the n-th device thread started from now on fails to start.
void SetThreadStartFaultForTests(int n);
// FT_OpenEx by location for the information list, which holds the interface
// in hand-over itself: a refused claim fails at once.
FT_STATUS OpenForList(uint32_t location, FT_HANDLE *handle);
// Drops the strings the opens have kept of each device, with their libusb
// device references; before libusb ends.
void ForgetKnownDevices() REQUIRES(gLibraryMutex);

// --- listed names (ftd2xx-private.cpp) ------------------------------------
// Where a device's serial number or product string is printed. Each place
// has its own widths and its own rule for when a name carries the interface
// letter (serial "%s%c", description "%s %c"); the string is cut first, so
// that the letter is never lost.
enum class NameForm {
    kListing,     // FT_ListDevices: 63 characters, letter included; lettered
                  // when the USB device has several interfaces
    kNode,        // information node: 16 and 64 bytes, letter included,
                  // unterminated when full; lettered by chip family
    kDeviceInfo,  // FT_GetDeviceInfo: the string cut to 16 and 64 characters,
                  // then the letter; lettered by chip family
};
constexpr size_t kFormattedNameSize = 67;  // every form, terminator included
bool LettersNames(NameForm form, uint16_t bcdDevice, int interfaces);
// `own` as `form` prints it for `selection`, then `letter` unless it is 0.
// Bytes after the terminator are zero.
void FormatName(char (&out)[kFormattedNameSize], const char *own, NameForm form, uint32_t selection,
                char letter);
// The interface (index) whose name, in any form, is exactly `requested` (the
// interface letter in either case), or -1. A blank `own` names nothing, and
// neither does an interface without a letter of its own ('A' to 'E').
int ListedInterface(const char *requested, const char *own, uint32_t selection, uint16_t bcdDevice,
                    int interfaces);

// --- interfaces changing hands within this process (device-list.cpp) -------
// An interface is in hand-over from the moment an open of this process
// claims it until that open has finished (or failed and let it go again),
// from the moment a close starts until the interface is released, and while
// the information list holds it for its short open. Only these hand-overs
// make a claim of this process fail for a moment: an open refused an
// interface in hand-over waits for the hand-over to end and tries again, and
// the information list waits for it before it describes the interface. A
// hand-over begun under the library lock is seen by every open and list.
// Keys are ClaimKey values; 0 is no interface.
uint32_t ClaimKey(libusb_device *usb, int iface);
// How long an open or a list waits for a hand-over: an open whose chip
// answers every set-up request at the last moment, and the close after it.
std::chrono::steady_clock::duration HandOverWait();
class HandOver {
  public:
    HandOver() = default;
    explicit HandOver(uint32_t key) { Begin(key); }
    ~HandOver() { End(); }
    HandOver(const HandOver &) = delete;
    HandOver &operator=(const HandOver &) = delete;
    void Begin(uint32_t key);  // ends the previous one first
    void End();

    // Whether a hand-over of `key` is under way.
    static bool Busy(uint32_t key);
    // How many hand-overs of `key` have ended so far.
    static uint64_t Ended(uint32_t key);
    // Waits until no hand-over of `key` is under way; false at the deadline.
    static bool WaitIdle(uint32_t key, std::chrono::steady_clock::time_point deadline);
    // Waits until neither a hand-over of `key` is under way nor an open waits
    // for one; false at the deadline.
    static bool WaitQuiet(uint32_t key, std::chrono::steady_clock::time_point deadline);
    static bool Quiet(uint32_t key);

  private:
    uint32_t key_ = 0;
};
// An open waiting for a hand-over of `key` to end: while there is one, the
// information list starts no hand-over of that interface, so the open is
// not refused again by the next list.
class HandOverWaiter {
  public:
    HandOverWaiter() = default;
    ~HandOverWaiter() { Release(); }
    HandOverWaiter(const HandOverWaiter &) = delete;
    HandOverWaiter &operator=(const HandOverWaiter &) = delete;
    void Wait(uint32_t key);  // registers; one key per waiter

  private:
    void Release();
    uint32_t key_ = 0;
};

// Opens past their start that have not returned yet.
int OpensInFlight();
// Records that are never freed (libusb kept one of their transfers).
size_t AbandonedRecordCount();

// --- device-information list (ftd2xx-list.cpp) ------------------------------
// The attached devices of the library's ids whose descriptors can be read,
// in index order: ascending location id (bus number, then device address).
// Every index-based call (FT_ListDevices, FT_Open, the information list)
// counts positions over this order, one per interface (bNumInterfaces).
// Requires the library lock (the id table); holds a reference to each device
// while it lives.
class LibraryDevices {
  public:
    struct Entry {
        libusb_device *usb;
        libusb_device_descriptor desc;
        std::unique_ptr<libusb_config_descriptor, ConfigDescriptorDeleter> config;
    };
    LibraryDevices() REQUIRES(gLibraryMutex);
    ~LibraryDevices();
    LibraryDevices(const LibraryDevices &) = delete;
    LibraryDevices &operator=(const LibraryDevices &) = delete;
    bool ok() const { return ok_; }  // false when libusb could not list devices
    const std::vector<Entry> &entries() const { return entries_; }

  private:
    libusb_device **list_ = nullptr;
    std::vector<Entry> entries_;
    bool ok_ = false;
};
void ResetAttachedList();

// Packed library version 0x00MMmmBB.
int versionNumberToHex();

}  // namespace d2xx
