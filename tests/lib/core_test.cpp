// Library start-up, the accepted-id table, the handle registry, the event
// object, and the version and platform calls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "Event.h"
#include "ftd2xx-private.h"
#include "ftd2xx.h"

using namespace std::chrono_literals;
using d2xx::Event;

namespace {

using Clock = std::chrono::steady_clock;

TEST(IdTable, GrowsByDoublingAndKeepsOrderWithoutDuplicates) {
    d2xx::IdTable t(24);
    for (uint32_t i = 0; i < 24; ++i) ASSERT_EQ(t.Add(0x10000 + i), 0);
    EXPECT_EQ(t.capacity(), 24);
    EXPECT_EQ(t.Add(0x10005), 0);  // present: success, nothing added
    EXPECT_EQ(t.id_count(), 24);
    EXPECT_EQ(t.FinalEntry(), 0x10017u);
    EXPECT_EQ(t.Add(0xABCD1234), 0);  // the 25th distinct id
    EXPECT_EQ(t.capacity(), 48);
    EXPECT_EQ(t.id_count(), 25);
    EXPECT_EQ(t.FinalEntry(), 0xABCD1234u);
    EXPECT_TRUE(t.Find(0x10000));
    EXPECT_FALSE(t.Find(0x20000));
}

TEST(AcceptedIds, DefaultsThenApplicationIdsAreReportedAndMatched) {
    uint32_t vid = 0, pid = 0;
    ASSERT_EQ(FT_GetVIDPID(&vid, &pid), FT_OK);
    EXPECT_EQ(vid, 0x15D6u);
    EXPECT_EQ(pid, 0x0001u);

    EXPECT_EQ(FT_SetVIDPID(0, 0), FT_OK);            // ignored
    EXPECT_EQ(FT_SetVIDPID(0x0403, 0x6001), FT_OK);  // already a default
    ASSERT_EQ(FT_GetVIDPID(&vid, &pid), FT_OK);
    EXPECT_EQ(vid, 0x15D6u);
    EXPECT_EQ(pid, 0x0001u);

    {
        d2xx::LibraryLock lock;
        ASSERT_TRUE(lock.ok());
        EXPECT_EQ(d2xx::DeviceMatch(0x0403, 0x6015), 1);
        EXPECT_EQ(d2xx::DeviceMatch(0x0403, 0x6002), 0);
        EXPECT_EQ(d2xx::DeviceMatch(0x1234, 0x5678), 0);
    }
    EXPECT_EQ(FT_SetVIDPID(0x1234, 0x15678), FT_OK);  // the product keeps its low 16 bits
    ASSERT_EQ(FT_GetVIDPID(&vid, &pid), FT_OK);
    EXPECT_EQ(vid, 0x1234u);
    EXPECT_EQ(pid, 0x5678u);
    {
        d2xx::LibraryLock lock;
        EXPECT_EQ(d2xx::DeviceMatch(0x1234, 0x5678), 1);
        EXPECT_EQ(d2xx::DeviceMatch(0x0403, 0x6001), 1);  // defaults stay
    }
    EXPECT_EQ(FT_GetVIDPID(nullptr, &pid), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_GetVIDPID(&vid, nullptr), FT_INVALID_PARAMETER);
}

TEST(Versions, LibraryAndDriverReportOnePackedNumber) {
    uint32_t v = 0;
    ASSERT_EQ(FT_GetLibraryVersion(&v), FT_OK);
    EXPECT_EQ(v, 0x00010408u);
    EXPECT_EQ(v, 66568u);
    uint32_t d = 0;
    int not_a_record = 0;
    EXPECT_EQ(FT_GetDriverVersion(&not_a_record, &d), FT_OK);
    EXPECT_EQ(d, v);
    d = 0;
    EXPECT_EQ(FT_GetDriverVersion(nullptr, &d), FT_OK);
    EXPECT_EQ(d, v);
    EXPECT_EQ(FT_GetLibraryVersion(nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_GetDriverVersion(nullptr, nullptr), FT_INVALID_PARAMETER);
}

TEST(PlatformCalls, AnswerNotSupportedWhateverTheyAreGiven) {
    int bogus = 0;
    int32_t port = 77;
    EXPECT_EQ(FT_Rescan(), FT_NOT_SUPPORTED);
    EXPECT_EQ(FT_Reload(0x0403, 0x6001), FT_NOT_SUPPORTED);
    EXPECT_EQ(FT_GetComPortNumber(&bogus, &port), FT_NOT_SUPPORTED);
    EXPECT_EQ(port, 77);  // nothing stored
    EXPECT_EQ(FT_GetComPortNumber(nullptr, nullptr), FT_NOT_SUPPORTED);
    EXPECT_EQ(FT_ComPortIdle(nullptr), FT_NOT_SUPPORTED);
    EXPECT_EQ(FT_ComPortCancelIdle(&bogus), FT_NOT_SUPPORTED);
}

TEST(EventObject, StaysSetUntilResetAndReleasesEveryWait) {
    Event e;
    EXPECT_FALSE(e.IsSet());
    e.Set();
    const auto t0 = Clock::now();
    EXPECT_TRUE(e.Wait(0));
    EXPECT_TRUE(e.Wait(5000));
    EXPECT_LT(Clock::now() - t0, 2s);  // a set event never blocks
    EXPECT_TRUE(e.IsSet());            // waiting does not consume it
    e.Reset();
    EXPECT_FALSE(e.IsSet());
    EXPECT_EQ(d2xx::EventWait(nullptr, 0), 1);  // a missing event never blocks
    d2xx::EventSet(nullptr);
    d2xx::EventReset(nullptr);
}

TEST(EventObject, TimedWaitEndsAfterItsTimeoutWhenNobodySets) {
    Event e;
    const auto t0 = Clock::now();
    EXPECT_FALSE(e.Wait(100));
    const auto waited = Clock::now() - t0;
    EXPECT_GE(waited, 100ms);
    EXPECT_LT(waited, 5s);
}

TEST(EventObject, SetWakesAllWaitersIncludingUnlimitedOnes) {
    Event e;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&e, &woken, i] {
            if (e.Wait(i % 2 ? 0 : 60000)) ++woken;
        });
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(woken.load(), 0);
    e.Set();
    for (auto &t : waiters) t.join();
    EXPECT_EQ(woken.load(), 4);
}

