// A simulated FTDI USB serial chip for tests and demos, served to the real
// libusb-1.0 through umockdev's usbfs emulation.
//
// One Testbed holds any number of chips, each a USB device on its own bus
// address with its own sysfs entry. A chip answers what a real one answers:
// its descriptors and strings, the vendor requests of the serial engine (line
// settings, modem lines, purges, latency timer, bit mode, EEPROM words,
// vendor commands) and bulk transfers on one IN/OUT endpoint pair per
// interface, with the two status bytes at the head of every IN packet. Each
// interface has a serial line (SerialLine) to which a peer is wired: a
// Loopback, or anything implementing SerialPeer. In the bit-bang modes and
// in MPSSE mode the interface's bytes drive and sample its pins instead, to
// which a PinDevice may be wired (ftdisim_pins.h).
//
// Process requirements
//   - The process must run with umockdev's preload library
//     (LD_PRELOAD=libumockdev-preload.so.0). Test programs get that from
//     ftdisim_gtest_main; other programs call EnsureUmockdevPreload first.
//   - Create the Testbed before the first libusb_init and end every libusb
//     context before the Testbed is destroyed: libusb keeps one process-wide
//     device monitor, started by the first context and stopped by the last.
//   - Only one Testbed exists at a time per process (umockdev redirects the
//     whole process to one testbed directory).
//   - Chips added after a libusb context exists appear through the hot-plug
//     "add" event, as on a real bus.
//
// Threads
//   umockdev answers the emulated ioctls on its own worker thread. Every
//   public method of this header may be called from any thread; each takes
//   the chip's lock for a short time and never blocks on USB traffic. Peers
//   are called without any lock of the chip held (see SerialPeer).
//
// Event-loop shim
//   The emulated device node is a regular file, which poll() always reports
//   writable, so libusb's event loop would spin. The shim linked into every
//   program that uses this library (and preloaded into child programs, see
//   ChildEnvironment) replaces the node in poll() by an eventfd that is
//   readable only while the chip has transfers to reap, and reports POLLERR
//   once the chip is unplugged, as a real usbfs node does. An idle libusb
//   event loop therefore sleeps.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ftdisim_pins.h"
#include "serial_line.h"

namespace ftdisim {

class Testbed;
class Chip;

// ---------------------------------------------------------------------------
// Chip description
// ---------------------------------------------------------------------------

// What a chip looks like on the bus. The presets give the families' usual
// values; every field may be changed afterwards (for example the serial
// number, or bcd_device for odd cases).
struct ChipSpec {
    uint16_t vendor_id = 0x0403;
    uint16_t product_id = 0x6001;
    uint16_t bcd_device = 0x0600;
    std::string manufacturer = "FTDI";        // iManufacturer 1
    std::string product = "FT232R USB UART";  // iProduct 2 (also each iInterface)
    // iSerialNumber 3 with this text; nullopt gives iSerialNumber 0.
    std::optional<std::string> serial = std::string("FT000001");
    int interfaces = 1;       // 1 to 8; interface i has IN 0x81+2i and OUT 0x02+2i
    bool high_speed = false;  // 512-byte bulk packets and speed 480, else 64 and 12

    // Where the chip sits. 0 lets the testbed choose: bus 1, the next free
    // port, the next unused address on the bus (addresses start at 2).
    uint8_t bus = 0;
    uint8_t port = 0;
    uint8_t address = 0;

    // Bulk packet size (wMaxPacketSize of every endpoint).
    uint16_t PacketSize() const { return high_speed ? 512 : 64; }

