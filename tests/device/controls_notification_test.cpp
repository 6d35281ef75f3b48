// Event notification against a simulated chip: an application armed with
// its own condition variable is woken when bytes, a modem-line change or a
// line error arrive, one condition at a time until it collects it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

#include "device_fixture.h"

namespace {

using namespace std::chrono_literals;
using ftdisim::Chip;
using ftdisim::ChipSpec;
using Clock = std::chrono::steady_clock;

// The application's event handle, as the published interface shapes it.
struct AppEvent {
    EVENT_HANDLE h{};
    AppEvent() {
        pthread_mutex_init(&h.eMutex, nullptr);
        pthread_cond_init(&h.eCondVar, nullptr);
    }
    ~AppEvent() {
        pthread_cond_destroy(&h.eCondVar);
        pthread_mutex_destroy(&h.eMutex);
    }
    AppEvent(const AppEvent &) = delete;
    AppEvent &operator=(const AppEvent &) = delete;
};

timespec RealtimeIn(std::chrono::milliseconds ms) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const long long ns = ts.tv_nsec + ms.count() * 1000000LL;
    ts.tv_sec += static_cast<time_t>(ns / 1000000000LL);
    ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return ts;
}

// Counts the signals the library sends to an application event. The
// counting thread holds the event's mutex except while it waits, so a
// signal (sent under that mutex) always finds it waiting.
class SignalCounter {
  public:
    explicit SignalCounter(AppEvent &ev) : ev_(ev), thread_([this] { Run(); }) {
        while (!waiting_) std::this_thread::yield();
    }
    ~SignalCounter() {
        stop_ = true;
        thread_.join();
    }
    int Count() const { return count_; }

  private:
    void Run() {
        pthread_mutex_lock(&ev_.h.eMutex);
        waiting_ = true;
        while (!stop_) {
            const timespec deadline = RealtimeIn(20ms);
            if (pthread_cond_timedwait(&ev_.h.eCondVar, &ev_.h.eMutex, &deadline) == 0) ++count_;
        }
        pthread_mutex_unlock(&ev_.h.eMutex);
    }

    AppEvent &ev_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> waiting_{false};
    std::atomic<int> count_{0};
    std::thread thread_;
};

class NotificationTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        chip_ = &Add(WithSerial(ChipSpec::FT232R(), "R1"));
        StartLibrary();
        h_ = Open("R1");
        ASSERT_NE(h_, nullptr);
    }

    uint32_t Pending() const { return Record(h_)->event_status.load(); }
    uint32_t Queued() const {
        uint32_t n = 0;
        EXPECT_EQ(FT_GetQueueStatus(h_, &n), FT_OK);
        return n;
    }
    uint32_t Collect() const {
        uint32_t bits = 0xDEAD;
        EXPECT_EQ(FT_GetEventStatus(h_, &bits), FT_OK);
        return bits;
    }
    // Waits until the receive queue holds n bytes, then a little longer so
    // that an event wrongly raised by the same packet would be visible.
    void SettleAt(uint32_t n) const {
        ASSERT_TRUE(ftdisim::WaitUntil([&] { return Queued() == n; })) << Queued();
        std::this_thread::sleep_for(100ms);
    }
    // Delivers bytes, a modem-line state and line errors in one packet.
    void OnePacket(const char *bytes, uint8_t lines, uint8_t errors) {
        ftdisim::Interface &i = chip_->If(0);
        i.HoldIn(true);
        i.SetModemLines(lines);
        if (errors) i.InjectLineError(errors);
        if (*bytes) i.InjectRx(bytes);
        i.HoldIn(false);
    }

    Chip *chip_ = nullptr;
    FT_HANDLE h_ = nullptr;
    // Outlives TearDown's close, after which the library can no longer
    // signal it.
    AppEvent ev_;
};

TEST_F(NotificationTest, ArrivingBytesRecordOneBitAndSignalOnceUntilCollected) {
    SignalCounter counter(ev_);
    ASSERT_EQ(FT_SetEventNotification(h_, FT_EVENT_RXCHAR, &ev_.h), FT_OK);
    EXPECT_EQ(Record(h_)->notify_handle.load(), h_);
    // Status-only packets keep arriving: they are no event.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Pending(), 0u);
    EXPECT_EQ(counter.Count(), 0);

    chip_->If(0).InjectRx("a");
    SettleAt(1);
    EXPECT_EQ(Pending(), FT_EVENT_RXCHAR);
    EXPECT_EQ(counter.Count(), 1);
    // More bytes while the bit waits: nothing new, no second signal.
    chip_->If(0).InjectRx("bc");
    SettleAt(3);
    chip_->If(0).InjectRx("d");
    SettleAt(4);
    EXPECT_EQ(Pending(), FT_EVENT_RXCHAR);
    EXPECT_EQ(counter.Count(), 1);

    EXPECT_EQ(Collect(), FT_EVENT_RXCHAR);
    EXPECT_EQ(Collect(), 0u);
    chip_->If(0).InjectRx("e");
    SettleAt(5);
    EXPECT_EQ(Pending(), FT_EVENT_RXCHAR);
    EXPECT_EQ(counter.Count(), 2);
    EXPECT_EQ(FT_Close(h_), FT_OK);
}

