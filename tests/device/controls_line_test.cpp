// Line and modem control against a simulated chip: the requests each call
// sends, what the chip then runs with, what the library records, and that a
// request the chip refuses changes no record.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "device_fixture.h"

namespace {

using namespace std::chrono_literals;
using ftdisim::Chip;
using ftdisim::ChipSpec;
using ftdisim::FaultMode;
using ftdisim::RequestFault;

using devtest::Req;
using devtest::VendorSeen;

RequestFault Fail(uint8_t request, std::optional<uint16_t> value = std::nullopt,
                  FaultMode mode = FaultMode::Stall, int skip = 0) {
    return RequestFault{request, value, mode, skip, 1};
}

uint32_t QueueStatus(FT_HANDLE h) {
    uint32_t n = 0;
    EXPECT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    return n;
}

// One FT232R ("R1") and one FT2232C ("C1"), both opened: the FT2232C on its
// second interface, so that every line request carries selector 2.
class LineTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        single_ = &Add(WithSerial(ChipSpec::FT232R(), "R1"));
        dual_ = &Add(WithSerial(ChipSpec::FT2232C(), "C1"));
        StartLibrary();
        hs_ = Open("R1");
        hd_ = Open("C1B");
        ASSERT_NE(hs_, nullptr);
        ASSERT_NE(hd_, nullptr);
        single_->ClearRequests();
        dual_->ClearRequests();
    }

    Chip *single_ = nullptr;
    Chip *dual_ = nullptr;
    FT_HANDLE hs_ = nullptr;  // FT232R, selector 0
    FT_HANDLE hd_ = nullptr;  // FT2232C interface B, selector 2
};

TEST_F(LineTest, DataCharacteristicsGoOutAsOneWordAndBreakRidesOnTheLastOne) {
    // Before any data characteristics the break uses 8N1, as set at open.
    EXPECT_EQ(FT_SetBreakOn(hs_), FT_OK);
    EXPECT_TRUE(single_->If(0).State().line.break_on);
    EXPECT_EQ(FT_SetBreakOff(hs_), FT_OK);
    EXPECT_EQ(FT_SetDataCharacteristics(hs_, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE), FT_OK);
    EXPECT_EQ(FT_SetDataCharacteristics(hs_, FT_BITS_7, FT_STOP_BITS_2, FT_PARITY_EVEN), FT_OK);
    EXPECT_EQ(FT_SetBreakOn(hs_), FT_OK);
    EXPECT_EQ(single_->If(0).State().line.data_bits, 7);
    // New data characteristics end a break.
    EXPECT_EQ(FT_SetDataCharacteristics(hs_, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_ODD), FT_OK);
    EXPECT_FALSE(single_->If(0).State().line.break_on);

    EXPECT_EQ(VendorSeen(*single_), (std::vector<Req>{{4, 0x4008, 0},
                                                      {4, 0x0008, 0},
                                                      {4, 0x0008, 0},
                                                      {4, 0x1207, 0},
                                                      {4, 0x5207, 0},
                                                      {4, 0x0108, 0}}));

    // The second interface of a dual chip is addressed by selector 2.
    EXPECT_EQ(FT_SetDataCharacteristics(hd_, FT_BITS_7, FT_STOP_BITS_1, FT_PARITY_MARK), FT_OK);
    EXPECT_EQ(FT_SetBreakOn(hd_), FT_OK);
    EXPECT_EQ(VendorSeen(*dual_), (std::vector<Req>{{4, 0x0307, 2}, {4, 0x4307, 2}}));
    EXPECT_TRUE(dual_->If(1).State().line.break_on);
    EXPECT_FALSE(dual_->If(0).State().line.break_on);
}

