// The Win32-style calls against a simulated chip: opening by name and index,
// the comm state and the requests it sends, line functions, purges, time-outs
// and the per-handle last error.
#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device_fixture.h"

namespace {

using ftdisim::ChipSpec;
using ftdisim::RequestFault;

using devtest::Req;
using devtest::VendorSeen;

// The requests other than the baud rate, whose divisor encoding is not this
// layer's business.
std::vector<Req> WithoutBaud(std::vector<Req> v) {
    std::erase_if(v, [](const Req &r) { return r.request == 3; });
    return v;
}

FTDCB SampleState() {
    FTDCB dcb{};
    dcb.DCBlength = sizeof(FTDCB);
    dcb.BaudRate = 19200;
    dcb.fBinary = 1;
    dcb.fOutX = 1;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 0x1234;
    dcb.ByteSize = FT_BITS_7;
    dcb.Parity = FT_PARITY_EVEN;
    dcb.StopBits = FT_STOP_BITS_2;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EvtChar = 0x7E;
    dcb.EofChar = 0x1A;
    dcb.wReserved1 = 0xBEEF;
    return dcb;
}

// The next matching vendor request stalls.
RequestFault Stall(uint8_t request, std::optional<uint16_t> value = std::nullopt) {
    RequestFault f;
    f.request = request;
    f.value = value;
    return f;
}

class W32Test : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        chip_ = &Add(ChipSpec::FT232R());
        StartLibrary();
    }
    // Opens the chip and forgets the requests of the open.
    FT_HANDLE OpenClean() {
        FT_HANDLE h = Open("FT000001");
        chip_->ClearRequests();
        return h;
    }
    ftdisim::Chip *chip_ = nullptr;
    ftdisim::Loopback loopback_;  // outlives the testbed, which DeviceTest ends first
};

TEST_F(W32Test, CreateFileNeedsASelectionBitAndIgnoresTheOthers) {
    const unsigned opens = chip_->OpenCount();
    EXPECT_EQ(FT_W32_CreateFile("FT000001", 0, 0, nullptr, 0, 0, nullptr), FT_INVALID_HANDLE_VALUE);
    EXPECT_EQ(FT_W32_CreateFile("FT000001", 0, 0, nullptr, 0, FT_OPEN_BY_LOCATION, nullptr),
              FT_INVALID_HANDLE_VALUE);
    EXPECT_EQ(chip_->OpenCount(), opens) << "a refused selection must not touch the bus";
    EXPECT_TRUE(chip_->Requests().empty());

    EXPECT_EQ(FT_W32_CreateFile("NOSUCH", 0, 0, nullptr, 0, FT_OPEN_BY_SERIAL_NUMBER, nullptr),
              FT_INVALID_HANDLE_VALUE);

    FT_HANDLE h = FT_W32_CreateFile("FT000001", 0xC0000000u, 0, nullptr, 3,
                                    (1u << 30) | FT_OPEN_BY_SERIAL_NUMBER, nullptr);
    ASSERT_NE(h, FT_INVALID_HANDLE_VALUE);
    Track(h);
    EXPECT_EQ(FT_W32_CloseHandle(h), 1);
    EXPECT_EQ(FT_W32_CloseHandle(h), 0) << "a closed handle is invalid";

    h = FT_W32_CreateFile("FT232R USB UART", 0, 0, nullptr, 0, FT_OPEN_BY_DESCRIPTION, nullptr);
    ASSERT_NE(h, FT_INVALID_HANDLE_VALUE);
    Track(h);
    EXPECT_EQ(FT_W32_CloseHandle(h), 1);
}

TEST_F(W32Test, OpenFileOpensByIndexAndAnswersNullOnFailure) {
    EXPECT_EQ(FT_W32_OpenFile(1, 0, 0, 0), nullptr);
    EXPECT_EQ(FT_W32_OpenFile(0x80000000u, 0, 0, 0), nullptr);
    FT_HANDLE h = FT_W32_OpenFile(0, 0, 0, 0);
    ASSERT_NE(h, nullptr);
    Track(h);
    EXPECT_EQ(FT_W32_OpenFile(0, 0, 0, 0), nullptr) << "the interface is already claimed";
    EXPECT_EQ(FT_W32_CloseHandle(h), 1);
}

