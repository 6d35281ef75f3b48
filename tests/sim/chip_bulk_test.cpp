// Bulk traffic of the simulated chips: IN packets with their status bytes,
// idle status packets, injected line errors and stalls, held transfers, and
// what reaches the serial line from the OUT endpoint.
#include <thread>

#include "chip_test_fixture.h"

namespace ftdisim::testing {
namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

// Splits an IN transfer into packets and checks every packet's status bytes;
// returns the payload.
std::vector<uint8_t> Unpack(const std::vector<uint8_t> &data, size_t packet, uint8_t modem,
                            uint8_t line, std::vector<size_t> *sizes = nullptr) {
    std::vector<uint8_t> payload;
    for (size_t at = 0; at < data.size(); at += packet) {
        const size_t n = std::min(packet, data.size() - at);
        EXPECT_GE(n, 2u);
        EXPECT_EQ(data[at], modem) << "packet at " << at;
        EXPECT_EQ(data[at + 1], line) << "packet at " << at;
        payload.insert(payload.end(), data.begin() + static_cast<long>(at) + 2,
                       data.begin() + static_cast<long>(at + n));
        if (sizes) sizes->push_back(n);
    }
    return payload;
}

TEST_F(ChipTest, InDataComesInFullSpeedPacketsLedByStatusBytes) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    libusb_device_handle *h = OpenClaimed(chip);
    ASSERT_NE(h, nullptr);
    StartEvents();
    chip.If(0).SetModemLines(0x90);  // DCD and CTS
    const std::vector<uint8_t> sent = Pattern(150, 1);
    chip.If(0).InjectRx(sent);

    InTransfer t(h, 0x81, 4096);
    ASSERT_EQ(t.Submit(), 0);
    ASSERT_TRUE(t.Wait());
    ASSERT_EQ(t.Status(), LIBUSB_TRANSFER_COMPLETED);
    std::vector<size_t> sizes;
    EXPECT_EQ(Unpack(t.Data(), 64, 0x91, 0x60, &sizes), sent);
    EXPECT_EQ(sizes, (std::vector<size_t>{64, 64, 28}));
    EXPECT_EQ(chip.If(0).RxPending(), 0u);
}

TEST_F(ChipTest, HighSpeedPacketsAre512BytesOnTheirOwnInterface) {
    Chip &chip = Bed().AddChip(ChipSpec::FT2232H());
    libusb_device_handle *h = OpenClaimed(chip, 1);
    ASSERT_NE(h, nullptr);
    StartEvents();
    const std::vector<uint8_t> sent = Pattern(1200, 3);
    chip.If(1).InjectRx(sent);
    chip.If(0).InjectRx("for A");

    InTransfer t(h, 0x83, 16384);
    ASSERT_EQ(t.Submit(), 0);
    ASSERT_TRUE(t.Wait());
    ASSERT_EQ(t.Status(), LIBUSB_TRANSFER_COMPLETED);
    std::vector<size_t> sizes;
    EXPECT_EQ(Unpack(t.Data(), 512, 0x01, 0x60, &sizes), sent);
    EXPECT_EQ(sizes, (std::vector<size_t>{512, 512, 182}));
    EXPECT_EQ(chip.If(0).RxPending(), 5u);  // interface A's FIFO is its own
}

TEST_F(ChipTest, ATransferTakesOnlyWholePacketsAndLeavesTheRestQueued) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    libusb_device_handle *h = OpenClaimed(chip);
    ASSERT_NE(h, nullptr);
    StartEvents();
    const std::vector<uint8_t> sent = Pattern(150, 9);
    chip.If(0).InjectRx(sent);

    InTransfer first(h, 0x81, 160);  // room for two packets and a bit
    ASSERT_EQ(first.Submit(), 0);
    ASSERT_TRUE(first.Wait());
    std::vector<size_t> sizes;
    std::vector<uint8_t> got = Unpack(first.Data(), 64, 0x01, 0x60, &sizes);
    EXPECT_EQ(sizes, (std::vector<size_t>{64, 64}));
    EXPECT_EQ(chip.If(0).RxPending(), 150u - 124u);

    InTransfer second(h, 0x81, 10);  // smaller than one packet: cut to fit
    ASSERT_EQ(second.Submit(), 0);
    ASSERT_TRUE(second.Wait());
    std::vector<uint8_t> more = Unpack(second.Data(), 64, 0x01, 0x60);
    EXPECT_EQ(more.size(), 8u);
    got.insert(got.end(), more.begin(), more.end());

    InTransfer third(h, 0x81, 512);
    ASSERT_EQ(third.Submit(), 0);
    ASSERT_TRUE(third.Wait());
    more = Unpack(third.Data(), 64, 0x01, 0x60);
    got.insert(got.end(), more.begin(), more.end());
    EXPECT_EQ(got, sent);  // nothing lost, nothing repeated, in order
}