TEST_F(NotificationTest, BytesComeBeforeModemChangesWhichComeBeforeLineErrors) {
    const uint32_t all = FT_EVENT_RXCHAR | FT_EVENT_MODEM_STATUS | FT_EVENT_LINE_STATUS;
    struct Case {
        uint32_t mask;
        uint32_t recorded;
    };
    const Case cases[] = {
        {all, FT_EVENT_RXCHAR},
        {FT_EVENT_MODEM_STATUS | FT_EVENT_LINE_STATUS, FT_EVENT_MODEM_STATUS},
        {FT_EVENT_LINE_STATUS, FT_EVENT_LINE_STATUS},
        {FT_EVENT_RXCHAR | FT_EVENT_LINE_STATUS, FT_EVENT_RXCHAR},
    };
    uint8_t lines = 0;
    uint32_t queued = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.mask);
        ASSERT_EQ(FT_SetEventNotification(h_, k.mask, &ev_.h), FT_OK);
        // One packet with a byte, a changed CTS/DSR and a parity error.
        lines ^= MS_CTS_ON | MS_DSR_ON;
        OnePacket("x", lines, 0x04);
        SettleAt(++queued);
        EXPECT_EQ(Pending(), k.recorded);
        EXPECT_EQ(Collect(), k.recorded);
        // The conditions passed over are not kept for later.
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(Pending(), 0u);
    }

    // What the mask leaves out is not recorded at all.
    ASSERT_EQ(FT_SetEventNotification(h_, FT_EVENT_MODEM_STATUS, &ev_.h), FT_OK);
    chip_->If(0).InjectRx("y");
    SettleAt(++queued);
    EXPECT_EQ(Pending(), 0u);
    chip_->If(0).SetModemLines(lines ^ MS_RING_ON);
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return Pending() != 0; }));
    EXPECT_EQ(Collect(), FT_EVENT_MODEM_STATUS);
}

TEST_F(NotificationTest, APendingBitHoldsBackEveryOtherCondition) {
    SignalCounter counter(ev_);
    ASSERT_EQ(FT_SetEventNotification(h_, FT_EVENT_RXCHAR | FT_EVENT_MODEM_STATUS, &ev_.h), FT_OK);
    chip_->If(0).InjectRx("a");
    SettleAt(1);
    chip_->If(0).SetModemLines(MS_CTS_ON);
    uint32_t modem = 0;
    ASSERT_TRUE(ftdisim::WaitUntil(
        [&] { return FT_GetModemStatus(h_, &modem) == FT_OK && modem == MS_CTS_ON; }));
    EXPECT_EQ(Pending(), FT_EVENT_RXCHAR);
    EXPECT_EQ(counter.Count(), 1);
    EXPECT_EQ(Collect(), FT_EVENT_RXCHAR);

    // Collected: the next change is recorded and signalled.
    chip_->If(0).SetModemLines(0);
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return Pending() != 0; }));
    EXPECT_EQ(Pending(), FT_EVENT_MODEM_STATUS);
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return counter.Count() == 2; }));
    EXPECT_EQ(FT_Close(h_), FT_OK);
}

