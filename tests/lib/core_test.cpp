// The accepted-id table, the event object and the handle registry.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Event.h"
#include "ftd2xx-private.h"
#include "ftd2xx.h"

using d2xx::Event;

namespace {

// The id table belongs to the whole process and only grows, so this test
// holds however often it runs in one process (--gtest_repeat): the defaults
// are only looked for before any application id was added, and every run
// adds an id of its own.
TEST(AcceptedIds, DefaultsThenApplicationIdsAreReportedAndMatched) {
    static uint32_t run = 0;
    const uint32_t own_pid = 0x5678u + run++;

    uint32_t vid = 0, pid = 0;
    ASSERT_EQ(FT_GetVIDPID(&vid, &pid), FT_OK);
    if (run == 1) {
        EXPECT_EQ(vid, 0x15D6u);
        EXPECT_EQ(pid, 0x0001u);
    }
    const uint32_t before_vid = vid, before_pid = pid;

    EXPECT_EQ(FT_SetVIDPID(0, 0), FT_OK);            // ignored
    EXPECT_EQ(FT_SetVIDPID(0x0403, 0x6001), FT_OK);  // already a default
    ASSERT_EQ(FT_GetVIDPID(&vid, &pid), FT_OK);
    EXPECT_EQ(vid, before_vid);
    EXPECT_EQ(pid, before_pid);

    {
        d2xx::LibraryLock lock;
        ASSERT_TRUE(lock.ok());
        EXPECT_EQ(d2xx::DeviceMatch(0x0403, 0x6015), 1);
        EXPECT_EQ(d2xx::DeviceMatch(0x0403, 0x6002), 0);
        EXPECT_EQ(d2xx::DeviceMatch(0x1234, own_pid), 0);
    }
    // The product keeps its low 16 bits.
    EXPECT_EQ(FT_SetVIDPID(0x1234, 0x10000u | own_pid), FT_OK);
    ASSERT_EQ(FT_GetVIDPID(&vid, &pid), FT_OK);
    EXPECT_EQ(vid, 0x1234u);
    EXPECT_EQ(pid, own_pid);
    {
        d2xx::LibraryLock lock;
        EXPECT_EQ(d2xx::DeviceMatch(0x1234, own_pid), 1);
        EXPECT_EQ(d2xx::DeviceMatch(0x0403, 0x6001), 1);  // defaults stay
    }
    EXPECT_EQ(FT_GetVIDPID(nullptr, &pid), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_GetVIDPID(&vid, nullptr), FT_INVALID_PARAMETER);
}

TEST(EventObject, StaysSetUntilResetAndSetWakesEveryWaiter) {
    Event e;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&e, &woken, i] {
            if (e.Wait(i % 2 ? 0 : 60000)) ++woken;
        });
    }
    e.Set();
    for (auto &t : waiters) t.join();
    EXPECT_EQ(woken.load(), 4);
    EXPECT_TRUE(e.IsSet());  // waiting does not consume it
    EXPECT_TRUE(e.Wait(0));
    e.Reset();
    EXPECT_FALSE(e.IsSet());
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
            // Records stay referenced until checked, so that no other thread
            // can get a removed record's address back in the meantime.
            std::vector<decltype(d2xx::AddDevice())> mine;
            for (int i = 0; i < kRounds; ++i) {
                auto rec = d2xx::AddDevice();
                if (!rec) {
                    ++failures;
                    continue;
                }
                if (!d2xx::IsDeviceValid(rec.get())) ++failures;
                mine.push_back(std::move(rec));
                if (i % 3 == 2) {
                    void *victim = mine[mine.size() / 2].get();
                    d2xx::RemoveDevice(victim);
                    if (d2xx::IsDeviceValid(victim)) ++failures;
                    mine.erase(mine.begin() + static_cast<long>(mine.size() / 2));
                }
            }
            for (auto &p : mine) {
                if (!d2xx::IsDeviceValid(p.get())) ++failures;
                d2xx::RemoveDevice(p.get());
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(d2xx::RegisteredDeviceCount(), 0u);
}

}  // namespace
