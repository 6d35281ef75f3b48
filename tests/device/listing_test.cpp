// Counting and naming the attached chips, one entry per interface, and the
// device-information list built by opening each of them.
#include <cstring>
#include <string>

#include "device_fixture.h"

using ftdisim::ChipSpec;

namespace {

std::string ListName(uint32_t index, uint32_t selection) {
    char buf[64] = {};
    const FT_STATUS s = FT_ListDevices(reinterpret_cast<void *>(static_cast<uintptr_t>(index)), buf,
                                       FT_LIST_BY_INDEX | selection);
    return s == FT_OK ? std::string(buf) : "status " + std::to_string(s);
}

uint32_t Count() {
    uint32_t n = 12345;
    EXPECT_EQ(FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    return n;
}

using Listing = DeviceTest;

TEST_F(Listing, NoDeviceCountsZeroListsNothingAndFindsNoIndex) {
    StartLibrary();
    EXPECT_EQ(Count(), 0u);
    char *names[1] = {nullptr};
    uint32_t n = 99;
    EXPECT_EQ(FT_ListDevices(names, &n, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_EQ(n, 0u);
    char buf[64];
    EXPECT_EQ(FT_ListDevices(nullptr, buf, FT_LIST_BY_INDEX), FT_DEVICE_NOT_FOUND);
    uint32_t devs = 7;
    EXPECT_EQ(FT_CreateDeviceInfoList(&devs), FT_OK);
    EXPECT_EQ(devs, 0u);
    EXPECT_EQ(
        FT_GetDeviceInfoDetail(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
        FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_GetDeviceInfoList(nullptr, &devs), FT_OK);
    EXPECT_EQ(devs, 0u);
}

TEST_F(Listing, SingleDualAndQuadChipsGiveOneLetteredEntryPerInterface) {
    ChipSpec single = WithSerial(ChipSpec::FT232R(), "FTSINGLE");
    single.address = 5;
    auto &one = Add(single);
    auto &two = Add(WithSerial(ChipSpec::FT2232H(), "FT1X2Y3Z"));
    auto &four = Add(WithSerial(ChipSpec::FT4232H(), "FTQUAD01"));
    StartLibrary();

    ASSERT_EQ(Count(), 7u);
    // libusb lists in its own order; find where each chip starts.
    std::vector<std::string> serials;
    for (uint32_t i = 0; i < 7; ++i) serials.push_back(ListName(i, FT_OPEN_BY_SERIAL_NUMBER));
    auto at = [&](const std::string &s) {
        return std::find(serials.begin(), serials.end(), s) - serials.begin();
    };
    ASSERT_LT(at("FTSINGLE"), 7);
    ASSERT_LT(at("FT1X2Y3ZA"), 7);
    EXPECT_EQ(at("FT1X2Y3ZB"), at("FT1X2Y3ZA") + 1);
    ASSERT_LT(at("FTQUAD01A"), 7);
    EXPECT_EQ(at("FTQUAD01D"), at("FTQUAD01A") + 3);

    const auto dual = static_cast<uint32_t>(at("FT1X2Y3ZA"));
    const std::string dual_desc = ListName(dual, FT_OPEN_BY_DESCRIPTION);
    EXPECT_EQ(dual_desc.substr(dual_desc.size() - 2), " A");
    EXPECT_EQ(ListName(dual + 1, FT_OPEN_BY_DESCRIPTION).substr(dual_desc.size() - 2), " B");

    auto location = [](uint32_t index) {
        uint32_t loc = 0;
        EXPECT_EQ(FT_ListDevices(reinterpret_cast<void *>(static_cast<uintptr_t>(index)), &loc,
                                 FT_LIST_BY_INDEX | FT_OPEN_BY_LOCATION),
                  FT_OK);
        return loc;
    };
    EXPECT_EQ(location(static_cast<uint32_t>(at("FTSINGLE"))), (one.Bus() * 256u + 5u));
    const uint32_t dual_base = (two.Bus() * 256u + two.Address()) * 16u;
    EXPECT_EQ(location(dual), dual_base + 1);
    EXPECT_EQ(location(dual + 1), dual_base + 2);
    EXPECT_EQ(location(static_cast<uint32_t>(at("FTQUAD01D"))),
              (four.Bus() * 256u + four.Address()) * 16u + 4);

    // Listing everything gives the same entries in the same order.
    char storage[7][64];
    char *names[7];
    for (int i = 0; i < 7; ++i) names[i] = storage[i];
    uint32_t n = 0;
    ASSERT_EQ(FT_ListDevices(names, &n, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    ASSERT_EQ(n, 7u);
    for (uint32_t i = 0; i < 7; ++i) EXPECT_EQ(serials[i], names[i]);
    uint32_t locations[7] = {};
    ASSERT_EQ(FT_ListDevices(locations, &n, FT_LIST_ALL | FT_OPEN_BY_LOCATION), FT_OK);
    EXPECT_EQ(locations[dual + 1], dual_base + 2);

    // Listing opens nothing for good.
    EXPECT_EQ(OpenUsbFiles(), 0);
}

TEST_F(Listing, InformationListOpensNothingForGoodAndDetailsCopyNoMore) {
    Add(WithSerial(ChipSpec::FT232H(), "FTFREE01"));
    Add(WithSerial(ChipSpec::FT232R(), "FTHELD01"));
    StartLibrary();
    ASSERT_NE(Open("FTHELD01"), nullptr);
    uint32_t n = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
    ASSERT_EQ(n, 2u);
    // Details copy exactly 16 + 64 bytes.
    char serial[17];
    std::memset(serial, 'x', sizeof serial);
    FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(1);
    uint32_t flags = 0, type = 0, id = 0, loc = 0;
    char description[65];
    for (uint32_t i = 0; i < 2; ++i) {
        ASSERT_EQ(FT_GetDeviceInfoDetail(i, &flags, &type, &id, &loc, serial, description, &handle),
                  FT_OK);
        EXPECT_EQ(serial[16], 'x');
        EXPECT_EQ(id, std::strncmp(serial, "FTFREE01", 8) == 0 ? 0x04036014u : 0x04036001u);
    }
    EXPECT_EQ(FT_GetDeviceInfoDetail(2, &flags, &type, &id, &loc, serial, description, &handle),
              FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(OpenUsbFiles(), 1);  // the test's own handle
}

TEST_F(Listing, SixteenCharacterSerialOfMultiInterfaceChip) {
    Add(WithSerial(ChipSpec::FT2232H(), "ABCDEFGHIJKLMNOP"));
    StartLibrary();
    FT_HANDLE h = Open("ABCDEFGHIJKLMNOPB");
    ASSERT_NE(h, nullptr);
    char serial[18];
    std::memset(serial, 'x', sizeof serial);
    char description[67];
    FT_DEVICE type = 99;
    uint32_t id = 0;
    ASSERT_EQ(FT_GetDeviceInfo(h, &type, &id, serial, description, nullptr), FT_OK);
    EXPECT_STREQ(serial, "ABCDEFGHIJKLMNOPB");
    EXPECT_EQ(type, static_cast<FT_DEVICE>(FT_DEVICE_2232H));
    uint32_t loc = 0;
    ASSERT_EQ(FT_GetDeviceLocId(h, &loc), FT_OK);
    EXPECT_EQ(loc & 0xF, 2u);
    EXPECT_EQ(FT_GetDeviceLocId(h, nullptr), FT_INVALID_PARAMETER);
}

}  // namespace
