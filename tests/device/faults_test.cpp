// Faults a hostile caller or a failing chip can provoke: calls that must not
// hang, failures that must not pass as success, data that must survive an
// unplug, and calls that race FT_Close.
#include <sys/mman.h>

#include <cerrno>
#include <ctime>
#include <future>
#include <thread>

#include "device_fixture.h"

using ftdisim::ChipSpec;
using ftdisim::FaultMode;
using ftdisim::RequestFault;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t kReqReset = 0;  // wValue 1: purge receive
constexpr uint8_t kReqSetBaudRate = 3;

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + i / 509);
    return v;
}

// Sets the control time-out for one test.
struct ControlTimeout {
    explicit ControlTimeout(uint32_t ms) { d2xx::SetControlTimeoutForTests(ms); }
    ~ControlTimeout() { d2xx::SetControlTimeoutForTests(0); }
};

template <typename T>
bool Ends(std::future<T> &f, std::chrono::seconds bound = 20s) {
    return f.wait_for(bound) == std::future_status::ready;
}

size_t Seen(const ftdisim::Chip &chip, uint8_t request, int value = -1) {
    size_t n = 0;
    for (const auto &r : chip.VendorRequests()) {
        n += r.bRequest == request && (value < 0 || r.wValue == value);
    }
    return n;
}

}  // namespace

// --- hangs -------------------------------------------------------------------

class Hangs : public DeviceTest {};

TEST_F(Hangs, AWriteOfAnyLengthTheBufferHoldsEndsByItsTimeOut) {
    auto &chip = Add(WithSerial(ChipSpec::FT232H(), "FTHUGE01"));
    StartLibrary();
    FT_HANDLE h = Open("FTHUGE01");
    ASSERT_NE(h, nullptr);
    // Address space only: the chip refuses everything, so nothing is read.
    const size_t span = 0xFFFFFFFFu;
    void *buffer =
        mmap(nullptr, span, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (buffer == MAP_FAILED && sizeof(void *) < 8) {
        GTEST_SKIP() << "no 4 GiB of address space for the buffer on this target";
    }
    ASSERT_NE(buffer, MAP_FAILED);
    chip.If(0).HoldOut(true);
    ASSERT_EQ(FT_SetTimeouts(h, 0, 100), FT_OK);
    for (uint32_t length : {0x80000000u, 0xFFFFFFFFu}) {
        uint32_t n = 1;
        EXPECT_EQ(FT_Write(h, buffer, length, &n), FT_OK) << length;  // the time-out passed
        EXPECT_EQ(n, 0u);
    }
    munmap(buffer, span);
    // Later writers are not held up.
    chip.If(0).HoldOut(false);
    uint32_t n = 0;
    EXPECT_EQ(FT_Write(h, "ok", 2, &n), FT_OK);
    EXPECT_EQ(n, 2u);
}

TEST_F(Hangs, AChipThatNeverAnswersHoldsUpOnlyItsOwnOpen) {
    auto &silent = Add(WithSerial(ChipSpec::FT232R(), "FTSILENT"));
    Add(WithSerial(ChipSpec::FT232R(), "FTOTHER1"));
    silent.FailRequest(kReqReset, FaultMode::Timeout, -1);
    StartLibrary();
    ControlTimeout long_enough(60000);  // the silent open lasts until the unplug
    auto stuck = std::async(std::launch::async, [] {
        FT_HANDLE h = nullptr;
        return std::make_pair(
            FT_OpenEx(const_cast<char *>("FTSILENT"), FT_OPEN_BY_SERIAL_NUMBER, &h), h);
    });
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return Seen(silent, kReqReset) > 0; }));

    auto other = std::async(std::launch::async, [this] {
        uint32_t count = 0;
        const FT_STATUS listed = FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
        return listed == FT_OK && count == 2 ? Open("FTOTHER1") : nullptr;
    });
    const bool other_ended = Ends(other);
    bed_->Unplug(silent);  // ends the silent chip's request
    ASSERT_TRUE(other_ended);
    EXPECT_NE(other.get(), nullptr);
    const auto [status, handle] = stuck.get();
    EXPECT_EQ(status, FT_IO_ERROR);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(Hangs, ControlRequestsKeepTheirOwnTimeOutAfterLongReceiveSettings) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTCTLTMO"));
    StartLibrary();
    FT_HANDLE h = Open("FTCTLTMO");
    ASSERT_NE(h, nullptr);
    // These stretch the bulk-in time-out to minutes.
    ASSERT_EQ(FT_SetLatencyTimer(h, 255), FT_OK);
    ASSERT_EQ(FT_SetUSBParameters(h, 65536, 4096), FT_OK);
    ControlTimeout shortened(200);
    chip.FailRequest(kReqSetBaudRate, FaultMode::Timeout, -1);
    auto call = std::async(std::launch::async, [h] { return FT_SetBaudRate(h, 9600); });
    const bool ended = Ends(call);
    if (!ended) bed_->Unplug(chip);
    ASSERT_TRUE(ended);
    EXPECT_EQ(call.get(), FT_IO_ERROR);
}