TEST_F(LineTest, FlowControlModesAndTheHandshakeLineTheyRaise) {
    EXPECT_EQ(FT_SetFlowControl(hd_, FT_FLOW_XON_XOFF, 0x11, 0x13), FT_OK);
    EXPECT_EQ(dual_->If(1).State().flow_mode, FT_FLOW_XON_XOFF);
    EXPECT_EQ(dual_->If(1).State().xon, 0x11);
    EXPECT_EQ(dual_->If(1).State().xoff, 0x13);
    EXPECT_EQ(FT_SetFlowControl(hd_, FT_FLOW_RTS_CTS, 0x11, 0x13), FT_OK);
    EXPECT_TRUE(dual_->If(1).State().rts);
    EXPECT_FALSE(dual_->If(1).State().dtr);
    EXPECT_EQ(FT_SetFlowControl(hd_, FT_FLOW_DTR_DSR, 0, 0), FT_OK);
    EXPECT_TRUE(dual_->If(1).State().dtr);
    EXPECT_EQ(FT_SetFlowControl(hd_, FT_FLOW_NONE, 0x11, 0x13), FT_OK);
    EXPECT_EQ(dual_->If(1).State().flow_mode, FT_FLOW_NONE);

    // XON/XOFF characters travel only in XON/XOFF mode; the modes take
    // the high byte of wIndex beside the selector.
    EXPECT_EQ(VendorSeen(*dual_), (std::vector<Req>{{2, 0x1311, 0x0402},
                                                    {2, 0x0000, 0x0102},
                                                    {1, 0x0202, 0x0002},
                                                    {2, 0x0000, 0x0202},
                                                    {1, 0x0101, 0x0002},
                                                    {2, 0x0000, 0x0002}}));
    EXPECT_TRUE(dual_->If(1).State().rts);   // the raised lines stay up
    EXPECT_FALSE(dual_->If(0).State().rts);  // the other interface is untouched
}

TEST_F(LineTest, ModemLinesAreRaisedAndLoweredOneAtATime) {
    EXPECT_EQ(FT_SetDtr(hs_), FT_OK);
    EXPECT_EQ(FT_SetRts(hs_), FT_OK);
    EXPECT_EQ(FT_ClrDtr(hs_), FT_OK);
    EXPECT_FALSE(single_->If(0).State().dtr);
    EXPECT_TRUE(single_->If(0).State().rts);
    EXPECT_EQ(FT_ClrRts(hs_), FT_OK);
    EXPECT_EQ(VendorSeen(*single_),
              (std::vector<Req>{{1, 0x0101, 0}, {1, 0x0202, 0}, {1, 0x0100, 0}, {1, 0x0200, 0}}));

    EXPECT_EQ(FT_SetRts(hd_), FT_OK);
    EXPECT_EQ(VendorSeen(*dual_), (std::vector<Req>{{1, 0x0202, 2}}));

    // A refused request leaves the recorded line as it was.
    single_->FailRequest(Fail(1));
    EXPECT_EQ(FT_SetDtr(hs_), FT_IO_ERROR);
    EXPECT_EQ(Record(hs_)->modem_control, 0x00);
    ASSERT_EQ(FT_SetDtr(hs_), FT_OK);
    single_->FailRequest(Fail(1));
    EXPECT_EQ(FT_ClrDtr(hs_), FT_IO_ERROR);
    EXPECT_EQ(Record(hs_)->modem_control, 0x01);
}