    // bcdDevice 0x0200 with a serial-number string (AM).
    static ChipSpec FT232AM();
    // bcdDevice 0x0200 without a serial-number string (counts as BM).
    static ChipSpec FT232BM_NoSerial();
    static ChipSpec FT232BM();      // 0x0400
    static ChipSpec FT2232C();      // 0x0500, 2 interfaces
    static ChipSpec FT232R();       // 0x0600
    static ChipSpec FT2232H();      // 0x0700, 2 interfaces, high speed
    static ChipSpec FT4232H();      // 0x0800, 4 interfaces, high speed
    static ChipSpec FT232H();       // 0x0900, high speed
    static ChipSpec FT_X();         // 0x1000
    static ChipSpec FT4222H_3();    // 0x1700, high speed
    static ChipSpec FT4222H_0();    // 0x1800, 2 interfaces, high speed
    static ChipSpec FT4222H_1_2();  // 0x1900, 4 interfaces, high speed
    // Any bcdDevice with one full-speed interface (e.g. 0x0300, 0x0601, 0x1400).
    static ChipSpec Raw(uint16_t bcd_device);

    // Preset by name, case-insensitive: "FT232AM", "FT232BM-noserial",
    // "FT232BM", "FT2232C", "FT232R", "FT2232H", "FT4232H", "FT232H", "FT-X",
    // "FT4222H-3", "FT4222H-0", "FT4222H-1-2", or "raw:0xNNNN". nullopt when
    // unknown.
    static std::optional<ChipSpec> ByName(std::string_view name);
    // The preset names ByName accepts (without the raw form).
    static std::vector<std::string> FamilyNames();
};

// How the chip's firmware treats a bcdDevice, by its high byte (the low byte
// never changes behaviour). 0x02 counts as BM-or-later only without a serial
// number string.
struct ChipTraits {
    bool bm_or_later;      // 3-bit baud fractions, latency timer, bit mode
    bool high_speed_baud;  // 12 MHz baud clock available (flag in the upper word)
    bool wide_index;       // baud upper word in wIndex bits 8-9, selector in bits 0-7
    bool vendor_commands;  // answers requests 0x20 and 0x21
    // Bit modes the firmware runs (bits of the mode byte: 0x01 asynchronous
    // bit-bang, 0x02 MPSSE, 0x04 synchronous bit-bang, 0x20 CBUS bit-bang).
    uint8_t bit_modes;
    int mpsse_interfaces;   // the MPSSE runs on interfaces 0 to this - 1
    bool mpsse_high_speed;  // 60 MHz clock, divide-by-5, 3-phase and adaptive clocking

    static ChipTraits For(uint16_t bcd_device, bool has_serial);
};

// The rate the chip's UART runs at for a set-baud-rate request, or 0 when
// the request does not describe a rate the chip can produce. `upper` is the
// upper divisor word as the chip extracts it from wIndex (bits 8-9 on
// wide-index chips, bits 0-1 otherwise).
uint32_t DecodeBaudRate(const ChipTraits &traits, uint16_t wValue, uint16_t upper);

// ---------------------------------------------------------------------------
// Records for tests
// ---------------------------------------------------------------------------

// One control transfer as the chip saw it, in arrival order.
struct ControlRecord {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    // OUT requests: the data stage as sent. IN requests: the bytes returned.
    std::vector<uint8_t> data;
    // Bytes transferred (>= 0), or the failure as a negative errno:
    // -EPIPE stalled, -ETIMEDOUT never answered (held until cancelled).
    int result = 0;
    // Interface the request addressed (0-based), -1 for requests that address
    // the whole chip (EEPROM, standard requests, a chip-wide reset).
    int interface = -1;

