// A stand-in for the few D2XX calls the console programs make, so their logic
// can be tested without a device. Linked instead of the real library.
#ifndef WG_TESTS_FAKE_FTD2XX_H
#define WG_TESTS_FAKE_FTD2XX_H

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ftd2xx.h"

namespace fake {

struct ListedDevice {
    std::array<char, 16> serial{};  // raw, as FT_GetDeviceInfoDetail hands it out
    bool detailFails = false;
};

using Bytes = std::vector<unsigned char>;

struct Library {
    // Device-information list.
    std::vector<ListedDevice> devices;
    std::uint32_t reportedCount = 0;  // what FT_CreateDeviceInfoList reports

    // Results of the calls that can fail.
    FT_STATUS openStatus = FT_OK;
    FT_STATUS baudStatus = FT_OK;
    FT_STATUS dataStatus = FT_OK;
    FT_STATUS writeStatus = FT_OK;
    FT_STATUS readStatus = FT_OK;

    // Received bytes waiting to be read.
    std::deque<unsigned char> rx;
    // Called with every frame written; may queue a reply in rx.
    std::function<void(const Bytes &)> onWrite;

    // What the console did.
    std::vector<Bytes> writes;
    std::vector<std::uint32_t> readSizes;  // bytesToRead of every FT_Read
    std::vector<std::string> openedSerials;
    std::uint32_t baudRate = 0;
    std::array<int, 3> dataCharacteristics{-1, -1, -1};
    std::vector<std::pair<std::uint32_t, std::uint32_t>> timeouts;
    int closeCalls = 0;
};

// The state behind the fake calls; reset before each test.
Library &library();
void Reset();

// Lists devices with the given serial numbers (each copied raw, at most 16).
void ListDevices(const std::vector<std::string> &serials);

// The handle the fake open issues.
FT_HANDLE Handle();

Bytes Frame(std::initializer_list<unsigned char> bytes);

}  // namespace fake

#endif  // WG_TESTS_FAKE_FTD2XX_H
