// The simulated chip's own wire format and baud-rate decoder, checked with
// raw libusb against what the real chips do: the device and end-to-end tests
// take both for granted, so a fault here would hide a fault in the library.
#include <gtest/gtest.h>
#include <libusb.h>

#include <optional>

#include "ftdisim.h"

namespace ftdisim {
namespace {

TEST(ChipBaudDecoder, DecodesDivisorsAsEachFamilysClockDividerDoes) {
    const ChipTraits am = ChipTraits::For(0x0200, true);
    const ChipTraits bm_no_serial = ChipTraits::For(0x0200, false);
    const ChipTraits r = ChipTraits::For(0x0600, true);
    const ChipTraits dual_h = ChipTraits::For(0x0700, true);
    const ChipTraits h = ChipTraits::For(0x0900, true);
    const ChipTraits q = ChipTraits::For(0x1700, true);
    struct Case {
        const ChipTraits &chip;
        uint16_t value, upper;
        uint32_t baud;
    };
    const Case cases[] = {
        {r, 0x4138, 0, 9600},    {r, 0x809C, 0, 19200},         {r, 0xC04E, 0, 38400},
        {r, 0x0034, 0, 57692},   {r, 0x00D0, 1, 14397},         {r, 0x3FB0, 1, 183},
        {r, 0x4001, 0, 2000000}, {r, 0x0001, 0, 2000000},       {r, 0x0000, 0, 3000000},
        {r, 0x4064, 1, 29813},   {r, 0x8064, 1, 29776},         {r, 0xC064, 1, 29739},
        {am, 0x80D0, 0, 14405},  {am, 0x80D0, 1, 14405},        {bm_no_serial, 0x80D0, 1, 14371},
        {h, 0x3A98, 0, 200},     {h, 0x000C, 2, 1000000},       {h, 0x0004, 2, 3000000},
        {h, 0x0078, 2, 100000},  {dual_h, 0x0000, 2, 12000000}, {dual_h, 0x0001, 2, 8000000},
        {q, 0x0006, 2, 2000000},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(DecodeBaudRate(c.chip, c.value, c.upper), c.baud)
            << std::hex << c.value << " upper " << c.upper;
    }
}

class ChipWire : public ::testing::Test {
  protected:
    void SetUp() override { bed_.emplace(); }
    void TearDown() override {
        if (handle_) libusb_close(handle_);
        if (ctx_) libusb_exit(ctx_);
        bed_.reset();
    }
    // Opens the chip with raw libusb and claims interface `iface`.
    libusb_device_handle *Open(const Chip &chip, int iface = 0) {
        EXPECT_EQ(libusb_init(&ctx_), 0);
        handle_ =
            libusb_open_device_with_vid_pid(ctx_, chip.Spec().vendor_id, chip.Spec().product_id);
        EXPECT_NE(handle_, nullptr);
        if (handle_) {
            EXPECT_EQ(libusb_claim_interface(handle_, iface), 0);
        }
        return handle_;
    }
    // One bulk-IN transfer of at most `length` bytes.
    std::vector<uint8_t> In(uint8_t ep, int length) {
        std::vector<uint8_t> buf(static_cast<size_t>(length));
        int got = 0;
        EXPECT_EQ(libusb_bulk_transfer(handle_, ep, buf.data(), length, &got, 5000), 0);
        buf.resize(static_cast<size_t>(got));
        return buf;
    }

    std::optional<Testbed> bed_;
    libusb_context *ctx_ = nullptr;
    libusb_device_handle *handle_ = nullptr;
};

// Splits an IN transfer into packets, checking every packet's status bytes;
// returns the payload and the packet sizes.
std::vector<uint8_t> Unpack(const std::vector<uint8_t> &data, size_t packet, uint8_t modem,
                            uint8_t line, std::vector<size_t> *sizes) {
    std::vector<uint8_t> payload;
    for (size_t at = 0; at < data.size(); at += packet) {
        const size_t n = std::min(packet, data.size() - at);
        EXPECT_GE(n, 2u);
        EXPECT_EQ(data[at], modem) << "packet at " << at;
        EXPECT_EQ(data[at + 1], line) << "packet at " << at;
        payload.insert(payload.end(), data.begin() + static_cast<long>(at) + 2,
                       data.begin() + static_cast<long>(at + n));
        sizes->push_back(n);
    }
    return payload;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

TEST_F(ChipWire, InDataComesInPacketsLedByTheStatusBytes) {
    struct Case {
        ChipSpec spec;
        int iface;
        size_t packet, sent;
        std::vector<size_t> sizes;
    };
    const Case cases[] = {{ChipSpec::FT232R(), 0, 64, 150, {64, 64, 28}},
                          {ChipSpec::FT2232H(), 1, 512, 1200, {512, 512, 182}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.packet);
        TearDown();
        SetUp();
        Chip &chip = bed_->AddChip(c.spec);
        ASSERT_NE(Open(chip, c.iface), nullptr);
        chip.If(c.iface).SetModemLines(0x90);  // DCD and CTS
        const std::vector<uint8_t> sent = Pattern(c.sent, 1);
        chip.If(c.iface).InjectRx(sent);
        if (c.iface != 0) chip.If(0).InjectRx("for A");
        std::vector<size_t> sizes;
        const uint8_t ep = static_cast<uint8_t>(0x81 + 2 * c.iface);
        EXPECT_EQ(Unpack(In(ep, 16384), c.packet, 0x91, 0x60, &sizes), sent);
        EXPECT_EQ(sizes, c.sizes);
        EXPECT_EQ(chip.If(0).RxPending(), c.iface != 0 ? 5u : 0u);  // each FIFO is its own
    }
}

TEST_F(ChipWire, IdlePacketsCarryTheLinesAndALineErrorMarksOnePacket) {
    Chip &chip = bed_->AddChip(ChipSpec::FT232R());
    ASSERT_NE(Open(chip), nullptr);
    ASSERT_EQ(libusb_control_transfer(handle_, 0x40, 9, 2, 0, nullptr, 0, 1000), 0);  // 2 ms
    chip.If(0).SetModemLines(0x30);
    EXPECT_EQ(In(0x81, 4096), (std::vector<uint8_t>{0x31, 0x60}));
    chip.If(0).InjectLineError(0x04);  // parity
    EXPECT_EQ(In(0x81, 4096), (std::vector<uint8_t>{0x31, 0x64}));
    EXPECT_EQ(In(0x81, 4096), (std::vector<uint8_t>{0x31, 0x60}));
}

}  // namespace
}  // namespace ftdisim
