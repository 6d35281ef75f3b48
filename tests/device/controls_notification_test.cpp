// Event notification end to end: an application armed with its own condition
// variable is woken when bytes arrive, arming and disarming, and bits still
// collected from an unplugged device. Which condition wins and the one bit
// at a time rule are pinned on the receive engine itself (lib tests).
#include <atomic>
#include <ctime>
#include <thread>

#include "device_fixture.h"

namespace {

using ftdisim::ChipSpec;

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
    uint32_t Collect() const {
        uint32_t bits = 0xDEAD;
        EXPECT_EQ(FT_GetEventStatus(h_, &bits), FT_OK);
        return bits;
    }
    void QueueHolds(uint32_t n) const {
        uint32_t q = 0;
        ASSERT_TRUE(ftdisim::WaitUntil([&] {
            return FT_GetQueueStatus(h_, &q) == FT_OK && q == n;
        })) << q;
    }

    ftdisim::Chip *chip_ = nullptr;
    FT_HANDLE h_ = nullptr;
    AppEvent ev_;  // outlives TearDown's close, after which nothing signals it
};

TEST_F(NotificationTest, AnApplicationWaitingOnItsEventWakesWhenBytesArrive) {
    ASSERT_EQ(FT_SetEventNotification(h_, FT_EVENT_RXCHAR, &ev_.h), FT_OK);
    for (int round = 0; round < 5; ++round) {
        std::atomic<bool> ready{false};
        uint32_t collected = 0;
        // The usual application loop: sleep on the event until a collected
        // status says bytes are there.
        std::thread app([&] {
            pthread_mutex_lock(&ev_.h.eMutex);
            ready = true;
            for (int tries = 0; tries < 20; ++tries) {
                FT_GetEventStatus(h_, &collected);
                if (collected & FT_EVENT_RXCHAR) break;
                timespec deadline{};
                clock_gettime(CLOCK_REALTIME, &deadline);
                deadline.tv_sec += 1;
                pthread_cond_timedwait(&ev_.h.eCondVar, &ev_.h.eMutex, &deadline);
            }
            pthread_mutex_unlock(&ev_.h.eMutex);
        });
        while (!ready) std::this_thread::yield();
        // The application is waiting once it has released its mutex.
        pthread_mutex_lock(&ev_.h.eMutex);
        pthread_mutex_unlock(&ev_.h.eMutex);
        chip_->If(0).InjectRx("z");
        app.join();
        ASSERT_TRUE(collected & FT_EVENT_RXCHAR) << "round " << round;
        char byte = 0;
        uint32_t got = 0;
        ASSERT_EQ(FT_Read(h_, &byte, 1, &got), FT_OK);
    }
}

TEST_F(NotificationTest, ArmingDropsPendingBitsAndDisarmingStopsRecording) {
    ASSERT_EQ(FT_SetEventNotification(h_, FT_EVENT_RXCHAR, &ev_.h), FT_OK);
    chip_->If(0).InjectRx("a");
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return Pending() != 0; }));
    EXPECT_EQ(Pending(), FT_EVENT_RXCHAR);
    // Arming again starts from nothing.
    ASSERT_EQ(FT_SetEventNotification(h_, FT_EVENT_RXCHAR | FT_EVENT_MODEM_STATUS, &ev_.h), FT_OK);
    EXPECT_EQ(Pending(), 0u);
    // A null event handle is refused and changes nothing.
    EXPECT_EQ(FT_SetEventNotification(h_, 0, nullptr), FT_INVALID_PARAMETER);
    chip_->If(0).SetModemLines(MS_CTS_ON);
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return Pending() != 0; }));
    EXPECT_EQ(Collect(), FT_EVENT_MODEM_STATUS);
    EXPECT_EQ(Collect(), 0u);

    ASSERT_EQ(FT_SetEventNotification(h_, 0, &ev_.h), FT_OK);
    chip_->If(0).InjectRx("b");
    QueueHolds(2);
    EXPECT_EQ(Pending(), 0u);
    // Disarmed, the comm events of the Win32-style calls are recorded again.
    ASSERT_EQ(FT_W32_SetCommMask(h_, EV_RXCHAR), 1);
    chip_->If(0).InjectRx("c");
    uint32_t mask = 0;
    EXPECT_EQ(FT_W32_WaitCommEvent(h_, &mask, nullptr), 1);
    EXPECT_EQ(mask, static_cast<uint32_t>(EV_RXCHAR));
    EXPECT_EQ(FT_SetWaitMask(h_, 1), FT_NOT_SUPPORTED);
    EXPECT_EQ(FT_WaitOnMask(h_, &mask), FT_NOT_SUPPORTED);
}

TEST_F(NotificationTest, PendingBitsCanBeCollectedFromADeadDevice) {
    ASSERT_EQ(FT_SetEventNotification(h_, FT_EVENT_RXCHAR, &ev_.h), FT_OK);
    chip_->If(0).InjectRx("a");
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return Pending() != 0; }));
    bed_->Unplug(*chip_);
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return !Record(h_)->alive; }));
    EXPECT_EQ(Collect(), FT_EVENT_RXCHAR);
}

}  // namespace
