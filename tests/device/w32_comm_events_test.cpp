// Comm events through the Win32-style calls against a simulated chip: what
// ends FT_W32_WaitCommEvent (a matching event, a mask change, a write, the
// close, also while the waiter is stopped in the middle of its wait), what
// is lost, and the line errors and queue state that FT_W32_ClearCommError
// collects.
#include <semaphore.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <string>

#include "device_fixture.h"

namespace {

using namespace std::chrono_literals;
using ftdisim::ChipSpec;

constexpr uint32_t kUntouched = 0xDEADBEEF;
// Bounds a wait that must end; far above what any of them takes.
constexpr auto kMustEnd = 20s;

struct WaitOutcome {
    int result;
    uint32_t mask;
};

class W32EventTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        chip_ = &Add(ChipSpec::FT232R());
        StartLibrary();
        h_ = Open("FT000001");
        ASSERT_NE(h_, nullptr);
    }

    void TearDown() override {
        // A waiter left behind by a failed check must not outlive the record.
        const auto give_up = std::chrono::steady_clock::now() + kMustEnd;
        while (waiter_.valid() && waiter_.wait_for(10ms) != std::future_status::ready &&
               std::chrono::steady_clock::now() < give_up) {
            FT_W32_SetCommMask(h_, 0);
        }
        DeviceTest::TearDown();
    }

    void StartWait() {
        waiter_ = std::async(std::launch::async, [h = h_] {
            uint32_t mask = kUntouched;
            const int r = FT_W32_WaitCommEvent(h, &mask, nullptr);
            return WaitOutcome{r, mask};
        });
    }

    // Returns once the waiter has gone round its loop at least once, so it
    // waits for (or has already seen) whatever the test does next. Setting
    // comm_event with nothing behind it only makes the waiter look again; it
    // resets the event each time it looks.
    void WaiterIsBlocked() {
        WaiterLooksAgain();
        ASSERT_NE(waiter_.wait_for(0s), std::future_status::ready) << "the wait ended early";
    }
    void WaiterLooksAgain() {
        d2xx::DeviceExtension *record = Record(h_);
        record->comm_event.Set();
        ASSERT_TRUE(ftdisim::WaitUntil([record] { return !record->comm_event.IsSet(); }, kMustEnd));
    }

    WaitOutcome Outcome() {
        if (waiter_.wait_for(kMustEnd) != std::future_status::ready) {
            ADD_FAILURE() << "FT_W32_WaitCommEvent did not return";
            return {-1, kUntouched};
        }
        return waiter_.get();
    }

    ftdisim::Chip *chip_ = nullptr;
    FT_HANDLE h_ = nullptr;
    std::future<WaitOutcome> waiter_;
};

TEST_F(W32EventTest, WaitWithoutAMaskFailsAtOnce) {
    uint32_t mask = kUntouched;
    EXPECT_EQ(FT_W32_WaitCommEvent(h_, &mask, nullptr), 0);
    EXPECT_EQ(FT_W32_GetLastError(h_), FT_INVALID_PARAMETER);
    EXPECT_EQ(mask, kUntouched);

    ASSERT_EQ(FT_W32_SetCommMask(h_, EV_RXCHAR), 1);
    ASSERT_EQ(FT_W32_SetCommMask(h_, 0), 1);
    EXPECT_EQ(FT_W32_WaitCommEvent(h_, &mask, nullptr), 0) << "a mask of 0 again";
}

TEST_F(W32EventTest, MatchingEventsEndTheWait) {
    ASSERT_EQ(FT_W32_SetCommMask(h_, EV_RXCHAR), 1);
    StartWait();
    chip_->If(0).InjectRx("abc");
    WaitOutcome o = Outcome();
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.mask, EV_RXCHAR);

    ASSERT_EQ(FT_W32_SetCommMask(h_, EV_CTS | EV_RLSD | EV_RING), 1);
    StartWait();
    WaiterIsBlocked();
    chip_->If(0).SetModemLines(0x10);
    o = Outcome();
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.mask, EV_CTS);

    StartWait();
    chip_->If(0).SetModemLines(0x10 | 0x80 | 0x40);  // DCD and RI change, CTS stays
    o = Outcome();
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.mask, EV_RLSD | EV_RING);
}