TEST_F(W32Test, SetCommStateSendsEachSettingInOrder) {
    FT_HANDLE h = OpenClean();
    const FTDCB dcb = SampleState();
    ASSERT_EQ(FT_W32_SetCommState(h, &dcb), 1);

    const std::vector<Req> seen = VendorSeen(*chip_);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().request, 3) << "the baud rate goes first";
    const std::vector<Req> expected = {
        {4, 0x1207, 0},       // 7 data bits, even parity, two stop bits
        {2, 0x1311, 0x0400},  // XON/XOFF with its characters
        {1, 0x0202, 0},       // RTS control changed from 0: RTS on
        {1, 0x0101, 0},       // DTR likewise
        {6, 0x017E, 0},       // event character enabled
        {7, 0x0000, 0},       // error character 0: disabled
    };
    EXPECT_EQ(WithoutBaud(seen), expected);
    EXPECT_NEAR(chip_->If(0).State().line.baud, 19200, 19200 * 3 / 100);

    // The same state again leaves the modem lines alone.
    chip_->ClearRequests();
    ASSERT_EQ(FT_W32_SetCommState(h, &dcb), 1);
    for (const Req &r : VendorSeen(*chip_)) EXPECT_NE(r.request, 1) << "no modem-line request";

    // Only the control that changed is driven.
    FTDCB rts_off = dcb;
    rts_off.fRtsControl = RTS_CONTROL_DISABLE;
    rts_off.fOutX = 0;
    rts_off.EvtChar = 0;
    rts_off.ErrorChar = '?';
    chip_->ClearRequests();
    ASSERT_EQ(FT_W32_SetCommState(h, &rts_off), 1);
    const std::vector<Req> second = {
        {4, 0x1207, 0}, {2, 0, 0}, {1, 0x0200, 0}, {6, 0x0000, 0}, {7, 0x013F, 0}};
    EXPECT_EQ(WithoutBaud(VendorSeen(*chip_)), second);
}

TEST_F(W32Test, EscapeFunctionsDriveTheLinesAndRefuseTheRest) {
    FT_HANDLE h = OpenClean();
    const struct {
        uint32_t code;
        Req sent;
    } supported[] = {
        {SETRTS, {1, 0x0202, 0}}, {CLRRTS, {1, 0x0200, 0}},   {SETDTR, {1, 0x0101, 0}},
        {CLRDTR, {1, 0x0100, 0}}, {SETBREAK, {4, 0x4008, 0}}, {CLRBREAK, {4, 0x0008, 0}},
    };
    for (const auto &c : supported) {
        SCOPED_TRACE(c.code);
        chip_->ClearRequests();
        EXPECT_EQ(FT_W32_EscapeCommFunction(h, c.code), 1);
        EXPECT_EQ(VendorSeen(*chip_), std::vector<Req>{c.sent});
        EXPECT_EQ(FT_W32_GetLastError(h), FT_OK);
    }

    EXPECT_EQ(FT_W32_CancelIo(h), 0);  // last error now FT_NOT_SUPPORTED
    chip_->ClearRequests();
    for (uint32_t code : {0u, 1u, 2u, 7u, 10u, 0xFFFFFFFFu}) {
        EXPECT_EQ(FT_W32_EscapeCommFunction(h, code), 0) << code;
        EXPECT_EQ(FT_W32_GetLastError(h), FT_NOT_SUPPORTED) << code << " must record nothing";
    }
    EXPECT_TRUE(chip_->Requests().empty());

    chip_->FailRequest(Stall(1));
    EXPECT_EQ(FT_W32_EscapeCommFunction(h, SETDTR), 0);
    EXPECT_EQ(FT_W32_GetLastError(h), FT_IO_ERROR);
}

TEST_F(W32Test, PurgeFlagsMapToDirections) {
    FT_HANDLE h = OpenClean();
    const struct {
        uint32_t flags;
        unsigned rx, tx;
    } cases[] = {
        {0x0F, 6, 1},          {0x0A, 6, 0}, {0x05, 0, 1}, {PURGE_RXABORT, 6, 0},
        {PURGE_TXCLEAR, 0, 1}, {0, 0, 0},    {0xF0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.flags);
        const ftdisim::InterfaceState before = chip_->If(0).State();
        EXPECT_EQ(FT_W32_PurgeComm(h, c.flags), 1);
        const ftdisim::InterfaceState after = chip_->If(0).State();
        EXPECT_EQ(after.rx_purges - before.rx_purges, c.rx);
        EXPECT_EQ(after.tx_purges - before.tx_purges, c.tx);
    }

    chip_->FailRequest(Stall(0, 2));
    EXPECT_EQ(FT_W32_PurgeComm(h, PURGE_TXABORT), 0);
    EXPECT_EQ(FT_W32_GetLastError(h), FT_IO_ERROR);
}