    bool IsVendor() const { return (bmRequestType & 0x60) == 0x40; }
};

// One bulk-OUT transfer (URB) as the chip received it. A zero-length
// transfer is a zero-length packet on the bus.
struct OutTransfer {
    std::vector<uint8_t> data;
    bool zero_packet_flag = false;  // the host asked for a terminating ZLP
};

// Settings the host has given one interface, decoded from its requests.
struct InterfaceState {
    LineSettings line;           // baud (as produced), data bits, parity, stop, break
    uint16_t divisor_value = 0;  // wValue of the last set-baud-rate request
    uint16_t divisor_index = 0;  // wIndex of the last set-baud-rate request
    bool dtr = false;
    bool rts = false;
    uint16_t flow_mode = 0;  // 0, 0x0100 RTS/CTS, 0x0200 DTR/DSR, 0x0400 XON/XOFF
    uint8_t xon = 0;
    uint8_t xoff = 0;
    uint8_t event_char = 0;
    bool event_char_enabled = false;
    uint8_t error_char = 0;
    bool error_char_enabled = false;
    uint8_t latency_ms = 16;
    uint8_t bit_mask = 0;
    uint8_t bit_mode = 0;  // as last requested
    uint8_t engine = 0;    // the engine the chip runs for it: 0 serial, 0x01, 0x02, 0x04, 0x20
    // MPSSE settings.
    bool mpsse_loopback = false;
    uint16_t mpsse_divisor = 0;
    bool mpsse_div5 = true;  // 12 MHz master clock instead of 60 (high-speed chips)
    bool mpsse_three_phase = false;
    bool mpsse_adaptive = false;
    uint32_t mpsse_clock_hz = 0;  // TCK/SK rate the settings give
    unsigned resets = 0;          // reset requests that reached this interface
    unsigned rx_purges = 0;       // purge-receive requests
    unsigned tx_purges = 0;       // purge-transmit requests
    bool claimed = false;         // some open file holds the interface
};

// ---------------------------------------------------------------------------
// Fault injection
// ---------------------------------------------------------------------------

enum class FaultMode {
    Stall,    // the request fails with a STALL (libusb: LIBUSB_ERROR_PIPE)
    Timeout,  // the request is never answered; only a cancel ends it
    Short,    // IN: one byte fewer than asked; OUT: one data byte fewer taken.
              // No effect on requests without a data stage.
};

// Makes matching vendor requests fail. A request matches when its bRequest
// equals `request` and, if given, its wValue equals `value`.
struct RequestFault {
    uint8_t request = 0;
    std::optional<uint16_t> value;
    FaultMode mode = FaultMode::Stall;
    int skip = 0;   // let this many matching requests through first
    int count = 1;  // then fail this many; negative: every one from then on
};

// Checks pred() every millisecond until it is true or the timeout passes;
// returns its last value. For tests that wait on simulator state: the
// default is patience for what must happen, long enough for a sanitizer
// build on a loaded machine, and costs nothing when it does happen.
bool WaitUntil(const std::function<bool()> &pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(30));

// ---------------------------------------------------------------------------
// Interface: one serial engine of a chip
// ---------------------------------------------------------------------------

// Bulk IN behaviour: an IN transfer of L bytes is answered with at most
// max(1, L / P) packets of the endpoint's packet size P; every packet is the
// modem-status byte, the line-status byte and up to P - 2 bytes of the
// receive FIFO. The transfer completes as soon as the FIFO runs dry (the
// last packet may be short) or the transfer is full. With the FIFO empty,
// the oldest waiting IN transfer completes with one status-only packet when
// the latency timer runs out (counted from when it became the oldest), the
// next one a latency period later, and so on.
//
// Modem-status byte: the modem lines (CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80)
// OR 0x01. Line-status byte: 0x60 (transmitter empty) OR any line error
// injected since the previous packet.
class Interface final : public SerialLine {
  public:
    ~Interface() override;
    Interface(const Interface &) = delete;
    Interface &operator=(const Interface &) = delete;

    int Number() const { return number_; }
    uint8_t InEndpoint() const { return static_cast<uint8_t>(0x81 + 2 * number_); }
    uint8_t OutEndpoint() const { return static_cast<uint8_t>(0x02 + 2 * number_); }
    Chip &GetChip() const { return chip_; }

    // Wires `peer` to the serial line (nullptr: nothing attached; host bytes
    // are then only recorded). The previous peer gets Detach(). The peer must
    // stay alive until it is detached or the chip is destroyed.
    void Attach(SerialPeer *peer);

    // SerialLine: bytes arriving on the RX pin enter the receive FIFO (and
    // are lost while the chip is unplugged).
    void SendToHost(const uint8_t *data, size_t n) override;
    LineSettings Settings() const override;

