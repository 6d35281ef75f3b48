// Opening a chip by index, serial number, description or location, what the
// open sends to the chip, and what a failed open leaves behind.
#include <atomic>
#include <cstring>
#include <thread>

#include "device_fixture.h"

using ftdisim::ChipSpec;

namespace {

using Opening = DeviceTest;

FT_STATUS OpenEx(const char *name, uint32_t flags, FT_HANDLE *h) {
    return FT_OpenEx(const_cast<char *>(name), flags, h);
}
FT_STATUS OpenAt(uint32_t location, FT_HANDLE *h) {
    return FT_OpenEx(reinterpret_cast<void *>(static_cast<uintptr_t>(location)),
                     FT_OPEN_BY_LOCATION, h);
}

TEST_F(Opening, BySerialNumberNeedsTheExactNameAndLetter) {
    Add(WithSerial(ChipSpec::FT232R(), "FTABC123"));
    Add(WithSerial(ChipSpec::FT2232H(), "FT1X2Y3Z"));
    StartLibrary();
    FT_HANDLE h = nullptr;
    EXPECT_EQ(OpenEx("FTABC1234", FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(OpenEx("FT1X2Y3Z", FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(OpenEx("FT1X2Y3ZC", FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(OpenEx("FT1X2Y3ZAA", FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(OpenEx("FTABC123", 0, &h), FT_DEVICE_NOT_FOUND);  // no selection
    EXPECT_EQ(OpenEx("FTABC123", 3, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(OpenEx(nullptr, FT_OPEN_BY_SERIAL_NUMBER, &h), FT_INVALID_PARAMETER);
    EXPECT_EQ(OpenEx("FTABC123", FT_OPEN_BY_SERIAL_NUMBER, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(h, nullptr);

    FT_HANDLE a = Open("FT1X2Y3ZA");
    FT_HANDLE b = Open("FT1X2Y3Zb");  // the letter in either case
    FT_HANDLE s = Open("FTABC123");
    ASSERT_TRUE(a && b && s);
    EXPECT_EQ(Record(a)->interface_selector, 1);
    EXPECT_EQ(Record(b)->interface_selector, 2);
    EXPECT_EQ(Record(s)->interface_selector, 0);
}

TEST_F(Opening, ByDescriptionAndByLocation) {
    ChipSpec dual = WithSerial(ChipSpec::FT2232C(), "FTDUAL01");
    dual.product = "Serial Bridge";
    auto &chip = Add(dual);
    StartLibrary();
    FT_HANDLE h = nullptr;
    EXPECT_EQ(OpenEx("Serial Bridge", FT_OPEN_BY_DESCRIPTION, &h), FT_DEVICE_NOT_FOUND);
    ASSERT_EQ(OpenEx("Serial Bridge B", FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
    Track(h);
    EXPECT_EQ(Record(h)->interface_selector, 2);
    const uint32_t base = (chip.Bus() * 256u + chip.Address()) * 16u;
    FT_HANDLE by_loc = nullptr;
    EXPECT_EQ(OpenAt(base, &by_loc), FT_DEVICE_NOT_FOUND);      // low bits 0
    EXPECT_EQ(OpenAt(base + 3, &by_loc), FT_DEVICE_NOT_FOUND);  // no third interface
    ASSERT_EQ(OpenAt(base + 1, &by_loc), FT_OK);
    Track(by_loc);
    uint32_t loc = 0;
    ASSERT_EQ(FT_GetDeviceLocId(by_loc, &loc), FT_OK);
    EXPECT_EQ(loc, base + 1);
}

TEST_F(Opening, OddChipsOpenOnlyAsFarAsTheyCanAndLeaveNothingBehind) {
    auto &no_index = Add(WithSerial(ChipSpec::Raw(0x1400), "FTRAW014"));
    auto &am = Add(WithSerial(ChipSpec::FT232AM(), "FTAMCHIP"));
    auto &unknown = Add(WithSerial(ChipSpec::Raw(0x0300), "FTRAW003"));
    StartLibrary();
    FT_HANDLE h = nullptr;
    // The AM chip is found by index and by name but cannot be opened: it has
    // no latency timer.
    EXPECT_EQ(FT_Open(1, &h), FT_NOT_SUPPORTED);
    EXPECT_EQ(FT_Open(3, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_Open(-1, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_Open(0, nullptr), FT_INVALID_PARAMETER);
    // By name, AM and unknown chips are found but not openable either.
    EXPECT_EQ(OpenEx("FTAMCHIP", FT_OPEN_BY_SERIAL_NUMBER, &h), FT_NOT_SUPPORTED);
    EXPECT_EQ(OpenEx("FTRAW003", FT_OPEN_BY_SERIAL_NUMBER, &h), FT_NOT_SUPPORTED);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(d2xx::RegisteredDeviceCount(), 0u);
    EXPECT_FALSE(am.If(0).State().claimed);
    EXPECT_FALSE(unknown.If(0).State().claimed);
    EXPECT_EQ(OpenUsbFiles(), 0);
    // A 0x14 chip is reachable by name only.
    ASSERT_NE(Open("FTRAW014"), nullptr);
    EXPECT_TRUE(no_index.If(0).State().claimed);
}

TEST_F(Opening, SecondOpenOfAnInterfaceFailsAndTheFirstKeepsWorking) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTTWICE1"));
    StartLibrary();
    FT_HANDLE first = Open("FTTWICE1");
    ASSERT_NE(first, nullptr);
    FT_HANDLE second = nullptr;
    EXPECT_EQ(OpenEx("FTTWICE1", FT_OPEN_BY_SERIAL_NUMBER, &second), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(second, nullptr);
    chip.If(0).InjectRx("still here");
    char buf[16] = {};
    uint32_t n = 0;
    ASSERT_EQ(FT_SetTimeouts(first, devtest::kPatienceMs, 0), FT_OK);
    ASSERT_EQ(FT_Read(first, buf, 10, &n), FT_OK);
    EXPECT_EQ(std::string(buf, n), "still here");
}

TEST_F(Opening, KernelDriverOrPermissionsMakeTheOpenFailCleanly) {
    auto &bound = Add(WithSerial(ChipSpec::FT232R(), "FTKERNEL"));
    auto &denied = Add(WithSerial(ChipSpec::FT232R(), "FTDENIED"));
    bound.SetKernelDriverBound(0, true);
    denied.SetOpenDenied(true);
    StartLibrary();
    FT_HANDLE h = nullptr;
    EXPECT_EQ(OpenEx("FTKERNEL", FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(OpenEx("FTDENIED", FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(d2xx::RegisteredDeviceCount(), 0u);
    EXPECT_EQ(OpenUsbFiles(), 0);
}

TEST_F(Opening, BlankSerialNumberDoesNotEndTheSearch) {
    ChipSpec blank = ChipSpec::FT232R();
    blank.serial = std::string();
    Add(blank);
    Add(WithSerial(ChipSpec::FT232R(), "FTAFTER1"));
    StartLibrary();
    EXPECT_NE(Open("FTAFTER1"), nullptr);
}

TEST_F(Opening, OpenResetsAndPurgesTheChipAndReadsItsStatus) {
    auto &chip = Add(WithSerial(ChipSpec::FT2232H(), "FTREQS01"));
    chip.If(1).SetModemLines(0x30);
    StartLibrary();
    FT_HANDLE h = Open("FTREQS01B");
    ASSERT_NE(h, nullptr);
    // Reset (wIndex 0), six receive purges and one transmit purge with the
    // selector, modem status by interface number, latency timer by selector.
    std::vector<devtest::Req> expected{{0, 0, 0}};
    expected.insert(expected.end(), 6, devtest::Req{0, 1, 2});
    expected.insert(expected.end(), {{0, 2, 2}, {5, 0, 1}, {10, 0, 2}});
    std::vector<devtest::Req> seen = devtest::VendorSeen(chip);
    ASSERT_GE(seen.size(), expected.size());
    seen.resize(expected.size());
    EXPECT_EQ(seen, expected);

    uint32_t status = 0;
    ASSERT_EQ(FT_GetModemStatus(h, &status), FT_OK);
    EXPECT_EQ(status, 0x30u);
    uint8_t latency = 0;
    ASSERT_EQ(FT_GetLatencyTimer(h, &latency), FT_OK);
    EXPECT_EQ(latency, 16);
}

// String descriptor requests (GET_DESCRIPTOR of type 3) the chip has seen.
size_t StringRequests(const ftdisim::Chip &chip) {
    size_t n = 0;
    for (const auto &r : chip.Requests()) n += r.bRequest == 6 && (r.wValue >> 8) == 3;
    return n;
}

TEST_F(Opening, DeviceStringsAreReadOnceWhileTheDeviceStaysEnumerated) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTKNOW01"));
    StartLibrary();
    FT_HANDLE h = OpenIndex(0);
    ASSERT_NE(h, nullptr);
    EXPECT_GT(StringRequests(chip), 0u);
    ASSERT_EQ(FT_Close(h), FT_OK);

    // Later opens, by index or by name, send only what sets the chip up, and
    // the handle's node still carries the device's names.
    chip.ClearRequests();
    for (int i = 0; i < 2; ++i) {
        h = i == 0 ? OpenIndex(0) : Open("FTKNOW01");
        ASSERT_NE(h, nullptr);
        EXPECT_STREQ(Record(h)->info.SerialNumber, "FTKNOW01");
        EXPECT_STREQ(Record(h)->info.Description, "FT232R USB UART");
        ASSERT_EQ(FT_Close(h), FT_OK);
    }
    EXPECT_EQ(StringRequests(chip), 0u);

    // Enumerated afresh, the device is read again.
    bed_->Unplug(chip);
    bed_->Replug(chip);
    ASSERT_TRUE(ftdisim::WaitUntil([&] {
        FT_HANDLE again = nullptr;
        if (FT_OpenEx(const_cast<char *>("FTKNOW01"), FT_OPEN_BY_SERIAL_NUMBER, &again) != FT_OK) {
            return false;
        }
        FT_Close(again);
        return true;
    }));
    EXPECT_GT(StringRequests(chip), 0u);
}

TEST_F(Opening, AChipInThePlaceOfAGoneOneIsReadAfresh) {
    auto &first = Add(WithSerial(ChipSpec::FT232R(), "FTGONE01"));
    StartLibrary();
    ASSERT_EQ(FT_Close(OpenIndex(0)), FT_OK);
    bed_->Unplug(first);
    // The same kind of chip: only its strings differ.
    Add(WithSerial(ChipSpec::FT232R(), "FTNEXT02"));
    FT_HANDLE h = nullptr;
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return FT_Open(0, &h) == FT_OK; }));
    Track(h);
    EXPECT_STREQ(Record(h)->info.SerialNumber, "FTNEXT02");
    ASSERT_EQ(FT_Close(h), FT_OK);
    EXPECT_NE(Open("FTNEXT02"), nullptr);
    FT_HANDLE gone = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char *>("FTGONE01"), FT_OPEN_BY_SERIAL_NUMBER, &gone),
              FT_DEVICE_NOT_FOUND);
}

TEST_F(Opening, FailingChipRequestFailsTheOpenWithNothingLeft) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTFAIL01"));
    ftdisim::RequestFault fault;
    fault.request = 5;  // modem status comes back one byte short
    fault.mode = ftdisim::FaultMode::Short;
    chip.FailRequest(fault);
    StartLibrary();
    FT_HANDLE h = nullptr;
    EXPECT_EQ(OpenEx("FTFAIL01", FT_OPEN_BY_SERIAL_NUMBER, &h), FT_IO_ERROR);
    EXPECT_EQ(d2xx::RegisteredDeviceCount(), 0u);
    EXPECT_FALSE(chip.If(0).State().claimed);
    EXPECT_NE(Open("FTFAIL01"), nullptr);  // the fault was one request only
}

TEST_F(Opening, ThreadThatCannotStartUndoesTheOpen) {
    Add(WithSerial(ChipSpec::FT232R(), "FTTHREAD"));
    StartLibrary();
    for (int n = 1; n <= 3; ++n) {  // reader, processor, writer
        d2xx::SetThreadStartFaultForTests(n);
        FT_HANDLE h = nullptr;
        EXPECT_EQ(OpenEx("FTTHREAD", FT_OPEN_BY_SERIAL_NUMBER, &h), FT_INSUFFICIENT_RESOURCES) << n;
        EXPECT_EQ(d2xx::RegisteredDeviceCount(), 0u);
        d2xx::SetThreadStartFaultForTests(0);
    }
    EXPECT_NE(Open("FTTHREAD"), nullptr);
}

TEST_F(Opening, ASecondCloseAndCloseOfANeverOpenedHandleAreRefused) {
    Add(WithSerial(ChipSpec::FT232R(), "FTRACE01"));
    StartLibrary();
    int bogus = 0;
    EXPECT_EQ(FT_Close(&bogus), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Close(nullptr), FT_INVALID_HANDLE);
    FT_HANDLE once = Open("FTRACE01");
    EXPECT_EQ(FT_Close(once), FT_OK);
    EXPECT_EQ(FT_Close(once), FT_INVALID_HANDLE);
    // Of two closes racing on one handle, exactly one closes it.
    for (int round = 0; round < 40; ++round) {
        FT_HANDLE h = nullptr;
        ASSERT_EQ(FT_OpenEx(const_cast<char *>("FTRACE01"), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK);
        // Both threads spin until both are there, so the closes overlap.
        std::atomic<int> arrived{0};
        FT_STATUS a = FT_OTHER_ERROR, b = FT_OTHER_ERROR;
        auto close = [&](FT_STATUS *status) {
            ++arrived;
            while (arrived.load() < 2) {
            }
            *status = FT_Close(h);
        };
        std::thread first(close, &a);
        std::thread second(close, &b);
        first.join();
        second.join();
        ASSERT_TRUE((a == FT_OK && b == FT_INVALID_HANDLE) ||
                    (a == FT_INVALID_HANDLE && b == FT_OK))
            << a << " " << b << " in round " << round;
    }
    EXPECT_EQ(OpenUsbFiles(), 0);
}

}  // namespace