TEST_F(W32Test, TimeoutsRoundTripAndBoundReads) {
    FT_HANDLE h = OpenClean();
    const FTTIMEOUTS set{10, 20, 150, 40, 2500};
    ASSERT_EQ(FT_W32_SetCommTimeouts(h, &set), 1);
    FTTIMEOUTS got;
    std::memset(&got, 0xFF, sizeof got);
    ASSERT_EQ(FT_W32_GetCommTimeouts(h, &got), 1);
    const FTTIMEOUTS kept{0, 0, 150, 0, 2500};  // only the totals are kept
    EXPECT_EQ(0, std::memcmp(&got, &kept, sizeof got));

    // With nothing to read the read ends at its time-out with what there is.
    char buf[8];
    uint32_t n = 99;
    EXPECT_EQ(FT_W32_ReadFile(h, buf, sizeof buf, &n, nullptr), 1);
    EXPECT_EQ(n, 0u);
}

TEST_F(W32Test, FailuresRecordTheirStatusPerHandle) {
    FT_HANDLE h = OpenClean();
    EXPECT_EQ(FT_W32_GetLastError(h), FT_OK) << "nothing recorded yet";
    EXPECT_EQ(FT_W32_GetOverlappedResult(h, nullptr, nullptr, 1), 0);
    EXPECT_EQ(FT_W32_GetLastError(h), FT_NOT_SUPPORTED);

    // Null records answer FALSE (never a value a caller would read as TRUE)
    // and record FT_INVALID_PARAMETER. A purge of nothing records FT_OK first.
    FTCOMSTAT st{};
    uint32_t errors = 0;
    const std::pair<const char *, std::function<int()>> refused[] = {
        {"GetCommState", [&] { return FT_W32_GetCommState(h, nullptr); }},
        {"GetCommTimeouts", [&] { return FT_W32_GetCommTimeouts(h, nullptr); }},
        {"SetCommTimeouts", [&] { return FT_W32_SetCommTimeouts(h, nullptr); }},
        {"WaitCommEvent", [&] { return FT_W32_WaitCommEvent(h, nullptr, nullptr); }},
        {"ClearCommError errors", [&] { return FT_W32_ClearCommError(h, nullptr, &st); }},
        {"ClearCommError status", [&] { return FT_W32_ClearCommError(h, &errors, nullptr); }},
    };
    for (const auto &[what, call] : refused) {
        ASSERT_EQ(FT_W32_PurgeComm(h, 0), 1);
        EXPECT_EQ(call(), 0) << what;
        EXPECT_EQ(FT_W32_GetLastError(h), FT_INVALID_PARAMETER) << what;
    }
    EXPECT_EQ(FT_W32_GetCommModemStatus(h, nullptr), 0);
    EXPECT_EQ(FT_W32_SetupComm(h, 4096, 4096), 1);
}

TEST_F(W32Test, InvalidHandlesAnswerFalseEverywhere) {
    int not_a_record = 0;
    FT_HANDLE bad = &not_a_record;
    FTDCB dcb{};
    FTTIMEOUTS t{};
    FTCOMSTAT st{};
    uint32_t u = 0;
    char buf[4];
    EXPECT_EQ(FT_W32_CloseHandle(bad), 0);
    EXPECT_EQ(FT_W32_ReadFile(bad, buf, 4, &u, nullptr), 0);
    EXPECT_EQ(FT_W32_WriteFile(bad, buf, 4, &u, nullptr), 0);
    EXPECT_EQ(FT_W32_EscapeCommFunction(bad, SETRTS), 0);
    EXPECT_EQ(FT_W32_ClearCommError(bad, &u, &st), 0);
    EXPECT_EQ(FT_W32_SetCommState(bad, &dcb), 0);
    EXPECT_EQ(FT_W32_SetCommTimeouts(bad, &t), 0);
    EXPECT_EQ(FT_W32_WaitCommEvent(bad, &u, nullptr), 0);
    EXPECT_EQ(FT_W32_GetLastError(bad), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_W32_GetLastError(nullptr), FT_INVALID_HANDLE);

    FT_HANDLE h = OpenClean();
    ASSERT_EQ(FT_W32_CloseHandle(h), 1);
    EXPECT_EQ(FT_W32_GetLastError(h), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_W32_SetupComm(h, 1, 1), 0);
}

}  // namespace