    // Same as SendToHost.
    void InjectRx(std::span<const uint8_t> bytes);
    void InjectRx(std::string_view bytes);

    // Modem input lines (CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80) as reported
    // in every packet and by the modem-status request. Starts at 0.
    void SetModemLines(uint8_t lines);
    // Line error bits (overrun 0x02, parity 0x04, framing 0x08, break 0x10)
    // ORed into the line-status byte of the next IN packet (data or
    // status-only), then cleared. Like a status change on a real chip, a
    // pending error is sent at once when an IN transfer is waiting.
    void InjectLineError(uint8_t bits);
    // The next IN transfer submitted (or the oldest waiting one) fails with a
    // STALL (libusb: LIBUSB_TRANSFER_STALL) and its endpoint halts until the
    // host clears it; nothing is taken from the FIFO.
    void StallInOnce();
    // Levels of the low-byte pins (ADBUS) that neither the chip nor an
    // attached pin device drives, as outside circuitry sets them (0xFF, pulled
    // up, until set). Get bit mode answers the pins' levels (see PinLevels).
    void SetPins(uint8_t pins);
    // The same for the high byte (ACBUS, the MPSSE's GPIOH) and the CBUS pins
    // of CBUS bit-bang (low nibble, 0x0F until set).
    void SetHighPins(uint8_t pins);
    void SetCbusPins(uint8_t pins);
    // Wires `device` to the pins (nullptr: nothing). It is told every change
    // while a bit-bang engine or the MPSSE runs, and must stay alive until
    // detached or the chip is destroyed.
    void AttachPins(PinDevice *device);
    // Levels of the low (bits 0-7) and high (8-15) byte pins now.
    uint16_t PinLevels() const;
    // Levels of CBUS0-3 (low nibble).
    uint8_t CbusLevels() const;
    // While held, no IN transfer completes (neither data nor status packets);
    // once released they complete as usual: data at once, status-only
    // packets when the latency timer runs out.
    void HoldIn(bool hold);
    // While held, bulk-OUT transfers are not accepted: they wait (as a NAKing
    // device) until released or cancelled. Released ones are then delivered
    // in order.
    void HoldOut(bool hold);

    // Snapshot of the settings the host has made.
    InterfaceState State() const;
    // Bytes waiting in the receive FIFO for the host.
    size_t RxPending() const;
    // IN transfers submitted and not yet completed.
    size_t PendingIn() const;
    // Every bulk-OUT transfer accepted, in order (zero-length ones included).
    std::vector<OutTransfer> OutTransfers() const;
    void ClearOut();
    // The control requests that addressed this interface (chip-wide ones
    // excluded), in order.
    std::vector<ControlRecord> Requests() const;

    // Only a Chip can make the key, so only a Chip creates interfaces.
    class Key {
        friend class Chip;
        Key() = default;
    };
    Interface(Key, Chip &chip, int number);

