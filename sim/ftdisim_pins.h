// Devices wired to the pins of a simulated chip interface, for the bit-bang
// modes and the MPSSE command processor (see Interface::AttachPins).
//
// Pin numbering: bit i (0-7) of a pin word is pin i of the interface's low
// byte (ADBUS on the high-speed chips: TCK/SK 0, TDI/DO 1, TDO/DI 2, TMS/CS 3,
// GPIOL0-3 4-7), bit 8 + i is pin i of the high byte (ACBUS, GPIOH0-7).
//
// Threads: the chip calls OnPins with its own lock held, on whichever thread
// changed the pins (the simulation's worker thread, or a test thread setting
// outside levels). A device must not call into the chip from OnPins. The
// query methods may be called from any thread; each device has a lock of its
// own, taken after the chip's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ftdisim {

// Pin positions of the usual MPSSE JTAG and SPI wiring.
inline constexpr uint16_t kPinTck = 1u << 0;     // also SPI SK
inline constexpr uint16_t kPinTdi = 1u << 1;     // also SPI DO (MOSI), the chip's output
inline constexpr uint16_t kPinTdo = 1u << 2;     // also SPI DI (MISO), the chip's input
inline constexpr uint16_t kPinTms = 1u << 3;     // also SPI CS, active low
inline constexpr uint16_t kPinGpioL1 = 1u << 5;  // the pin the MPSSE wait commands watch

// Something wired to an interface's pins. A pin that neither the chip nor a
// device drives sits at its outside level (Interface::SetPins, pulled up by
// default).
class PinDevice {
  public:
    virtual ~PinDevice() = default;
    // The levels of every pin after one of them changed (the device's own
    // outputs included). Clock edges are seen as a change of the clock pin
    // alone: the chip never changes a clock and a data pin in the same call.
    virtual void OnPins(uint16_t levels) = 0;
    // The pins the device drives now, and their levels.
    virtual uint16_t DrivenMask() const = 0;
    virtual uint16_t DrivenLevels() const = 0;
};

// ---------------------------------------------------------------------------
// JTAG
// ---------------------------------------------------------------------------

// One test access port.
struct JtagTapSpec {
    uint32_t idcode = 0;  // 0: the TAP has no IDCODE register (BYPASS after reset)
    int ir_length = 4;    // 2 to 32 bits
    // The IDCODE instruction; by default all ones but the lowest bit (0xE for
    // a 4-bit IR).
    std::optional<uint32_t> idcode_instruction;

    uint32_t IdcodeInstruction() const;
};

// IEEE 1149.1 TAP states.
enum class TapState {
    TestLogicReset,
    RunTestIdle,
    SelectDrScan,
    CaptureDr,
    ShiftDr,
    Exit1Dr,
    PauseDr,
    Exit2Dr,
    UpdateDr,
    SelectIrScan,
    CaptureIr,
    ShiftIr,
    Exit1Ir,
    PauseIr,
    Exit2Ir,
    UpdateIr,
};
const char *TapStateName(TapState s);

// A chain of TAPs on TCK, TMS, TDI and TDO (pins 0-3). The first TAP of the
// list is the one nearest TDO, so its IDCODE is the first to come out of a
// DR scan after reset; the adapter's TDI feeds the last one.
//
// Every TAP has the full state machine, samples TMS and TDI on the rising
// edge of TCK and changes TDO on the falling edge (TDO is driven only in the
// Shift-IR and Shift-DR states). Capture-IR loads ...0001; Test-Logic-Reset
// selects IDCODE (BYPASS when the TAP has none); an instruction that is not
// IDCODE selects the 1-bit BYPASS register, which captures 0.
class JtagChain final : public PinDevice {
  public:
    explicit JtagChain(std::vector<JtagTapSpec> taps);

    // "0x4BA00477,0x06413041:5": IDCODEs nearest TDO first, each with an
    // optional ":IR length" (default 4). nullopt with a reason when malformed.
    static std::optional<std::vector<JtagTapSpec>> Parse(std::string_view text, std::string *error);

    size_t TapCount() const { return taps_.size(); }
    TapState State() const;
    // The instruction TAP `index` holds.
    uint32_t Instruction(size_t index) const;
    // Rising TCK edges seen.
    uint64_t Clocks() const;

    void OnPins(uint16_t levels) override;
    uint16_t DrivenMask() const override;
    uint16_t DrivenLevels() const override;

  private:
    struct Tap {
        JtagTapSpec spec;
        uint32_t instruction = 0;
        uint64_t shift = 0;  // the IR or the selected DR while scanning
        int length = 1;      // bits of `shift`
    };
    void RisingLocked(bool tms, bool tdi);
    void FallingLocked();
    void ResetLocked();

    mutable std::mutex mutex_;
    std::vector<Tap> taps_;  // guarded by mutex_
    TapState state_ = TapState::TestLogicReset;
    uint16_t last_ = 0xFFFF;  // pin levels at the previous call
    bool tdo_driven_ = false;
    bool tdo_ = true;
    uint64_t clocks_ = 0;
};

// ---------------------------------------------------------------------------
// SPI flash
// ---------------------------------------------------------------------------

// A serial NOR flash on SK, DO, DI and CS (pins 0-3), SPI mode 0 or 3: it
// samples DO on the rising edge of SK and changes DI on the falling edge
// while CS is low; DI is not driven while CS is high.
//
// Commands: 0x9F JEDEC ID (three bytes, then 0xFF), 0x05 read status
// (repeated while CS stays low; bit 0 busy is never set, bit 1 write
// enable), 0x03 read and 0x0B fast read (24-bit address, one dummy byte for
// 0x0B; the address wraps at the end of the array), 0x06 write enable,
// 0x04 write disable, 0x02 page program (within the 256-byte page; bits only
// go from 1 to 0), 0x20 4 KiB sector erase, 0xD8 64 KiB block erase,
// 0x60/0xC7 chip erase. Programs and erases need write enable, take effect
// when CS rises and clear write enable. Other commands are ignored until CS
// rises.
class SpiFlash final : public PinDevice {
  public:
    // manufacturer << 16 | memory type << 8 | capacity; the array holds
    // 2^capacity bytes (capacity 0x0A to 0x18, others are clamped), erased.
    explicit SpiFlash(uint32_t jedec_id);

    uint32_t JedecId() const { return jedec_id_; }
    size_t Size() const;
    // Puts bytes into the array (wrapping), as a programmer would have.
    void Load(uint32_t address, std::span<const uint8_t> data);
    std::vector<uint8_t> Contents(uint32_t address, size_t n) const;
    uint8_t Status() const;
    // Commands received (first byte of every transaction), in order.
    std::vector<uint8_t> Commands() const;

    void OnPins(uint16_t levels) override;
    uint16_t DrivenMask() const override;
    uint16_t DrivenLevels() const override;

  private:
    void ByteLocked(uint8_t in);
    void EndLocked();

    const uint32_t jedec_id_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> array_;  // guarded by mutex_, as everything below
    std::vector<uint8_t> commands_;
    uint16_t last_ = 0xFFFF;
    bool selected_ = false;
    int bit_ = 0;  // bits of the current byte received
    uint8_t in_ = 0;
    uint8_t out_ = 0xFF;       // byte being shifted out
    uint8_t next_out_ = 0xFF;  // byte to shift out after the current one
    bool miso_ = true;
    size_t count_ = 0;  // bytes of the transaction so far
    uint8_t command_ = 0;
    uint32_t address_ = 0;
    bool write_enabled_ = false;
    std::vector<uint8_t> page_;  // page program data of this transaction
};

}  // namespace ftdisim
