// Internal state of the simulated chips and their testbed, shared by the
// sources of the ftdisim library. Not installed, not for tests.
#pragma once

#include <umockdev.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "ftdisim.h"
#include "ftdisim_pins.h"
#include "shim_table.h"

namespace ftdisim {

using Clock = std::chrono::steady_clock;

// A GObject reference that unrefs itself.
template <typename T>
class GRef {
  public:
    GRef() = default;
    // Takes over one reference the caller owns.
    static GRef Adopt(T *p) {
        GRef r;
        r.p_ = p;
        return r;
    }
    // Adds a reference of its own.
    static GRef Share(T *p) { return Adopt(p ? static_cast<T *>(g_object_ref(p)) : nullptr); }
    GRef(GRef &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    GRef &operator=(GRef &&o) noexcept {
        if (this != &o) {
            reset();
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    GRef(const GRef &) = delete;
    GRef &operator=(const GRef &) = delete;
    ~GRef() { reset(); }
    void reset() {
        if (p_ != nullptr) g_object_unref(p_);
        p_ = nullptr;
    }
    T *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    T *p_ = nullptr;
};

// One USB request block a client submitted, while the chip holds it.
struct Urb {
    // The open file that submitted it; identity only (its URBs are dropped
    // when the client object is finalised, before the address can recur).
    UMockdevIoctlClient *client = nullptr;
    GRef<UMockdevIoctlData> urb;          // our copy of the client's usbdevfs_urb
    UMockdevIoctlData *buffer = nullptr;  // child of `urb`: the transfer buffer
    unsigned long client_addr = 0;        // the URB's address in the client
    uint8_t type = 0;                     // USBDEVFS_URB_TYPE_*
    uint8_t endpoint = 0;
    uint32_t flags = 0;
    int length = 0;  // buffer length the client gave
    // Completion, written into the client's URB when it is reaped.
    int status = 0;
    std::vector<uint8_t> reply;  // IN data (control IN: without the setup)
    int actual = 0;
    // The latency timer armed for this URB while it is the oldest waiting IN
    // transfer of its endpoint; 0 when none.
    uint64_t timer_token = 0;
    // Index of its ControlRecord while a control request waits unanswered.
    size_t record = 0;
};

// Context of one plug-in of a chip: what the umockdev signal handlers get.
// Waits until no emulated device file is open in any process, at most
// `bound`; false if some still is.
bool WaitForEmulatedFilesClosed(std::chrono::milliseconds bound);

// Hooks are kept for the life of the process (umockdev may still deliver a
// late client notification after a testbed is gone); a hook whose chip is
// gone has `chip` null.
struct Hook {
    std::mutex mutex;            // held while a handler runs, and to clear `chip`
    Chip::Impl *chip = nullptr;  // guarded by mutex
    int generation = 0;          // which plug-in of the chip this is (immutable)
};

// The pins of one interface as the bit-bang engines and the MPSSE see them.
// Pin words: bits 0-7 the low byte (ADBUS), 8-15 the high byte (ACBUS).
struct PinState {
    uint8_t engine = 0;  // the engine running: 0 serial, 0x01, 0x02, 0x04, 0x20
    uint16_t out = 0;    // output latches
    uint16_t dir = 0;    // 1: the chip drives the pin (while an engine runs)
    uint8_t cbus_out = 0;
    uint8_t cbus_dir = 0;
    // MPSSE bytes not run yet: an incomplete command, or everything from a
    // wait on GPIOL1 whose condition does not hold yet.
    std::vector<uint8_t> commands;
    // Kept across power-on: what is wired to the pins.
    uint16_t outside = 0xFFFF;  // levels of pins nobody drives (pulled up)
    uint8_t cbus_outside = 0x0F;
    PinDevice *device = nullptr;
};

// The state of one interface's serial engine.
struct IfaceState {
    InterfaceState st;
    PinState pin;
    std::deque<uint8_t> rx_fifo;  // bytes waiting for the host
    uint8_t modem_lines = 0;
    uint8_t pending_line_error = 0;  // ORed into the next IN packet
    bool stall_next_in = false;
    bool in_halted = false;       // IN endpoint stalled until CLEAR_HALT
    bool in_chain_ended = false;  // a URB chain ended short: its continuations are refused
    bool hold_in = false;
    bool hold_out = false;
    std::deque<Urb> pending_in;  // IN transfers waiting, oldest first
    std::deque<Urb> held_out;    // OUT transfers waiting while hold_out
    std::vector<OutTransfer> out;
    bool kernel_driver = false;
    UMockdevIoctlClient *claimed_by = nullptr;  // identity only, no reference

    // Serial line: bytes for the peer, delivered in order by one thread at
    // a time without the chip lock held.
    SerialPeer *peer = nullptr;
    std::deque<std::pair<std::vector<uint8_t>, LineSettings>> deliveries;
    bool delivering = false;
    std::thread::id deliverer;
};

// What a control request came to.
struct ControlOutcome {
    int result = 0;              // bytes transferred or -errno
    std::vector<uint8_t> reply;  // IN data
    bool unanswered = false;     // held by a Timeout fault until cancelled
    size_t record = 0;           // index of its ControlRecord
};

struct Chip::Impl {
    Impl(Chip &owner, Testbed::Impl &testbed, const ChipSpec &chip_spec);
    ~Impl();

    Chip &self;            // immutable
    Testbed::Impl &bed;    // immutable
    const ChipSpec &spec;  // immutable
    const ChipTraits traits;
    std::vector<Hook *> hooks;                      // one per plug-in, guarded by mutex
    std::vector<GRef<UMockdevIoctlBase>> handlers;  // one per plug-in, guarded by mutex

    // --- chip.cpp ---
    // Connects a new plug-in at `address`. Throws std::runtime_error.
    void Plug(uint8_t new_address);
    void Unplug();
    // Ends every handler's access to this chip and detaches the peers.
    void Shutdown();
    gboolean OnIoctl(int generation, UMockdevIoctlClient *client);
    void OnClientConnected(UMockdevIoctlClient *client);
    void OnClientGone(UMockdevIoctlClient *client);
    void OnLatencyTimer(int iface, uint64_t token);
    // Hands queued host bytes of `iface` to its peer. Call without the lock.
    void RunDeliveries(int iface);
    void SendToHostLocked(int iface, const uint8_t *data, size_t n);
    void ServeInLocked(int iface);
    void AcceptOutLocked(int iface, Urb urb);
    void CompleteLocked(Urb urb, int status);
    // Completes an IN URB the chip answered (u.actual bytes).
    void CompleteInLocked(IfaceState &f, Urb u);
    void UpdateReadyLocked();
    // Power-on state of every interface (keeps records, peers, EEPROM).
    void PowerOnLocked();

    // --- bitbang.cpp ---
    // Starts the engine for a set-bit-mode request (mode 0: serial again).
    void SetBitModeLocked(int iface, uint8_t mask, uint8_t mode);
    // The byte answered to get bit mode: the pins' instantaneous levels.
    uint8_t GetBitModeLocked(int iface) const;
    // True when host bytes go to an engine instead of the serial line.
    bool PinEngineTakesDataLocked(int iface) const;
    // Host bytes for the running engine; answers enter the receive FIFO.
    void PinDataLocked(int iface, const uint8_t *data, size_t n);
    // Levels of every pin: the chip's outputs, then the device's, then the
    // outside levels.
    uint16_t PinLevelsLocked(int iface) const;
    // Tells the wired device the pins changed (only while an engine runs).
    void PinsChangedLocked(int iface);
    // The outside levels changed: tell the device, resume a waiting MPSSE.
    void OutsidePinsChangedLocked(int iface);

    // --- mpsse.cpp ---
    // Runs queued MPSSE commands as far as they are complete; appends the
    // answers to `answer`.
    void MpsseRunLocked(int iface, std::vector<uint8_t> &answer);

    // --- chip_control.cpp ---
    void BuildDescriptors();
    ControlOutcome ControlLocked(const uint8_t *setup, const uint8_t *out_data, size_t out_len);
    int VendorLocked(ControlRecord &rec, std::vector<uint8_t> &reply);
    int StandardLocked(const ControlRecord &rec, std::vector<uint8_t> &reply) const;
    int AddressedInterface(const ControlRecord &rec) const;
    const RequestFault *MatchFaultLocked(const ControlRecord &rec);

    // Lock order: Hook::mutex > this mutex > Testbed::Impl::timer_mutex.
    // g_hooks_mutex and Testbed::Impl::chips_mutex are never held with any
    // other. Peers are called with no lock of the chip held (a handler's
    // Hook::mutex may be held: peers must not destroy the chip).
    mutable std::mutex mutex;
    std::condition_variable delivered;  // a delivery run ended (with mutex)

    // Everything below is guarded by mutex, except where noted.
    uint8_t bus = 0;   // written before the chip is shared
    uint8_t port = 0;  // written before the chip is shared
    uint8_t address = 0;
    bool plugged = false;
    int generation = 0;  // bumped by every plug-in; older clients are dead
    int shim_slot = -1;
    std::string devnode;
    std::string syspath;  // written before the chip is shared
    int event_fd = -1;    // owned; immutable once created
    bool ready = false;   // event_fd currently signalled

    std::vector<IfaceState> ifaces;
    std::deque<Urb> done;          // completed, waiting to be reaped
    std::deque<Urb> pending_ctrl;  // control requests held by a Timeout fault
    std::vector<ControlRecord> records;
    std::vector<RequestFault> faults;
    std::array<uint16_t, 128> eeprom{};
    std::optional<std::vector<uint8_t>> vendor_reply;
    std::vector<uint8_t> vendor_last_set;
    bool open_denied = false;
    unsigned opens = 0;
    uint64_t next_token = 1;

    std::vector<uint8_t> device_descriptor;  // immutable once built
    std::vector<uint8_t> config_descriptor;  // immutable once built
};

// Latency timers of every chip of a testbed, served by one thread. The
// thread only calls Chip::OnLatencyTimer, which takes the chip's lock.
struct TimerEntry {
    Chip::Impl *chip;
    int iface;
    uint64_t token;
};

struct Testbed::Impl {
    UMockdevTestbed *tb = nullptr;  // owned; created first, released last
    std::string root;
    shim::Table *table = nullptr;
    int table_fd = -1;

    mutable std::mutex chips_mutex;
    std::vector<std::unique_ptr<Chip>> chips;  // guarded by chips_mutex
    // Bus positions ever handed out (bus * 256 + address): a device node
    // keeps its ioctl handler for the testbed's life, so none is reused.
    std::set<uint16_t> used_nodes;  // guarded by chips_mutex
    std::set<uint16_t> used_ports;  // bus * 256 + port, guarded by chips_mutex

    // The next free address on `bus` (throws when the bus is full).
    uint8_t NextAddressLocked(uint8_t bus);

    std::mutex timer_mutex;
    std::condition_variable timer_cv;
    std::multimap<Clock::time_point, TimerEntry> timers;  // guarded by timer_mutex
    bool timer_stop = false;                              // guarded by timer_mutex
    std::thread timer_thread;

    void Schedule(Clock::time_point when, TimerEntry entry);
    void TimerLoop();
};

}  // namespace ftdisim