  private:
    Chip &chip_;
    const int number_;
};

// ---------------------------------------------------------------------------
// Chip: one USB device
// ---------------------------------------------------------------------------

// Vendor requests the chip answers (wIndex rules):
//   0 reset/purge   wValue 0 reset, 1 purge RX FIFO, 2 purge TX FIFO.
//                   wIndex: selector. A reset with wIndex 0 resets every
//                   interface (FIFOs, pending line errors); a purge with
//                   wIndex 0 addresses interface 0.
//   1 modem control wValue: bit 8 enables a DTR change to bit 0, bit 9 an
//                   RTS change to bit 1. wIndex: selector.
//   2 flow control  wIndex high byte: mode (0x01 RTS/CTS, 0x02 DTR/DSR,
//                   0x04 XON/XOFF), low byte: selector. wValue XOFF*256+XON.
//   3 baud rate     divisor word in wValue; upper word in wIndex bits 8-9 with
//                   the selector in bits 0-7 on wide-index chips, in bits 0-1
//                   (interface 0) on the others.
//   4 data          wValue bits 0-7 data bits (7 or 8), 8-10 parity, 11-13
//                   stop bits, 14 break. wIndex: selector.
//   5 modem status  IN, 2 bytes: modem status, line status. wIndex: the
//                   zero-based interface number.
//   6 / 7           event / error character, wValue char + 0x100 if enabled.
//   9 / 10          latency timer set (wValue low byte) / get (1 byte).
//   11 / 12         bit mode set (mask + mode*256) / get (1 byte: the pin
//                   levels, see Interface::PinLevels; CBUS0-3 in CBUS
//                   bit-bang). Set starts the engine the mode names when the
//                   family runs it on the interface (ChipTraits::bit_modes);
//                   other modes are recorded and the interface stays serial.
//   0x20 / 0x21     vendor command get / set (vendor-command chips only).
//                   wIndex: selector.
//   0x90 / 0x91 / 0x92  EEPROM word read (wIndex address) / write (wValue
//                   word, wIndex address) / erase (every word 0xFFFF).
// The selector is the low byte of wIndex: 0 or 1 addresses interface 0, k
// addresses interface k-1; a selector beyond the chip's interfaces stalls.
// Requests outside this table, latency and bit-mode requests on chips that
// are not BM-or-later, vendor commands on other chips, EEPROM addresses
// beyond 127 and IN/OUT direction mismatches stall.
class Chip {
  public:
    ~Chip();
    Chip(const Chip &) = delete;
    Chip &operator=(const Chip &) = delete;

    const ChipSpec &Spec() const { return spec_; }
    ChipTraits Traits() const;
    Testbed &GetTestbed() const { return testbed_; }

    uint8_t Bus() const;
    uint8_t Address() const;  // changes on every Replug, as on a real bus
    uint8_t Port() const;
    std::string DevNode() const;  // "/dev/bus/usb/BBB/DDD"
    std::string SysPath() const;  // "/sys/devices/.../usbB/B-P"
    bool Plugged() const;

    int InterfaceCount() const { return spec_.interfaces; }
    Interface &If(int i);

    // Every control transfer the chip received (standard and vendor), in
    // order, failed ones included.
    std::vector<ControlRecord> Requests() const;
    // Only the vendor requests.
    std::vector<ControlRecord> VendorRequests() const;
    void ClearRequests();

    void FailRequest(const RequestFault &fault);
    // The next `count` requests with this bRequest (negative: all of them).
    void FailRequest(uint8_t request, FaultMode mode, int count = 1);
    void ClearFaults();

    // A kernel driver holds interface `iface`: claiming it fails with EBUSY
    // (libusb: LIBUSB_ERROR_BUSY) and USBDEVFS_GETDRIVER names the driver.
    // The host may detach it (USBDEVFS_DISCONNECT).
    void SetKernelDriverBound(int iface, bool bound);
    bool KernelDriverBound(int iface) const;
    // Opening the device node fails with EACCES (libusb: LIBUSB_ERROR_ACCESS).
    // Enumeration still lists the device.
    void SetOpenDenied(bool denied);

    // The 128-word EEPROM (erased: 0xFFFF).
    uint16_t EepromWord(int address) const;
    void SetEepromWord(int address, uint16_t value);

    // Bytes answered to vendor command get (0x20): this reply, cut or padded
    // with zeros to wLength. Until set, the data of the last vendor command
    // set (0x21).
    void SetVendorCmdReply(std::vector<uint8_t> reply);

    // Number of times the device node has been opened.
    unsigned OpenCount() const;

    struct Impl;  // internal

    // Only a Testbed can make the key, so only a Testbed creates chips.
    class Key {
        friend class Testbed;
        Key() = default;
    };
    Chip(Key, Testbed &testbed, ChipSpec spec);

  private:
    friend class Testbed;
    friend class Interface;

    Testbed &testbed_;
    const ChipSpec spec_;
    std::unique_ptr<Impl> impl_;
    std::vector<std::unique_ptr<Interface>> interfaces_;
};

// ---------------------------------------------------------------------------
// Serial peers
// ---------------------------------------------------------------------------

// Sends every byte the host writes straight back (TX wired to RX).
class Loopback final : public SerialPeer {
  public:
    void Attach(SerialLine *line) override;
    void OnHostBytes(const uint8_t *data, size_t n, const LineSettings &line) override;
    void Detach() override;