TEST_F(Hangs, AReadOfTheWholeQueueEnds) {
    auto &chip = Add(WithSerial(ChipSpec::FT232H(), "FTWHOLE1"));
    StartLibrary();
    FT_HANDLE h = Open("FTWHOLE1");
    ASSERT_NE(h, nullptr);
    // More than the queue holds, so that packets arrive whole up to the end.
    auto data = Pattern(262144 + 1000);
    chip.If(0).InjectRx(data);
    data.resize(262144);
    std::vector<uint8_t> got(data.size());
    auto read = std::async(std::launch::async, [&] {
        uint32_t n = 0;
        const FT_STATUS status = FT_Read(h, got.data(), static_cast<uint32_t>(got.size()), &n);
        return status == FT_OK ? n : 0u;
    });
    const bool ended = Ends(read);
    if (!ended) bed_->Unplug(chip);  // hands over what is there
    ASSERT_TRUE(ended);
    EXPECT_EQ(read.get(), data.size());
    EXPECT_EQ(got, data);
}

TEST_F(Hangs, AnUnplugReleasesACommEventWaiter) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTWAITCE"));
    StartLibrary();
    FT_HANDLE h = Open("FTWAITCE");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(FT_W32_SetCommMask(h, EV_RXCHAR | EV_CTS));
    auto wait = std::async(std::launch::async, [h] {
        uint32_t mask = 99;
        const int ok = FT_W32_WaitCommEvent(h, &mask, nullptr);
        return std::make_pair(ok, mask);
    });
    bed_->Unplug(chip);
    const bool ended = Ends(wait);
    if (!ended) FT_Close(h);
    ASSERT_TRUE(ended);
    const auto [ok, mask] = wait.get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(FT_W32_GetLastError(h), FT_IO_ERROR);
}

TEST_F(Hangs, AnUnplugSignalsTheNotificationHandle) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTWAITNH"));
    StartLibrary();
    FT_HANDLE h = Open("FTWAITNH");
    ASSERT_NE(h, nullptr);
    EVENT_HANDLE ev{};
    pthread_mutex_init(&ev.eMutex, nullptr);
    pthread_cond_init(&ev.eCondVar, nullptr);
    ASSERT_EQ(FT_SetEventNotification(h, FT_EVENT_RXCHAR, &ev), FT_OK);
    // As an application waits: look at the status, sleep on the handle. The
    // mutex is held from before the unplug, so no signal can be missed.
    pthread_mutex_lock(&ev.eMutex);
    uint32_t rx = 0, tx = 0, events = 0;
    FT_STATUS status = FT_GetStatus(h, &rx, &tx, &events);
    EXPECT_EQ(status, FT_OK);
    bed_->Unplug(chip);
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 20;
    while (status == FT_OK &&
           pthread_cond_timedwait(&ev.eCondVar, &ev.eMutex, &deadline) != ETIMEDOUT) {
        status = FT_GetStatus(h, &rx, &tx, &events);
    }
    pthread_mutex_unlock(&ev.eMutex);
    EXPECT_EQ(status, FT_IO_ERROR);
    EXPECT_EQ(FT_Close(h), FT_OK);
    pthread_cond_destroy(&ev.eCondVar);
    pthread_mutex_destroy(&ev.eMutex);
}