TEST_F(W32EventTest, TheEventCharacterOfTheCommStateRaisesRxFlag) {
    FTDCB dcb{};
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.EvtChar = '!';
    ASSERT_EQ(FT_W32_SetCommState(h_, &dcb), 1);
    ASSERT_EQ(FT_W32_SetCommMask(h_, EV_RXFLAG), 1);
    StartWait();
    WaiterIsBlocked();
    chip_->If(0).InjectRx("no mark");
    ASSERT_TRUE(ftdisim::WaitUntil([&] {
        uint32_t n = 0;
        return FT_GetQueueStatus(h_, &n) == FT_OK && n == 7;
    }));
    WaiterIsBlocked();  // bytes without the event character raise only EV_RXCHAR
    chip_->If(0).InjectRx("mark!");
    const WaitOutcome o = Outcome();
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.mask, EV_RXFLAG);
}

TEST_F(W32EventTest, SetCommMaskFromAnotherThreadEndsThePendingWait) {
    Record(h_)->event_mode = 1;  // as if FT_SetEventNotification had armed it
    ASSERT_EQ(FT_W32_SetCommMask(h_, EV_RING), 1);
    EXPECT_EQ(Record(h_)->event_mode.load() & 1u, 0u) << "notification is disarmed";
    StartWait();
    WaiterIsBlocked();
    ASSERT_EQ(FT_W32_SetCommMask(h_, EV_RXCHAR), 1);
    WaitOutcome o = Outcome();
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.mask, 0u);
    EXPECT_EQ(FT_W32_GetLastError(h_), FT_OK);

    // The new mask is in force for the next wait.
    StartWait();
    chip_->If(0).InjectRx("x");
    o = Outcome();
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.mask, EV_RXCHAR);
}

TEST_F(W32EventTest, AWriteRaisesTxEmpty) {
    ASSERT_EQ(FT_W32_SetCommMask(h_, EV_TXEMPTY), 1);
    StartWait();
    WaiterIsBlocked();
    uint32_t n = 0;
    ASSERT_EQ(FT_W32_WriteFile(h_, "ping", 4, &n, nullptr), 1);
    const WaitOutcome o = Outcome();
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.mask, EV_TXEMPTY);
}

// True while thread `tid` of this process sleeps in a futex wait.
bool InFutexWait(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return (in >> number) && number == SYS_futex;
}

// Holds the thread it is sent to inside the handler until released.
sem_t g_parked, g_release;
void Park(int) {
    sem_post(&g_parked);
    while (sem_wait(&g_release) != 0) {
    }
}

TEST_F(W32EventTest, CloseWhileTheWaiterIsStoppedLeavesItALiveRecord) {
    // The waiter is stopped in the middle of its wait, the handle is closed
    // and the close returns, and only then does the waiter go on: whatever
    // it touches must still be there (under AddressSanitizer a freed record
    // is a report, not a chance).
    ASSERT_EQ(FT_W32_SetCommMask(h_, EV_RING), 1);
    ASSERT_EQ(sem_init(&g_parked, 0, 0), 0);
    ASSERT_EQ(sem_init(&g_release, 0, 0), 0);
    struct sigaction park {
    }, old{};
    park.sa_handler = Park;
    sigemptyset(&park.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &park, &old), 0);
    WaitOutcome o{-1, kUntouched};
    std::atomic<pid_t> tid{0};
    std::thread waiter([&o, &tid, h = h_] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        o.result = FT_W32_WaitCommEvent(h, &o.mask, nullptr);
    });
    WaiterLooksAgain();
    // Stopped only once it sleeps on the event: holding the record's lock it
    // would keep the close from ever returning.
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return tid != 0 && InFutexWait(tid); }, kMustEnd));
    ASSERT_EQ(pthread_kill(waiter.native_handle(), SIGUSR1), 0);
    while (sem_wait(&g_parked) != 0) {
    }
    // A close that frees the record under the waiter cannot even return: it
    // would wait for the stopped waiter to leave the record's event.
    auto closing = std::async(std::launch::async, [h = h_] { return FT_W32_CloseHandle(h); });
    EXPECT_EQ(closing.wait_for(kMustEnd), std::future_status::ready)
        << "the close is destroying the record under the waiter";
    sem_post(&g_release);
    waiter.join();
    EXPECT_EQ(closing.get(), 1);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.mask, 0u);
    EXPECT_EQ(FT_W32_GetLastError(h_), FT_INVALID_HANDLE);
    sigaction(SIGUSR1, &old, nullptr);
    sem_destroy(&g_parked);
    sem_destroy(&g_release);
}