  private:
    std::atomic<SerialLine *> line_{nullptr};  // written on Attach/Detach only
};

// ---------------------------------------------------------------------------
// Testbed
// ---------------------------------------------------------------------------

// What a child program needs to use this testbed's chips: umockdev's preload
// and the event-loop shim, the testbed directory, and the shared state of the
// shim (a memfd holding the table of device nodes, and one eventfd per chip).
//
// The shim in the child finds the table through FTDISIM_SHIM_FD (the memfd's
// descriptor number). Each table entry names a device node by its inode, the
// chip's eventfd (readable while the chip has transfers to reap) and the
// node's unplugged and open-denied flags; the parent keeps the table up to
// date, so unplugs and replugs reach the child. The descriptor numbers are
// the parent's: the child must inherit `keep_fds` under the same numbers
// (clear FD_CLOEXEC on them between fork and exec; ApplyInChild does that and
// is async-signal-safe). Chips added after this snapshot are visible to the
// child only if their eventfd is inherited too: take the snapshot after
// adding the chips.
struct ChildEnvironment {
    // Variables to set in the child (LD_PRELOAD with the shim first and
    // libumockdev-preload.so.0 after it, UMOCKDEV_DIR, FTDISIM_SHIM_FD).
    std::vector<std::pair<std::string, std::string>> vars;
    // Descriptors the child must inherit, unchanged in number.
    std::vector<int> keep_fds;

    // The current environment with `vars` applied, as "NAME=value" strings
    // for execve (build it before fork).
    std::vector<std::string> Environ() const;
    // Clears FD_CLOEXEC on keep_fds. Call in the child after fork.
    void ApplyInChild() const noexcept;
};

class Testbed {
  public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    // Adds a chip and plugs it in (the "add" event reaches libusb).
    // Throws std::runtime_error if umockdev refuses the device or the
    // requested bus/address is taken.
    Chip &AddChip(const ChipSpec &spec);
    // Unplug: every open file of the chip fails from now on with ENODEV,
    // transfers in flight complete as no-device, the poll shim reports
    // POLLERR on its node, and the device leaves the bus ("remove" event).
    void Unplug(Chip &chip);
    // Plugs an unplugged chip back in, on the same port with a new address.
    // The chip powers up afresh: line settings, latency, bit mode, FIFOs and
    // pending errors return to their defaults. Records, OUT transfers,
    // EEPROM, faults, modem input lines, kernel-driver flags and attached
    // peers are kept (the peer stays wired across the unplug; bytes it sends
    // while the chip is unplugged are lost). Files opened before the unplug
    // stay dead.
    void Replug(Chip &chip);

    std::vector<Chip *> Chips() const;
    // Waits, at most `bound`, until umockdev has seen every emulated device
    // file close, in this process and in children; false if one is still
    // open. Call it once the programs that used the chips have ended and
    // before the testbed goes: umockdev prints a warning on stderr when a
    // testbed goes while it still serves an open file, and a file closed by
    // a process's end reaches it only a moment later.
    bool WaitForFilesClosed(std::chrono::milliseconds bound) const;
    // The testbed's root directory (UMOCKDEV_DIR).
    std::string RootDir() const;
    ChildEnvironment ChildEnv() const;

    // The path of the preloadable shim library built with this project
    // (overridden by the FTDISIM_POLLSHIM environment variable).
    static std::string PollShimPath();

    struct Impl;  // internal

  private:
    friend class Chip;
    std::unique_ptr<Impl> impl_;
};

// Returns true when umockdev's preload library is in place in this process.
// Otherwise puts it first in LD_PRELOAD and re-executes this program with
// the same arguments; returns false (after saying why on stderr) only when
// that fails. Call it first thing in main.
bool EnsureUmockdevPreload(char **argv);

}  // namespace ftdisim