TEST_F(ChipTest, AnIdleChipSendsStatusOnlyPacketsWhenItsLatencyTimerRunsOut) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    libusb_device_handle *h = OpenClaimed(chip);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(VendorOut(h, 9, 2, 0), 0);  // 2 ms
    StartEvents();
    chip.If(0).SetModemLines(0x30);

    for (int i = 0; i < 3; i++) {
        InTransfer t(h, 0x81, 4096);
        ASSERT_EQ(t.Submit(), 0);
        ASSERT_TRUE(t.Wait());
        ASSERT_EQ(t.Status(), LIBUSB_TRANSFER_COMPLETED);
        EXPECT_EQ(t.Data(), (std::vector<uint8_t>{0x31, 0x60}));
    }

    // Held: nothing completes, not even status packets, until released.
    chip.If(0).HoldIn(true);
    InTransfer held(h, 0x81, 4096);
    ASSERT_EQ(held.Submit(), 0);
    chip.If(0).InjectRx("late");
    EXPECT_FALSE(held.Wait(std::chrono::milliseconds(100)));
    EXPECT_EQ(chip.If(0).PendingIn(), 1u);
    chip.If(0).HoldIn(false);
    ASSERT_TRUE(held.Wait());
    EXPECT_EQ(Unpack(held.Data(), 64, 0x31, 0x60), (std::vector<uint8_t>{'l', 'a', 't', 'e'}));
}

TEST_F(ChipTest, AnInjectedLineErrorMarksExactlyOnePacket) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    libusb_device_handle *h = OpenClaimed(chip);
    ASSERT_NE(h, nullptr);
    StartEvents();

    chip.If(0).HoldIn(true);
    InTransfer t(h, 0x81, 4096);
    ASSERT_EQ(t.Submit(), 0);
    chip.If(0).InjectLineError(0x04);  // parity
    chip.If(0).InjectRx("ab");
    chip.If(0).HoldIn(false);
    ASSERT_TRUE(t.Wait());
    EXPECT_EQ(t.Data(), (std::vector<uint8_t>{0x01, 0x64, 'a', 'b'}));

    InTransfer next(h, 0x81, 4096);
    ASSERT_EQ(next.Submit(), 0);
    ASSERT_TRUE(next.Wait());
    EXPECT_EQ(next.Data(), (std::vector<uint8_t>{0x01, 0x60}));

    // With a transfer waiting, an error goes out at once, on its own.
    InTransfer waiting(h, 0x81, 4096);
    chip.If(0).HoldIn(true);
    ASSERT_EQ(waiting.Submit(), 0);
    chip.If(0).InjectLineError(0x10 | 0x02);  // break and overrun
    chip.If(0).HoldIn(false);
    ASSERT_TRUE(waiting.Wait());
    EXPECT_EQ(waiting.Data(), (std::vector<uint8_t>{0x01, 0x72}));
}