TEST_F(LineTest, PurgesEmptyTheSidesTheyName) {
    auto wait_queue = [this](uint32_t n) {
        return ftdisim::WaitUntil([&] { return QueueStatus(hd_) == n; });
    };
    const unsigned purged_at_open = dual_->If(1).State().rx_purges;
    dual_->If(1).InjectRx("hello");
    ASSERT_TRUE(wait_queue(5));

    // Transmit side alone: the receive queue keeps its bytes.
    EXPECT_EQ(FT_Purge(hd_, FT_PURGE_TX), FT_OK);
    EXPECT_EQ(VendorSeen(*dual_), (std::vector<Req>{{0, 2, 2}}));
    EXPECT_EQ(QueueStatus(hd_), 5u);
    // Nothing at all.
    dual_->ClearRequests();
    EXPECT_EQ(FT_Purge(hd_, 0), FT_OK);
    EXPECT_EQ(FT_Purge(hd_, 0xFC), FT_OK);  // unknown bits alone are ignored
    EXPECT_TRUE(dual_->VendorRequests().empty());
    EXPECT_EQ(QueueStatus(hd_), 5u);
    // Receive side: six purges of the chip, then the host's queue.
    EXPECT_EQ(FT_Purge(hd_, FT_PURGE_RX), FT_OK);
    EXPECT_EQ(VendorSeen(*dual_), std::vector<Req>(6, Req{0, 1, 2}));
    EXPECT_EQ(QueueStatus(hd_), 0u);
    // Both.
    dual_->ClearRequests();
    EXPECT_EQ(FT_Purge(hd_, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    std::vector<Req> both(6, Req{0, 1, 2});
    both.push_back({0, 2, 2});
    EXPECT_EQ(VendorSeen(*dual_), both);
    EXPECT_EQ(dual_->If(1).State().rx_purges, purged_at_open + 12);
    EXPECT_EQ(dual_->If(0).State().rx_purges, 0u);
    // Reception goes on after a purge. The transfer that carried "hello"
    // drops its next completion (it may hold data from before the purge), so
    // one delivery may be lost, never two: of "1", "2" and "3", each handed
    // to the host only once the chip has sent the one before, at least two
    // arrive, in order.
    for (const char *byte : {"1", "2", "3"}) {
        dual_->If(1).InjectRx(byte);
        ASSERT_TRUE(ftdisim::WaitUntil([&] { return dual_->If(1).RxPending() == 0; }));
    }
    std::string got;
    ASSERT_TRUE(ftdisim::WaitUntil([&] {
        char buf[4];
        DWORD n = 0;
        const uint32_t queued = QueueStatus(hd_);
        if (queued != 0 && FT_Read(hd_, buf, std::min<uint32_t>(queued, sizeof buf), &n) == FT_OK)
            got.append(buf, n);
        return got.size() >= 2;
    })) << got;
    EXPECT_TRUE(got == "12" || got == "13" || got == "23" || got == "123") << got;
}

TEST_F(LineTest, ResetAddressesTheWholeChipAndPurgesTheInterface) {
    EXPECT_EQ(FT_ResetDevice(hd_), FT_OK);
    std::vector<Req> expected{{0, 0, 0}};
    expected.insert(expected.end(), 6, Req{0, 1, 2});
    expected.push_back({0, 2, 2});
    EXPECT_EQ(VendorSeen(*dual_), expected);

    dual_->ClearRequests();
    dual_->FailRequest(Fail(0, 0));
    EXPECT_EQ(FT_ResetDevice(hd_), FT_IO_ERROR);
    EXPECT_EQ(VendorSeen(*dual_), (std::vector<Req>{{0, 0, 0}}));

    dual_->ClearRequests();
    dual_->FailRequest(Fail(0, 2));
    EXPECT_EQ(FT_ResetDevice(hd_), FT_IO_ERROR);
    EXPECT_EQ(VendorSeen(*dual_), expected);
}

TEST_F(LineTest, ModemStatusFollowsThePacketsAndClearsItsEvent) {
    uint32_t status = 0xFFFFFFFF;
    EXPECT_EQ(FT_GetModemStatus(hs_, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_GetModemStatus(hs_, &status), FT_OK);
    EXPECT_EQ(status, 0u);

    EVENT_HANDLE ev{};
    pthread_mutex_init(&ev.eMutex, nullptr);
    pthread_cond_init(&ev.eCondVar, nullptr);
    ASSERT_EQ(FT_SetEventNotification(hs_, FT_EVENT_MODEM_STATUS, &ev), FT_OK);

    // The chip reports its lines in every packet; the low four bits of its
    // status byte (always 0x01 here) never reach the caller.
    single_->If(0).SetModemLines(MS_CTS_ON | MS_RLSD_ON);
    EXPECT_TRUE(ftdisim::WaitUntil([&] {
        return FT_GetModemStatus(hs_, &status) == FT_OK && status == (MS_CTS_ON | MS_RLSD_ON);
    }));
    EXPECT_EQ(status & ~0xF0u, 0u);
    // No request: the status comes from the packets.
    EXPECT_TRUE(single_->VendorRequests().empty());
    // A packet's status is stored before its event is recorded: once a
    // later packet's byte is queued, this change's event is in; collect it
    // before making the next change.
    single_->If(0).InjectRx("y");
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return QueueStatus(hs_) == 1; }));
    EXPECT_EQ(FT_GetModemStatus(hs_, &status), FT_OK);
    char y = 0;
    uint32_t got = 0;
    ASSERT_EQ(FT_Read(hs_, &y, 1, &got), FT_OK);
    ASSERT_EQ(got, 1u);

    // The change was recorded; reading the status collects it.
    single_->If(0).SetModemLines(MS_DSR_ON | MS_RING_ON);
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return Record(hs_)->event_status.load() != 0; }));
    EXPECT_EQ(Record(hs_)->event_status.load(), FT_EVENT_MODEM_STATUS);
    EXPECT_EQ(FT_GetModemStatus(hs_, &status), FT_OK);
    EXPECT_EQ(status, MS_DSR_ON | MS_RING_ON);
    EXPECT_EQ(Record(hs_)->event_status.load(), 0u);

    // Line errors are not part of the modem status.
    single_->If(0).InjectLineError(0x1E);
    single_->If(0).InjectRx("x");
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return QueueStatus(hs_) == 1; }));
    EXPECT_EQ(FT_GetModemStatus(hs_, &status), FT_OK);
    EXPECT_EQ(status, MS_DSR_ON | MS_RING_ON);

    ASSERT_EQ(FT_SetEventNotification(hs_, 0, &ev), FT_OK);
    ASSERT_EQ(FT_Close(hs_), FT_OK);
    pthread_cond_destroy(&ev.eCondVar);
    pthread_mutex_destroy(&ev.eMutex);
}