TEST(HandleRegistry, ValidatesExactlyTheRegisteredRecordsNewestFirst) {
    ASSERT_EQ(d2xx::RegisteredDeviceCount(), 0u);
    auto older = d2xx::AddDevice();
    auto newer = d2xx::AddDevice();
    ASSERT_TRUE(older && newer);
    EXPECT_TRUE(d2xx::IsDeviceValid(older.get()));
    EXPECT_TRUE(d2xx::IsDeviceValid(newer.get()));
    EXPECT_EQ(d2xx::FindDevice(0), newer);
    EXPECT_EQ(d2xx::FindDevice(1), older);
    EXPECT_EQ(d2xx::FindDevice(2), nullptr);
    EXPECT_EQ(d2xx::FindDevice(-1), nullptr);
    EXPECT_EQ(newer->usb_interface, -1);  // a fresh record has claimed nothing

    int not_a_record = 0;
    EXPECT_FALSE(d2xx::IsDeviceValid(nullptr));
    EXPECT_FALSE(d2xx::IsDeviceValid(&not_a_record));
    d2xx::RemoveDevice(&not_a_record);  // unknown pointer: nothing changes
    EXPECT_EQ(d2xx::RegisteredDeviceCount(), 2u);

    d2xx::RemoveDevice(older.get());
    EXPECT_FALSE(d2xx::IsDeviceValid(older.get()));
    EXPECT_TRUE(d2xx::IsDeviceValid(newer.get()));
    EXPECT_EQ(d2xx::FindDevice(0), newer);
    d2xx::RemoveDevice(older.get());  // twice: still nothing
    EXPECT_EQ(d2xx::RegisteredDeviceCount(), 1u);

    // A caller that acquired the record keeps it alive past its removal.
    std::weak_ptr<d2xx::DeviceExtension> watch = newer;
    auto held = d2xx::AcquireDevice(newer.get());
    newer.reset();
    d2xx::RemoveDevice(held.get());
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(d2xx::AcquireDevice(held.get()), nullptr);
    held.reset();
    EXPECT_TRUE(watch.expired());
}

TEST(HandleRegistry, ConcurrentOpensClosesAndValidationsKeepItConsistent) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&failures] {
            std::vector<void *> mine;
            for (int i = 0; i < kRounds; ++i) {
                auto rec = d2xx::AddDevice();
                if (!rec) {
                    ++failures;
                    continue;
                }
                mine.push_back(rec.get());
                if (!d2xx::IsDeviceValid(rec.get())) ++failures;
                if (i % 3 == 2) {
                    void *victim = mine[mine.size() / 2];
                    d2xx::RemoveDevice(victim);
                    if (d2xx::IsDeviceValid(victim)) ++failures;
                    mine.erase(mine.begin() + static_cast<long>(mine.size() / 2));
                }
            }
            for (void *p : mine) {
                if (!d2xx::IsDeviceValid(p)) ++failures;
                d2xx::RemoveDevice(p);
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(d2xx::RegisteredDeviceCount(), 0u);
}

TEST(LibraryLifetime, StartsBeforeMainAndRestartsOnRequest) {
    EXPECT_TRUE(d2xx::IsInitialised());
    // While a record exists the context must not be pulled away.
    auto rec = d2xx::AddDevice();
    EXPECT_FALSE(d2xx::FinaliseLibusb());
    EXPECT_TRUE(d2xx::IsInitialised());
    d2xx::RemoveDevice(rec.get());

    ASSERT_TRUE(d2xx::FinaliseLibusb());
    EXPECT_FALSE(d2xx::IsInitialised());
    // The next call that needs the library brings it back, ids intact.
    EXPECT_EQ(FT_SetVIDPID(0x2222, 0x3333), FT_OK);
    EXPECT_TRUE(d2xx::IsInitialised());
    ASSERT_TRUE(d2xx::ReinitialiseLibusb());
    EXPECT_TRUE(d2xx::IsInitialised());
    uint32_t vid = 0, pid = 0;
    ASSERT_EQ(FT_GetVIDPID(&vid, &pid), FT_OK);
    EXPECT_EQ(vid, 0x2222u);
    EXPECT_EQ(pid, 0x3333u);
}

}  // namespace