TEST_F(Hangs, AnApplicationHoldingItsNotificationMutexHoldsUpNoOtherDevice) {
    auto &gone = Add(WithSerial(ChipSpec::FT232R(), "FTNOTIFY"));
    auto &other = Add(WithSerial(ChipSpec::FT232R(), "FTOTHER2"));
    ftdisim::Loopback loopback;
    other.If(0).Attach(&loopback);
    StartLibrary();
    FT_HANDLE notified = Open("FTNOTIFY");
    FT_HANDLE h = Open("FTOTHER2");
    ASSERT_NE(notified, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(FT_SetTimeouts(h, 1000, 1000), FT_OK);
    EVENT_HANDLE ev{};
    pthread_mutex_init(&ev.eMutex, nullptr);
    pthread_cond_init(&ev.eCondVar, nullptr);
    ASSERT_EQ(FT_SetEventNotification(notified, FT_EVENT_RXCHAR, &ev), FT_OK);

    // The application sits on its notification mutex while its device goes.
    pthread_mutex_lock(&ev.eMutex);
    bed_->Unplug(gone);
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return !Record(notified)->alive; }));
    auto echo = std::async(std::launch::async, [h] {
        uint32_t written = 0, read = 0;
        char buf[5] = {};
        const FT_STATUS w = FT_Write(h, const_cast<char *>("ping"), 4, &written);
        const FT_STATUS r = FT_Read(h, buf, 4, &read);
        return w == FT_OK && r == FT_OK && written == 4 && std::string(buf, read) == "ping";
    });
    const bool ended = Ends(echo);
    pthread_mutex_unlock(&ev.eMutex);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(echo.get());
    // The device's own thread still tells the application that it is gone.
    uint32_t rx = 0, tx = 0, events = 0;
    pthread_mutex_lock(&ev.eMutex);
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 20;
    FT_STATUS status = FT_GetStatus(notified, &rx, &tx, &events);
    while (status == FT_OK &&
           pthread_cond_timedwait(&ev.eCondVar, &ev.eMutex, &deadline) != ETIMEDOUT) {
        status = FT_GetStatus(notified, &rx, &tx, &events);
    }
    pthread_mutex_unlock(&ev.eMutex);
    EXPECT_EQ(status, FT_IO_ERROR);
    EXPECT_EQ(FT_Close(notified), FT_OK);
    EXPECT_EQ(FT_Close(h), FT_OK);
    other.If(0).Attach(nullptr);
    pthread_cond_destroy(&ev.eCondVar);
    pthread_mutex_destroy(&ev.eMutex);
}

// --- silent failure ------------------------------------------------------------

class SilentFailure : public DeviceTest {};

TEST_F(SilentFailure, AFailedPurgeRequestFailsThePurgeAndKeepsTheQueue) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTPRGFAI"));
    StartLibrary();
    FT_HANDLE h = Open("FTPRGFAI");
    ASSERT_NE(h, nullptr);
    chip.If(0).InjectRx("kept");
    uint32_t n = 0;
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return FT_GetQueueStatus(h, &n) == FT_OK && n == 4; }));
    chip.ClearRequests();
    chip.FailRequest(RequestFault{kReqReset, uint16_t{1}, FaultMode::Stall, 0, 1});
    EXPECT_EQ(FT_Purge(h, FT_PURGE_RX), FT_IO_ERROR);
    EXPECT_EQ(Seen(chip, kReqReset, 1), 1u);  // nothing sent after the refusal
    EXPECT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(FT_Purge(h, FT_PURGE_RX), FT_OK);  // the fault has passed
    EXPECT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 0u);
}

TEST_F(SilentFailure, RefusedReceiveTransfersAreRetriedThenTheDeviceIsDead) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTBUSYIN"));
    StartLibrary();
    FT_HANDLE h = Open("FTBUSYIN");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(FT_SetTimeouts(h, devtest::kPatienceMs, 0), FT_OK);
    // A driver taking the interface makes every submission fail as busy.
    chip.SetKernelDriverBound(0, true);
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return chip.If(0).PendingIn() == 0; }));
    chip.SetKernelDriverBound(0, false);
    chip.If(0).InjectRx("back");
    char buf[8] = {};
    uint32_t n = 0;
    EXPECT_EQ(FT_Read(h, buf, 4, &n), FT_OK);
    EXPECT_EQ(std::string(buf, n), "back");

    // Refused for good: reads fail instead of returning nothing for ever.
    chip.SetKernelDriverBound(0, true);
    EXPECT_TRUE(ftdisim::WaitUntil([&] { return FT_GetQueueStatus(h, &n) == FT_IO_ERROR; }));
    EXPECT_EQ(FT_Read(h, buf, 1, &n), FT_IO_ERROR);
    chip.SetKernelDriverBound(0, false);
}

