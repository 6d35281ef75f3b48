// The vendor requests a simulated chip answers, how it applies them to its
// interfaces, how it records them, and the faults tests can inject.
#include <cerrno>

#include "chip_test_fixture.h"

namespace ftdisim::testing {
namespace {

TEST_F(ChipTest, LineRequestsAreAppliedAndRecordedInOrder) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    libusb_device_handle *h = OpenClaimed(chip);
    ASSERT_NE(h, nullptr);
    chip.ClearRequests();

    EXPECT_EQ(VendorOut(h, 3, 0x4138, 0), 0);       // 9600
    EXPECT_EQ(VendorOut(h, 4, 0x1207, 0), 0);       // 7 bits, even, 2 stop
    EXPECT_EQ(VendorOut(h, 1, 0x0101, 0), 0);       // DTR on
    EXPECT_EQ(VendorOut(h, 1, 0x0202, 0), 0);       // RTS on
    EXPECT_EQ(VendorOut(h, 1, 0x0100, 0), 0);       // DTR off, RTS untouched
    EXPECT_EQ(VendorOut(h, 2, 0x1311, 0x0400), 0);  // XON/XOFF
    EXPECT_EQ(VendorOut(h, 6, 0x017E, 0), 0);       // event char '~' on
    EXPECT_EQ(VendorOut(h, 7, 0x0024, 0), 0);       // error char off
    EXPECT_EQ(VendorOut(h, 4, 0x4008, 0), 0);       // 8N1 with break

    InterfaceState st = chip.If(0).State();
    EXPECT_EQ(st.line.baud, 9600u);
    EXPECT_EQ(st.divisor_value, 0x4138);
    EXPECT_EQ(st.line.data_bits, 8);
    EXPECT_EQ(st.line.parity, 0);
    EXPECT_EQ(st.line.stop_bits, 0);
    EXPECT_TRUE(st.line.break_on);
    EXPECT_FALSE(st.dtr);
    EXPECT_TRUE(st.rts);
    EXPECT_EQ(st.flow_mode, 0x0400);
    EXPECT_EQ(st.xon, 0x11);
    EXPECT_EQ(st.xoff, 0x13);
    EXPECT_EQ(st.event_char, 0x7E);
    EXPECT_TRUE(st.event_char_enabled);
    EXPECT_EQ(st.error_char, 0x24);
    EXPECT_FALSE(st.error_char_enabled);
    EXPECT_TRUE(st.claimed);

    // The data request before the break carried 7E2 with two stop bits.
    const std::vector<ControlRecord> recs = chip.VendorRequests();
    ASSERT_EQ(recs.size(), 9u);
    EXPECT_EQ(recs[1].bRequest, 4);
    EXPECT_EQ(recs[1].wValue, 0x1207);
    EXPECT_EQ(recs[5].bmRequestType, 0x40);
    EXPECT_EQ(recs[5].wIndex, 0x0400);
    for (const ControlRecord &r : recs) {
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.interface, 0);
    }
    EXPECT_EQ(chip.If(0).Requests().size(), 9u);
    EXPECT_EQ(chip.If(0).Settings(), st.line);

    EXPECT_EQ(VendorOut(h, 4, 0x1207, 0), 0);
    st = chip.If(0).State();
    EXPECT_EQ(st.line.data_bits, 7);
    EXPECT_EQ(st.line.parity, 2);
    EXPECT_EQ(st.line.stop_bits, 2);
    EXPECT_FALSE(st.line.break_on);
}

