// A fresh simulated bus per test, with the library's libusb context
// restarted once the test's chips exist (libusb only sees devices that are
// on the bus when its context starts, and no context may outlive the bus).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "ftd2xx-private.h"
#include "ftd2xx.h"
#include "ftdisim.h"

namespace devtest {

// A read time-out for data that must come: it ends as soon as the data is
// there, so only a failing test waits it out, and it leaves room for a
// sanitizer build on a loaded machine.
inline constexpr uint32_t kPatienceMs = 30000;

// One vendor request as the chip saw it: enough to compare sequences.
struct Req {
    uint8_t request;
    uint16_t value;
    uint16_t index;
    bool operator==(const Req &) const = default;
};

inline void PrintTo(const Req &r, std::ostream *os) {
    *os << "{req " << int{r.request} << ", value 0x" << std::hex << r.value << ", index 0x"
        << r.index << std::dec << "}";
}

inline std::vector<Req> VendorSeen(const ftdisim::Chip &chip) {
    std::vector<Req> out;
    for (const auto &r : chip.VendorRequests()) out.push_back({r.bRequest, r.wValue, r.wIndex});
    return out;
}

}  // namespace devtest

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override { bed_ = std::make_unique<ftdisim::Testbed>(); }

    void TearDown() override {
        for (FT_HANDLE h : opened_) FT_Close(h);  // already closed ones answer FT_INVALID_HANDLE
        opened_.clear();
        EXPECT_TRUE(d2xx::FinaliseLibusb()) << "a device record was left open";
        bed_.reset();
    }

    ftdisim::Chip &Add(const ftdisim::ChipSpec &spec) { return bed_->AddChip(spec); }
    static ftdisim::ChipSpec WithSerial(ftdisim::ChipSpec spec, std::string serial) {
        spec.serial = std::move(serial);
        return spec;
    }

    // Call after adding the chips.
    void StartLibrary() { ASSERT_TRUE(d2xx::ReinitialiseLibusb()); }

    FT_HANDLE Open(const char *serial) {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK)
            << serial;
        if (h) opened_.push_back(h);
        return h;
    }
    FT_HANDLE OpenIndex(int index) {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(FT_Open(index, &h), FT_OK) << index;
        if (h) opened_.push_back(h);
        return h;
    }
    // Keeps track of a handle opened by the test itself.
    void Track(FT_HANDLE h) {
        if (h) opened_.push_back(h);
    }
    // Writes all of `b`, failing the test on anything less.
    static void WriteAll(FT_HANDLE h, const std::vector<uint8_t> &b) {
        DWORD n = 0;
        ASSERT_EQ(FT_Write(h, const_cast<uint8_t *>(b.data()), static_cast<DWORD>(b.size()), &n),
                  FT_OK);
        ASSERT_EQ(n, b.size());
    }
    // Reads up to `count` bytes within the handle's read time-out.
    static std::vector<uint8_t> ReadSome(FT_HANDLE h, size_t count) {
        std::vector<uint8_t> out(count);
        DWORD got = 0;
        EXPECT_EQ(FT_Read(h, out.data(), static_cast<DWORD>(count), &got), FT_OK);
        out.resize(got);
        return out;
    }
    static d2xx::DeviceExtension *Record(FT_HANDLE h) {
        return static_cast<d2xx::DeviceExtension *>(h);
    }

    // USB device files this process holds open.
    static int OpenUsbFiles() {
        int count = 0;
        for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            const auto target = std::filesystem::read_symlink(entry.path(), ec);
            if (!ec && target.string().find("/dev/bus/usb/") != std::string::npos) ++count;
        }
        return count;
    }

    std::unique_ptr<ftdisim::Testbed> bed_;
    std::vector<FT_HANDLE> opened_;
};
