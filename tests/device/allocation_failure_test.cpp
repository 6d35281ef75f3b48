// Memory running out inside a call: the call returns FT_INSUFFICIENT_RESOURCES
// (no C++ exception leaves the C interface), keeps nothing half-open, and the
// next call works again. The n-th throwing allocation of the calling thread
// is made to fail, for every n until the call no longer allocates that often.
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "device_fixture.h"

namespace {

// 0: no failure armed; n > 0: the n-th operator new of this thread from now
// on throws. Only the test's own thread is armed: the library's and the
// simulation's threads allocate as usual.
thread_local int t_fail_in = 0;
thread_local bool t_failed = false;

void *Allocate(std::size_t size) {
    if (t_fail_in > 0 && --t_fail_in == 0) {
        t_failed = true;
        throw std::bad_alloc();
    }
    if (void *p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

void *operator new(std::size_t size) {
    return Allocate(size);
}
void *operator new[](std::size_t size) {
    return Allocate(size);
}
// The non-throwing forms never fail here: their callers (a sort's scratch
// buffer) manage without the memory, so a failure would change nothing.
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return std::malloc(size ? size : 1);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return std::malloc(size ? size : 1);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using ftdisim::ChipSpec;

constexpr int kMostAllocations = 400;

class AllocationFailureTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        Add(WithSerial(ChipSpec::FT232R(), "A1"));
        Add(WithSerial(ChipSpec::FT2232H(), "B1"));
        StartLibrary();
    }

    // Runs `call` with its n-th allocation failing, for n = 1, 2, ... until
    // a run allocates fewer than n times; `check` judges each failed run's
    // status. Returns how many runs had an allocation fail.
    int SweepFailures(const std::function<FT_STATUS()> &call,
                      const std::function<void(FT_STATUS, int)> &check) {
        for (int n = 1; n <= kMostAllocations; ++n) {
            t_failed = false;
            t_fail_in = n;
            FT_STATUS status = FT_OTHER_ERROR;
            try {
                status = call();
            } catch (...) {
                t_fail_in = 0;
                ADD_FAILURE() << "an exception left the call when allocation " << n << " failed";
                return n;
            }
            t_fail_in = 0;
            if (!t_failed) return n - 1;
            check(status, n);
            if (HasFailure()) return n;
        }
        ADD_FAILURE() << "the call allocated more than " << kMostAllocations << " times";
        return kMostAllocations;
    }
};

TEST_F(AllocationFailureTest, ListingsReportInsufficientResources) {
    auto insufficient = [](FT_STATUS s, int n) {
        EXPECT_EQ(s, FT_INSUFFICIENT_RESOURCES) << "allocation " << n;
    };
    uint32_t count = 0;
    SweepFailures([&] { return FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY); },
                  insufficient);
    char names[4][64];
    char *pointers[5] = {names[0], names[1], names[2], names[3], nullptr};
    EXPECT_GT(SweepFailures(
                  [&] {
                      return FT_ListDevices(pointers, &count,
                                            FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER);
                  },
                  insufficient),
              0);
    char one[64];
    SweepFailures(
        [&] {
            return FT_ListDevices(reinterpret_cast<void *>(uintptr_t{1}), one,
                                  FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
        },
        insufficient);
    // The information list describes a device its own short open cannot
    // reach from the descriptors instead, so it may still succeed.
    EXPECT_GT(SweepFailures([&] { return FT_CreateDeviceInfoList(&count); },
                            [](FT_STATUS s, int n) {
                                EXPECT_TRUE(s == FT_INSUFFICIENT_RESOURCES || s == FT_OK)
                                    << "allocation " << n << ": " << s;
                            }),
              0);
    EXPECT_EQ(d2xx::RegisteredDeviceCount(), 0u);

    // Nothing was left behind: the listings work again.
    ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 3u);
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
    EXPECT_EQ(count, 3u);
}

TEST_F(AllocationFailureTest, OpensReportInsufficientResourcesAndLeaveTheDeviceFree) {
    FT_HANDLE handle = nullptr;
    auto insufficient = [](FT_STATUS s, int n) {
        EXPECT_EQ(s, FT_INSUFFICIENT_RESOURCES) << "allocation " << n;
        EXPECT_EQ(d2xx::RegisteredDeviceCount(), 0u) << "allocation " << n;
    };
    // An open that went through is closed again with nothing armed.
    auto closed = [&handle](FT_STATUS s) {
        t_fail_in = 0;
        if (s == FT_OK) FT_Close(handle);
        return s;
    };
    EXPECT_GT(SweepFailures([&] { return closed(FT_Open(0, &handle)); }, insufficient), 0);
    EXPECT_GT(SweepFailures(
                  [&] {
                      return closed(
                          FT_OpenEx(const_cast<char *>("B1A"), FT_OPEN_BY_SERIAL_NUMBER, &handle));
                  },
                  insufficient),
              0);
    EXPECT_EQ(OpenUsbFiles(), 0);

    // Both devices open again, with their interfaces free.
    EXPECT_NE(Open("A1"), nullptr);
    EXPECT_NE(Open("B1A"), nullptr);
}

}  // namespace