TEST_F(LineTest, CallsOnHandlesThatAreNotOpenSendNothing) {
    FT_HANDLE closed = hs_;
    ASSERT_EQ(FT_Close(closed), FT_OK);
    single_->ClearRequests();
    int bogus = 0;
    uint32_t status = 0;
    for (FT_HANDLE h : {FT_HANDLE{nullptr}, FT_HANDLE{&bogus}, closed}) {
        EXPECT_EQ(FT_SetBaudRate(h, 9600), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetDivisor(h, 0x4138), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetDataCharacteristics(h, 8, 0, 0), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetFlowControl(h, FT_FLOW_RTS_CTS, 0, 0), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetDtr(h), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_ClrDtr(h), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetRts(h), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_ClrRts(h), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetBreakOn(h), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetBreakOff(h), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetChars(h, 0, 0, 0, 0), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_Purge(h, FT_PURGE_RX), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_ResetDevice(h), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetLatencyTimer(h, 2), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_GetLatencyTimer(h, nullptr), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetBitMode(h, 0, 0), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_GetBitMode(h, nullptr), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetUSBParameters(h, 4096, 4096), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_VendorCmdGet(h, 1, nullptr, 1), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_VendorCmdSet(h, 1, nullptr, 1), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_CyclePort(h), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetDeadmanTimeout(h, 1000), FT_INVALID_HANDLE);
        // The handle is checked before the pointer.
        EXPECT_EQ(FT_GetModemStatus(h, nullptr), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_GetModemStatus(h, &status), FT_INVALID_HANDLE);
        // Not offered on this platform, whatever the handle.
        EXPECT_EQ(FT_IoCtl(h, 0, nullptr, 0, nullptr, 0, nullptr, nullptr), FT_NOT_SUPPORTED);
        EXPECT_EQ(FT_ResetPort(h), FT_NOT_SUPPORTED);
        EXPECT_EQ(FT_SetResetPipeRetryCount(h, 3), FT_NOT_SUPPORTED);
    }
    EXPECT_EQ(FT_IoCtl(hd_, 1, &bogus, 4, &bogus, 4, &status, nullptr), FT_NOT_SUPPORTED);
    EXPECT_TRUE(single_->VendorRequests().empty());
}

}  // namespace