TEST_F(W32EventTest, CloseRacingTheStartOfAWaitNeverStrandsIt) {
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        if (round > 0) {
            h_ = Open("FT000001");
            ASSERT_NE(h_, nullptr);
        }
        ASSERT_EQ(FT_W32_SetCommMask(h_, EV_RING), 1);
        StartWait();
        ASSERT_EQ(FT_W32_CloseHandle(h_), 1);
        const WaitOutcome o = Outcome();
        EXPECT_EQ(o.result, 0);
        // A wait that began before the close reports no event; one that
        // came after it found an invalid handle and stored nothing.
        EXPECT_TRUE(o.mask == 0 || o.mask == kUntouched) << o.mask;
    }
}

// Several threads may wait on one handle: what ends one wait for good (the
// close, the loss of the device) ends every one of them.
TEST_F(W32EventTest, EveryWaiterOnAHandleEndsAtTheCloseAndAtTheUnplug) {
    for (const bool unplug : {false, true}) {
        SCOPED_TRACE(unplug ? "unplug" : "close");
        if (unplug) {
            h_ = Open("FT000001");
            ASSERT_NE(h_, nullptr);
        }
        ASSERT_EQ(FT_W32_SetCommMask(h_, EV_RING), 1);
        std::vector<std::future<int>> waiters;
        for (int i = 0; i < 4; ++i) {
            waiters.push_back(std::async(std::launch::async, [h = h_] {
                uint32_t mask = kUntouched;
                return FT_W32_WaitCommEvent(h, &mask, nullptr);
            }));
        }
        // Every waiter gets round its loop and goes to sleep on the event.
        for (int i = 0; i < 20; ++i) WaiterLooksAgain();
        if (unplug) {
            bed_->Unplug(*chip_);
        } else {
            ASSERT_EQ(FT_W32_CloseHandle(h_), 1);
        }
        d2xx::DeviceExtension *record = Record(h_);  // alive while a waiter holds it
        int ended = 0;
        for (auto &w : waiters) {
            if (w.wait_for(kMustEnd) != std::future_status::ready) continue;
            EXPECT_EQ(w.get(), 0);
            ++ended;
        }
        EXPECT_EQ(ended, 4);
        // Left waiting, they would keep the record for ever: wake them one
        // by one so that the test ends.
        for (auto &w : waiters) {
            while (w.valid() && w.wait_for(10ms) != std::future_status::ready) {
                record->comm_event.Set();
            }
        }
    }
    EXPECT_EQ(FT_W32_GetLastError(h_), FT_IO_ERROR);
}

TEST_F(W32EventTest, ClearCommErrorCollectsLineErrorsOnce) {
    ASSERT_EQ(FT_W32_SetCommMask(h_, EV_ERR), 1);
    for (uint8_t bit : {CE_RXPARITY, CE_FRAME, CE_OVERRUN, CE_BREAK}) {
        SCOPED_TRACE(int{bit});
        // Line errors count when they come with data, as they do on a wire.
        chip_->If(0).HoldIn(true);
        StartWait();
        chip_->If(0).InjectLineError(bit);
        chip_->If(0).InjectRx("x");
        chip_->If(0).HoldIn(false);
        const WaitOutcome o = Outcome();
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.mask, EV_ERR);
    }

    Record(h_)->event_status = FT_EVENT_RXCHAR | FT_EVENT_LINE_STATUS;
    uint32_t errors = 0;
    FTCOMSTAT st;
    std::memset(&st, 0xFF, sizeof st);
    ASSERT_EQ(FT_W32_ClearCommError(h_, &errors, &st), 1);
    EXPECT_EQ(errors, CE_RXPARITY | CE_FRAME | CE_OVERRUN | CE_BREAK);
    EXPECT_EQ(
        st.fCtsHold | st.fDsrHold | st.fRlsdHold | st.fXoffHold | st.fXoffSent | st.fEof | st.fTxim,
        0u);
    EXPECT_EQ(st.fReserved, 0x1FFFFFFu) << "the reserved bits are the caller's";
    EXPECT_EQ(st.cbInQue, 4u);
    EXPECT_EQ(st.cbOutQue, 0u);
    EXPECT_EQ(Record(h_)->event_status.load(), 0u) << "pending notification bits are dropped";

    ASSERT_EQ(FT_W32_ClearCommError(h_, &errors, &st), 1);
    EXPECT_EQ(errors, 0u) << "errors are reported once";
}

}  // namespace