// --- data on unplug ----------------------------------------------------------

class DataOnUnplug : public DeviceTest {};

TEST_F(DataOnUnplug, BytesReceivedBeforeAnUnplugAreStillReadThenReadsFail) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTKEEPRX"));
    StartLibrary();
    FT_HANDLE h = Open("FTKEEPRX");
    ASSERT_NE(h, nullptr);
    const auto data = Pattern(2900);
    chip.If(0).InjectRx(data);
    uint32_t n = 0;
    ASSERT_TRUE(
        ftdisim::WaitUntil([&] { return FT_GetQueueStatus(h, &n) == FT_OK && n == data.size(); }));
    bed_->Unplug(chip);
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return !Record(h)->alive; }));

    uint32_t rx = 0, tx = 0, events = 0;
    EXPECT_EQ(FT_GetQueueStatusEx(h, &n), FT_OK);
    EXPECT_EQ(n, data.size());
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &events), FT_OK);
    EXPECT_EQ(rx, data.size());
    std::vector<uint8_t> got(4000);
    ASSERT_EQ(FT_Read(h, got.data(), 4000, &n), FT_OK);  // what is there, without waiting
    got.resize(n);
    EXPECT_EQ(got, data);

    EXPECT_EQ(FT_Read(h, got.data(), 1, &n), FT_IO_ERROR);
    EXPECT_EQ(FT_GetQueueStatus(h, &n), FT_IO_ERROR);
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &events), FT_IO_ERROR);
}

// --- calls racing the close ------------------------------------------------------

class RacingClose : public DeviceTest {};

TEST_F(RacingClose, CloseCancelsAWriteTheChipNeverAccepts) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTSTUCKW"));
    StartLibrary();
    FT_HANDLE h = Open("FTSTUCKW");
    ASSERT_NE(h, nullptr);
    chip.If(0).HoldOut(true);
    d2xx::DeviceExtension *record = Record(h);
    auto write = std::async(std::launch::async, [h] {
        uint32_t n = 0;
        return FT_Write(h, "stuck", 5, &n);  // no write time-out
    });
    ASSERT_TRUE(ftdisim::WaitUntil([&] {
        std::scoped_lock lock(record->out_mutex);
        return record->out_transfer != nullptr;
    }));
    auto close = std::async(std::launch::async, [h] { return FT_Close(h); });
    const bool closed = Ends(close);
    if (!closed) bed_->Unplug(chip);
    ASSERT_TRUE(closed);
    EXPECT_EQ(close.get(), FT_OK);
    EXPECT_EQ(write.get(), FT_IO_ERROR);
}

TEST_F(RacingClose, CallsInFlightFinishAndTheHandleClosesAfterThem) {
    auto &chip = Add(WithSerial(ChipSpec::FT232R(), "FTRACECL"));
    StartLibrary();
    FT_HANDLE h = Open("FTRACECL");
    ASSERT_NE(h, nullptr);
    ControlTimeout bounded(1000);
    chip.FailRequest(kReqSetBaudRate, FaultMode::Timeout, -1);
    auto baud = std::async(std::launch::async, [h] { return FT_SetBaudRate(h, 9600); });
    auto info = std::async(std::launch::async, [h] {
        FT_STATUS status = FT_OK;
        char serial[18], description[68];
        while (status == FT_OK) {
            FT_DEVICE type = 0;
            uint32_t id = 0;
            status = FT_GetDeviceInfo(h, &type, &id, serial, description, nullptr);
        }
        return status;
    });
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return Seen(chip, kReqSetBaudRate) > 0; }));
    EXPECT_EQ(FT_Close(h), FT_OK);  // while the request is unanswered
    EXPECT_EQ(baud.get(), FT_IO_ERROR);
    EXPECT_EQ(info.get(), FT_INVALID_HANDLE);
    EXPECT_EQ(OpenUsbFiles(), 0);
    chip.ClearFaults();
    EXPECT_NE(Open("FTRACECL"), nullptr);
}
