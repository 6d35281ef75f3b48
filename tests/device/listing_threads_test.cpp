// The information list built while other threads of the process open and
// close devices: a device this process holds is always listed as held, with
// its own identity and handle; a free device is never refused to an open nor
// listed as held elsewhere because a list or a close of this process had it
// for a moment.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device_fixture.h"

using ftdisim::ChipSpec;

namespace {

std::vector<FT_DEVICE_LIST_INFO_NODE> InformationList() {
    uint32_t n = 0;
    EXPECT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(n);
    EXPECT_EQ(FT_GetDeviceInfoList(nodes.data(), &n), FT_OK);
    return nodes;
}

std::string Serial(const FT_DEVICE_LIST_INFO_NODE &node) {
    return std::string(node.SerialNumber, strnlen(node.SerialNumber, 16));
}

FT_STATUS OpenEx(const char *serial, FT_HANDLE *h) {
    return FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, h);
}

// Opens and closes `serial` `cycles` times on a thread of its own; counts
// the opens that failed.
class OpenCloseLoop {
  public:
    OpenCloseLoop(const char *serial, int cycles)
        : thread_([this, serial, cycles] {
              for (int i = 0; i < cycles; ++i) {
                  FT_HANDLE h = nullptr;
                  if (OpenEx(serial, &h) != FT_OK) {
                      ++failures_;
                      continue;
                  }
                  if (FT_Close(h) != FT_OK) ++failures_;
              }
              done_ = true;
          }) {}
    ~OpenCloseLoop() { thread_.join(); }
    bool done() const { return done_; }
    int failures() const { return failures_; }

  private:
    std::atomic<bool> done_{false};
    std::atomic<int> failures_{0};
    std::thread thread_;
};

using ListingThreads = DeviceTest;

TEST_F(ListingThreads, HeldDeviceStaysHeldWhileAnotherThreadClosesOtherHandles) {
    ChipSpec held = WithSerial(ChipSpec::FT232R(), "FTHOLD01");
    held.address = 2;
    Add(held);
    ChipSpec cycled = WithSerial(ChipSpec::FT232R(), "FTCYCLE1");
    cycled.address = 3;
    Add(cycled);
    StartLibrary();
    FT_HANDLE h = Open("FTHOLD01");
    ASSERT_NE(h, nullptr);

    int lists = 0;
    {
        OpenCloseLoop loop("FTCYCLE1", 150);
        while (!loop.done() || lists < 20) {
            const auto nodes = InformationList();
            ASSERT_EQ(nodes.size(), 2u);
            ++lists;
            ASSERT_EQ(nodes[0].Flags, static_cast<uint32_t>(FT_FLAGS_OPENED)) << "list " << lists;
            ASSERT_EQ(nodes[0].ftHandle, h) << "list " << lists;
            ASSERT_EQ(Serial(nodes[0]), "FTHOLD01") << "list " << lists;
        }
        EXPECT_EQ(loop.failures(), 0);
    }
}

TEST_F(ListingThreads, ListsAndClosesNeverMakeAFreeDeviceUnopenableOrMislabelIt) {
    auto &chip = Add(WithSerial(ChipSpec::FT232H(), "FTBUSY01"));
    StartLibrary();
    std::atomic<bool> stop{false};
    std::atomic<int> lists{0}, mislabelled{0}, bad_flags{0};
    std::thread lister([&] {
        while (!stop) {
            const auto nodes = InformationList();
            if (nodes.size() != 1) {
                ++mislabelled;
                continue;
            }
            const FT_DEVICE_LIST_INFO_NODE &node = nodes[0];
            // Held by the loop below, or free: never nameless.
            if (Serial(node) != "FTBUSY01") ++mislabelled;
            const bool held = (node.Flags & FT_FLAGS_OPENED) != 0;
            if ((node.Flags & FT_FLAGS_HISPEED) == 0 || held != (node.ftHandle != nullptr)) {
                ++bad_flags;
            }
            ++lists;
        }
    });
    int refused = 0;
    for (int i = 0; i < 120 || lists < 20; ++i) {
        FT_HANDLE h = nullptr;
        const FT_STATUS s = OpenEx("FTBUSY01", &h);
        if (s != FT_OK) {
            ++refused;
            continue;
        }
        EXPECT_EQ(FT_Close(h), FT_OK);
    }
    stop = true;
    lister.join();
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(mislabelled, 0);
    EXPECT_EQ(bad_flags, 0);
    EXPECT_FALSE(chip.If(0).State().claimed);
}

class ControlTimeout {
  public:
    explicit ControlTimeout(uint32_t ms) { d2xx::SetControlTimeoutForTests(ms); }
    ~ControlTimeout() { d2xx::SetControlTimeoutForTests(0); }
};

TEST_F(ListingThreads, ListDuringAnOpenThatFailsShowsTheFreeChipWithoutItsHandle) {
    auto &chip = Add(WithSerial(ChipSpec::FT232H(), "FTSLOW01"));
    StartLibrary();
    const ControlTimeout timeout(1500);
    // The open's reset request goes unanswered: the open fails after the
    // interface was claimed and the record was registered.
    chip.FailRequest(ftdisim::RequestFault{
        .request = 0x00, .value = 0, .mode = ftdisim::FaultMode::Timeout, .skip = 0, .count = 1});
    std::atomic<FT_STATUS> open_status{FT_OK};
    std::thread opener([&] {
        FT_HANDLE h = nullptr;
        open_status = OpenEx("FTSLOW01", &h);
        if (h) FT_Close(h);
    });
    ASSERT_TRUE(ftdisim::WaitUntil([&] { return !devtest::VendorSeen(chip).empty(); }));
    const auto nodes = InformationList();
    opener.join();
    EXPECT_EQ(open_status, FT_IO_ERROR);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].Flags, static_cast<uint32_t>(FT_FLAGS_HISPEED));
    EXPECT_EQ(nodes[0].ftHandle, nullptr);
    EXPECT_EQ(Serial(nodes[0]), "FTSLOW01");
    EXPECT_FALSE(chip.If(0).State().claimed);
}

}  // namespace