TEST_F(ChipTest, InterfacesAreAddressedByTheSelectorInWIndex) {
    Chip &chip = Bed().AddChip(ChipSpec::FT2232H());
    libusb_device_handle *h = OpenClaimed(chip, 1);
    ASSERT_NE(h, nullptr);

    // Wide-index chip: upper divisor word in bits 8-9, selector in bits 0-7.
    EXPECT_EQ(VendorOut(h, 3, 0x0001, 0x0202), 0);  // B: 8 Mbaud
    EXPECT_EQ(VendorOut(h, 3, 0x000C, 0x0201), 0);  // A: 1 Mbaud
    EXPECT_EQ(VendorOut(h, 4, 0x0007, 0x0002), 0);  // B: 7 bits
    EXPECT_EQ(VendorOut(h, 0, 0x0001, 0x0000), 0);  // selector 0 also means A
    EXPECT_EQ(chip.If(1).State().line.baud, 8000000u);
    EXPECT_EQ(chip.If(0).State().line.baud, 1000000u);
    EXPECT_EQ(chip.If(1).State().line.data_bits, 7);
    EXPECT_EQ(chip.If(0).State().line.data_bits, 8);
    EXPECT_EQ(chip.If(0).State().rx_purges, 1u);
    EXPECT_EQ(chip.If(1).State().rx_purges, 0u);

    // A selector beyond the chip's interfaces stalls.
    EXPECT_EQ(VendorOut(h, 4, 0x0008, 0x0003), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(chip.VendorRequests().back().result, -EPIPE);

    // The modem-status request takes the zero-based interface number.
    chip.If(1).SetModemLines(0x30);
    std::vector<uint8_t> status(2);
    ASSERT_EQ(VendorIn(h, 5, 0, 1, status), 2);
    EXPECT_EQ(status, (std::vector<uint8_t>{0x31, 0x60}));
    ASSERT_EQ(VendorIn(h, 5, 0, 0, status), 2);
    EXPECT_EQ(status, (std::vector<uint8_t>{0x01, 0x60}));
    EXPECT_EQ(VendorIn(h, 5, 0, 2, status), LIBUSB_ERROR_PIPE);

    std::vector<ControlRecord> b = chip.If(1).Requests();
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(b[0].wIndex, 0x0202);
    EXPECT_EQ(b[2].bRequest, 5);
    EXPECT_EQ(b[2].data, (std::vector<uint8_t>{0x31, 0x60}));
}

TEST_F(ChipTest, NarrowIndexChipsTakeTheUpperDivisorWordInTheLowBits) {
    Chip &r = Bed().AddChip(ChipSpec::FT232R());
    Chip &q = Bed().AddChip(ChipSpec::FT4222H_3());
    libusb_device_handle *hr = Open(r);
    libusb_device_handle *hq = Open(q);
    ASSERT_NE(hr, nullptr);
    ASSERT_NE(hq, nullptr);
    EXPECT_EQ(VendorOut(hr, 3, 0x00D0, 0x0001), 0);
    EXPECT_EQ(r.If(0).State().line.baud, 14397u);
    EXPECT_EQ(VendorOut(hq, 3, 0x0006, 0x0002), 0);
    EXPECT_EQ(q.If(0).State().line.baud, 2000000u);
    // The same bits in the high byte mean nothing to these chips.
    EXPECT_EQ(VendorOut(hq, 3, 0x0006, 0x0200), 0);
    EXPECT_EQ(q.If(0).State().line.baud, 500000u);
}

TEST_F(ChipTest, LatencyTimerAndBitModeExistOnBmOrLaterChipsOnly) {
    Chip &r = Bed().AddChip(ChipSpec::FT232R());
    Chip &am = Bed().AddChip(ChipSpec::FT232AM());
    libusb_device_handle *hr = Open(r);
    libusb_device_handle *ha = Open(am);
    ASSERT_NE(hr, nullptr);
    ASSERT_NE(ha, nullptr);

    std::vector<uint8_t> one(1);
    ASSERT_EQ(VendorIn(hr, 10, 0, 0, one), 1);
    EXPECT_EQ(one[0], 16);  // power-on latency
    EXPECT_EQ(VendorOut(hr, 9, 2, 0), 0);
    ASSERT_EQ(VendorIn(hr, 10, 0, 0, one), 1);
    EXPECT_EQ(one[0], 2);
    EXPECT_EQ(r.If(0).State().latency_ms, 2);

    EXPECT_EQ(VendorOut(hr, 11, 0x01FF, 0), 0);
    EXPECT_EQ(r.If(0).State().bit_mask, 0xFF);
    EXPECT_EQ(r.If(0).State().bit_mode, 0x01);
    r.If(0).SetPins(0x5A);
    ASSERT_EQ(VendorIn(hr, 12, 0, 0, one), 1);
    EXPECT_EQ(one[0], 0x5A);  // the pins, not the mask

    EXPECT_EQ(VendorOut(ha, 9, 2, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(VendorIn(ha, 10, 0, 0, one), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(VendorOut(ha, 11, 0x01FF, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(VendorIn(ha, 12, 0, 0, one), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(am.If(0).State().latency_ms, 16);
    for (const ControlRecord &rec : am.VendorRequests()) EXPECT_EQ(rec.result, -EPIPE);
    EXPECT_EQ(am.VendorRequests().size(), 4u);
}

TEST_F(ChipTest, EepromWordsAreReadWrittenAndErased) {
    Chip &chip = Bed().AddChip(ChipSpec::FT2232C());
    libusb_device_handle *h = Open(chip);
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> word(2);
    ASSERT_EQ(VendorIn(h, 0x90, 0, 5, word), 2);
    EXPECT_EQ(word, (std::vector<uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(VendorOut(h, 0x91, 0x1234, 5), 0);
    ASSERT_EQ(VendorIn(h, 0x90, 0, 5, word), 2);
    EXPECT_EQ(word, (std::vector<uint8_t>{0x34, 0x12}));  // low byte first
    EXPECT_EQ(chip.EepromWord(5), 0x1234);
    chip.SetEepromWord(127, 0xBEEF);
    ASSERT_EQ(VendorIn(h, 0x90, 0, 127, word), 2);
    EXPECT_EQ(word, (std::vector<uint8_t>{0xEF, 0xBE}));
    EXPECT_EQ(VendorIn(h, 0x90, 0, 128, word), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(VendorOut(h, 0x91, 1, 200), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(VendorOut(h, 0x92, 0, 0), 0);
    EXPECT_EQ(chip.EepromWord(5), 0xFFFF);
    EXPECT_EQ(chip.EepromWord(127), 0xFFFF);
    // EEPROM requests belong to no interface.
    EXPECT_EQ(chip.VendorRequests().front().interface, -1);
}

TEST_F(ChipTest, VendorCommandsAreAnsweredByVendorCommandChipsOnly) {
    Chip &v = Bed().AddChip(ChipSpec::FT4222H_0());
    Chip &h232 = Bed().AddChip(ChipSpec::FT232H());
    libusb_device_handle *hv = Open(v);
    libusb_device_handle *hh = Open(h232);
    ASSERT_NE(hv, nullptr);
    ASSERT_NE(hh, nullptr);

    EXPECT_EQ(VendorOut(hv, 0x21, 0x0007, 2, {1, 2, 3}), 3);
    EXPECT_EQ(v.VendorRequests().back().data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(v.VendorRequests().back().interface, 1);
    std::vector<uint8_t> got(4);
    ASSERT_EQ(VendorIn(hv, 0x20, 0x0007, 2, got), 4);
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 3, 0}));
    v.SetVendorCmdReply({9, 8});
    std::vector<uint8_t> one(1);
    ASSERT_EQ(VendorIn(hv, 0x20, 0x0001, 0, one), 1);
    EXPECT_EQ(one[0], 9);

    EXPECT_EQ(VendorOut(hh, 0x21, 0x5A07, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(VendorIn(hh, 0x20, 0, 0, got), LIBUSB_ERROR_PIPE);
}

TEST_F(ChipTest, ResetAndPurgesEmptyTheReceiveFifo) {
    Chip &chip = Bed().AddChip(ChipSpec::FT2232C());
    libusb_device_handle *h = Open(chip);
    ASSERT_NE(h, nullptr);
    chip.If(0).InjectRx("abc");
    chip.If(1).InjectRx("defg");
    ASSERT_EQ(chip.If(0).RxPending(), 3u);

    EXPECT_EQ(VendorOut(h, 0, 1, 2), 0);  // purge RX of B
    EXPECT_EQ(chip.If(1).RxPending(), 0u);
    EXPECT_EQ(chip.If(0).RxPending(), 3u);
    EXPECT_EQ(VendorOut(h, 0, 2, 1), 0);  // purge TX of A
    EXPECT_EQ(chip.If(0).State().tx_purges, 1u);
    EXPECT_EQ(chip.If(0).RxPending(), 3u);

    chip.If(1).InjectRx("x");
    EXPECT_EQ(VendorOut(h, 0, 0, 0), 0);  // reset, whole chip
    EXPECT_EQ(chip.If(0).RxPending(), 0u);
    EXPECT_EQ(chip.If(1).RxPending(), 0u);
    EXPECT_EQ(chip.If(0).State().resets, 1u);
    EXPECT_EQ(chip.If(1).State().resets, 1u);
    EXPECT_EQ(chip.VendorRequests().back().interface, -1);

    chip.If(0).InjectRx("y");
    chip.If(1).InjectRx("z");
    EXPECT_EQ(VendorOut(h, 0, 0, 2), 0);  // reset of B only
    EXPECT_EQ(chip.If(0).RxPending(), 1u);
    EXPECT_EQ(chip.If(1).RxPending(), 0u);
    EXPECT_EQ(VendorOut(h, 0, 3, 1), LIBUSB_ERROR_PIPE);
}

TEST_F(ChipTest, RequestsOutsideTheTableStall) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    libusb_device_handle *h = Open(chip);
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> two(2);
    EXPECT_EQ(VendorOut(h, 8, 0, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(VendorOut(h, 0x55, 0, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(VendorOut(h, 5, 0, 0), LIBUSB_ERROR_PIPE);           // a get sent as a set
    EXPECT_EQ(VendorIn(h, 3, 0x4138, 0, two), LIBUSB_ERROR_PIPE);  // a set sent as a get
    EXPECT_EQ(libusb_control_transfer(h, 0x21, 0x20, 0, 0, two.data(), 2, 1000),
              LIBUSB_ERROR_PIPE);  // class request
    EXPECT_EQ(chip.If(0).State().line.baud, 9600u);
    // The chip kept answering afterwards.
    EXPECT_EQ(VendorOut(h, 3, 0x001A, 0), 0);
    EXPECT_EQ(chip.If(0).State().line.baud, 115384u);
}

TEST_F(ChipTest, InjectedFaultsHitTheChosenRequests) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    libusb_device_handle *h = Open(chip);
    ASSERT_NE(h, nullptr);

    // The sixth receive purge stalls; resets and transmit purges pass.
    RequestFault sixth_rx_purge;
    sixth_rx_purge.request = 0;
    sixth_rx_purge.value = 1;
    sixth_rx_purge.skip = 5;
    chip.FailRequest(sixth_rx_purge);
    for (int i = 0; i < 5; i++) EXPECT_EQ(VendorOut(h, 0, 1, 0), 0);
    EXPECT_EQ(VendorOut(h, 0, 0, 0), 0);
    EXPECT_EQ(VendorOut(h, 0, 2, 0), 0);
    EXPECT_EQ(VendorOut(h, 0, 1, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(VendorOut(h, 0, 1, 0), 0);
    EXPECT_EQ(chip.If(0).State().rx_purges, 6u);  // the stalled one did nothing

    // A short answer to a get.
    chip.FailRequest(5, FaultMode::Short);
    std::vector<uint8_t> two(2);
    EXPECT_EQ(VendorIn(h, 5, 0, 0, two), 1);
    EXPECT_EQ(VendorIn(h, 5, 0, 0, two), 2);

    // An unanswered request times out on the host and is recorded as such;
    // a persistent fault stays until cleared.
    chip.FailRequest(9, FaultMode::Timeout, -1);
    EXPECT_EQ(libusb_control_transfer(h, 0x40, 9, 4, 0, nullptr, 0, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(libusb_control_transfer(h, 0x40, 9, 4, 0, nullptr, 0, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(chip.VendorRequests().back().result, -ETIMEDOUT);
    EXPECT_EQ(chip.If(0).State().latency_ms, 16);
    chip.ClearFaults();
    EXPECT_EQ(VendorOut(h, 9, 4, 0), 0);
    EXPECT_EQ(chip.If(0).State().latency_ms, 4);
}

}  // namespace
}  // namespace ftdisim::testing