TEST_F(NotificationTest, ArmingDropsPendingBitsAndDisarmingStopsRecording) {
    ASSERT_EQ(FT_SetEventNotification(h_, FT_EVENT_RXCHAR, &ev_.h), FT_OK);
    chip_->If(0).InjectRx("a");
    SettleAt(1);
    ASSERT_EQ(Pending(), FT_EVENT_RXCHAR);
    // Arming again starts from nothing.
    ASSERT_EQ(FT_SetEventNotification(h_, FT_EVENT_RXCHAR, &ev_.h), FT_OK);
    EXPECT_EQ(Pending(), 0u);

    // A null event handle is refused and changes nothing, mask 0 included.
    EXPECT_EQ(FT_SetEventNotification(h_, FT_EVENT_MODEM_STATUS, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_SetEventNotification(h_, 0, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(Record(h_)->notify_mask.load(), FT_EVENT_RXCHAR);
    EXPECT_EQ(Record(h_)->event_mode.load() & 1u, 1u);

    {
        SignalCounter counter(ev_);
        ASSERT_EQ(FT_SetEventNotification(h_, 0, &ev_.h), FT_OK);
        EXPECT_EQ(Record(h_)->event_mode.load() & 1u, 0u);
        chip_->If(0).InjectRx("b");
        chip_->If(0).SetModemLines(MS_RLSD_ON);
        SettleAt(2);
        EXPECT_EQ(Pending(), 0u);
        EXPECT_EQ(counter.Count(), 0);
    }
    uint32_t bits = 0;
    EXPECT_EQ(FT_GetEventStatus(h_, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_GetEventStatus(nullptr, &bits), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_SetEventNotification(nullptr, FT_EVENT_RXCHAR, &ev_.h), FT_INVALID_HANDLE);
    int bogus = 0;
    EXPECT_EQ(FT_SetEventNotification(&bogus, FT_EVENT_RXCHAR, &ev_.h), FT_INVALID_HANDLE);
    // The Win32 wait-mask pair is not offered, whatever the handle.
    EXPECT_EQ(FT_SetWaitMask(nullptr, 1), FT_NOT_SUPPORTED);
    EXPECT_EQ(FT_WaitOnMask(&bogus, &bits), FT_NOT_SUPPORTED);
    EXPECT_EQ(FT_SetWaitMask(h_, 1), FT_NOT_SUPPORTED);
}

TEST_F(NotificationTest, PendingBitsCanBeCollectedFromADeadDevice) {
    ASSERT_EQ(FT_SetEventNotification(h_, FT_EVENT_RXCHAR, &ev_.h), FT_OK);
    chip_->If(0).InjectRx("a");
    SettleAt(1);
    bed_->Unplug(*chip_);
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return !Record(h_)->alive; }));
    EXPECT_EQ(Collect(), FT_EVENT_RXCHAR);
}

TEST_F(NotificationTest, AnApplicationWaitingOnItsEventWakesWhenBytesArrive) {
    ASSERT_EQ(FT_SetEventNotification(h_, FT_EVENT_RXCHAR, &ev_.h), FT_OK);
    constexpr int kRounds = 20;
    std::vector<double> latencies_ms;
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<bool> ready{false};
        Clock::time_point woke{};
        uint32_t collected = 0;
        // The usual application loop: sleep on the event until a collected
        // status says bytes are there.
        std::thread app([&] {
            pthread_mutex_lock(&ev_.h.eMutex);
            ready = true;
            const Clock::time_point give_up = Clock::now() + 5s;
            while (Clock::now() < give_up) {
                FT_GetEventStatus(h_, &collected);
                if (collected & FT_EVENT_RXCHAR) break;
                const timespec deadline = RealtimeIn(1000ms);
                pthread_cond_timedwait(&ev_.h.eCondVar, &ev_.h.eMutex, &deadline);
            }
            woke = Clock::now();
            pthread_mutex_unlock(&ev_.h.eMutex);
        });
        while (!ready) std::this_thread::yield();
        // The application is waiting once it has released its mutex.
        pthread_mutex_lock(&ev_.h.eMutex);
        pthread_mutex_unlock(&ev_.h.eMutex);
        const Clock::time_point sent = Clock::now();
        chip_->If(0).InjectRx("z");
        app.join();
        ASSERT_TRUE(collected & FT_EVENT_RXCHAR) << "round " << round;
        const double ms = std::chrono::duration<double, std::milli>(woke - sent).count();
        EXPECT_LT(ms, 2000.0) << "round " << round;
        latencies_ms.push_back(ms);
        // Empty the queue for the next round.
        char byte = 0;
        uint32_t got = 0;
        ASSERT_EQ(FT_Read(h_, &byte, 1, &got), FT_OK);
        ASSERT_EQ(got, 1u);
    }
    std::sort(latencies_ms.begin(), latencies_ms.end());
    std::printf("wake-up after arrival: median %.2f ms, max %.2f ms over %d rounds\n",
                latencies_ms[kRounds / 2], latencies_ms.back(), kRounds);
    RecordProperty("median_wake_ms", std::to_string(latencies_ms[kRounds / 2]));
    EXPECT_EQ(FT_Close(h_), FT_OK);
}

}  // namespace