TEST_F(ChipTest, AStalledInEndpointStaysHaltedUntilTheHostClearsIt) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    libusb_device_handle *h = OpenClaimed(chip);
    ASSERT_NE(h, nullptr);
    StartEvents();
    chip.If(0).InjectRx("kept");
    chip.If(0).StallInOnce();

    InTransfer stalled(h, 0x81, 4096);
    ASSERT_EQ(stalled.Submit(), 0);
    ASSERT_TRUE(stalled.Wait());
    EXPECT_EQ(stalled.Status(), LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(chip.If(0).RxPending(), 4u);

    InTransfer after(h, 0x81, 4096);
    ASSERT_EQ(after.Submit(), 0);
    EXPECT_FALSE(after.Wait(std::chrono::milliseconds(100)));
    ASSERT_EQ(libusb_clear_halt(h, 0x81), 0);
    ASSERT_TRUE(after.Wait());
    EXPECT_EQ(after.Status(), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(Unpack(after.Data(), 64, 0x01, 0x60), (std::vector<uint8_t>{'k', 'e', 'p', 't'}));
}

TEST_F(ChipTest, OutTransfersReachTheSerialLineWithTheSettingsInForce) {
    Chip &chip = Bed().AddChip(ChipSpec::FT4232H());
    CaptureSink sink;
    chip.If(2).Attach(&sink);
    EXPECT_EQ(sink.Line(), &chip.If(2));
    libusb_device_handle *h = OpenClaimed(chip, 2);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(VendorOut(h, 3, 0x4138, 0x0003), 0);  // 9600 on C
    ASSERT_EQ(VendorOut(h, 4, 0x0008, 0x0003), 0);

    const std::vector<uint8_t> frame = Pattern(100, 5);
    int done = -1;
    std::vector<uint8_t> copy = frame;
    ASSERT_EQ(
        libusb_bulk_transfer(h, 0x06, copy.data(), static_cast<int>(copy.size()), &done, 1000), 0);
    EXPECT_EQ(done, 100);
    ASSERT_EQ(libusb_bulk_transfer(h, 0x06, nullptr, 0, &done, 1000), 0);  // zero-length packet
    EXPECT_EQ(done, 0);

    ASSERT_TRUE(sink.WaitForBytes(100));
    EXPECT_EQ(sink.Bytes(), frame);
    EXPECT_TRUE(Is9600_8N1(sink.LastSettings()));
    const std::vector<OutTransfer> outs = chip.If(2).OutTransfers();
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[0].data, frame);
    EXPECT_TRUE(outs[1].data.empty());
    EXPECT_EQ(chip.If(2).OutBytes(), frame);
    EXPECT_TRUE(chip.If(0).OutTransfers().empty());

    chip.If(2).Attach(nullptr);
    EXPECT_EQ(sink.Line(), nullptr);
    ASSERT_EQ(libusb_bulk_transfer(h, 0x06, copy.data(), 3, &done, 1000), 0);
    EXPECT_EQ(sink.Bytes().size(), 100u);             // detached: not delivered
    EXPECT_EQ(chip.If(2).OutTransfers().size(), 3u);  // but recorded
}

TEST_F(ChipTest, ALoopbackSendsWhatTheHostWritesBack) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    Loopback loop;
    chip.If(0).Attach(&loop);
    libusb_device_handle *h = OpenClaimed(chip);
    ASSERT_NE(h, nullptr);
    StartEvents();
    InTransfer t(h, 0x81, 4096);
    ASSERT_EQ(t.Submit(), 0);
    std::vector<uint8_t> msg = {'p', 'i', 'n', 'g'};
    int done = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x02, msg.data(), 4, &done, 1000), 0);
    ASSERT_TRUE(t.Wait());
    EXPECT_EQ(Unpack(t.Data(), 64, 0x01, 0x60), msg);
    chip.If(0).Attach(nullptr);
}

TEST_F(ChipTest, HeldOutTransfersWaitUntilReleasedOrCancelled) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    CaptureSink sink;
    chip.If(0).Attach(&sink);
    libusb_device_handle *h = OpenClaimed(chip);
    ASSERT_NE(h, nullptr);
    chip.If(0).HoldOut(true);

    std::vector<uint8_t> a = {1, 2, 3};
    int done = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, a.data(), 3, &done, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(done, 0);
    EXPECT_TRUE(chip.If(0).OutTransfers().empty());  // the cancelled one never went out

    StartEvents();
    std::atomic<int> result{1};
    std::vector<uint8_t> b = {4, 5};
    std::thread writer([&] {
        int n = 0;
        result = libusb_bulk_transfer(h, 0x02, b.data(), 2, &n, 0);
    });
    EXPECT_FALSE(sink.WaitForBytes(1, std::chrono::milliseconds(100)));
    chip.If(0).HoldOut(false);
    writer.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(sink.Bytes(), (std::vector<uint8_t>{4, 5}));
    ASSERT_EQ(chip.If(0).OutTransfers().size(), 1u);
    chip.If(0).Attach(nullptr);
}

}  // namespace
}  // namespace ftdisim::testing
