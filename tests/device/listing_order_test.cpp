// Which device each index position names: FT_ListDevices, FT_Open by index
// and the information list count the same positions in the same order
// (ascending location), and every information node describes its own device.
#include <cstring>
#include <string>
#include <vector>

#include "device_fixture.h"

using ftdisim::ChipSpec;

namespace {

void *Index(uint32_t i) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(i));
}

std::string ListedSerial(uint32_t i) {
    char buf[64] = {};
    EXPECT_EQ(FT_ListDevices(Index(i), buf, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    return buf;
}

uint32_t ListedLocation(uint32_t i) {
    uint32_t loc = 0;
    EXPECT_EQ(FT_ListDevices(Index(i), &loc, FT_LIST_BY_INDEX | FT_OPEN_BY_LOCATION), FT_OK);
    return loc;
}

std::vector<FT_DEVICE_LIST_INFO_NODE> InformationList(uint32_t expected) {
    uint32_t n = 0;
    EXPECT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
    EXPECT_EQ(n, expected);
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(n);
    EXPECT_EQ(FT_GetDeviceInfoList(nodes.data(), &n), FT_OK);
    return nodes;
}

std::string Serial(const FT_DEVICE_LIST_INFO_NODE &node) {
    return std::string(node.SerialNumber, strnlen(node.SerialNumber, 16));
}

}  // namespace

using ListingOrder = DeviceTest;

TEST_F(ListingOrder, EveryIndexBasedCallCountsTheSamePositionsInLocationOrder) {
    // Attached out of address order; a chip that cannot be opened by index
    // (0x14) and one that cannot be opened at all (AM) among them.
    const struct {
        ChipSpec spec;
        const char *serial;
        uint8_t address;
    } chips[] = {{ChipSpec::FT2232H(), "FTORDER9", 9},
                 {ChipSpec::FT232R(), "FTORDER3", 3},
                 {ChipSpec::Raw(0x1400), "FTORDER6", 6},
                 {ChipSpec::FT232AM(), "FTORDER7", 7}};
    for (const auto &c : chips) {
        ChipSpec spec = WithSerial(c.spec, c.serial);
        spec.address = c.address;
        Add(spec);
    }
    StartLibrary();
    const std::vector<std::string> expected = {"FTORDER3", "FTORDER6", "FTORDER7", "FTORDER9A",
                                               "FTORDER9B"};
    const auto nodes = InformationList(5);
    ASSERT_EQ(nodes.size(), 5u);
    uint32_t previous = 0;
    for (uint32_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ListedSerial(i), expected[i]);
        const uint32_t location = ListedLocation(i);
        EXPECT_GT(location, previous);
        previous = location;
        EXPECT_EQ(nodes[i].LocId, location);
        EXPECT_EQ(Serial(nodes[i]), expected[i]);
        // Nothing holds any of them; the AM chip cannot be opened at all.
        EXPECT_EQ(nodes[i].Flags & FT_FLAGS_OPENED, i == 2 ? FT_FLAGS_OPENED : 0u);
        EXPECT_EQ(nodes[i].ftHandle, nullptr);

        FT_HANDLE h = nullptr;
        const FT_STATUS s = FT_Open(static_cast<int>(i), &h);
        if (i == 1) {
            EXPECT_EQ(s, FT_DEVICE_NOT_FOUND);  // keeps its position, opens by name only
        } else if (i == 2) {
            EXPECT_EQ(s, FT_NOT_SUPPORTED);  // found, but no AM chip is opened
        } else {
            ASSERT_EQ(s, FT_OK);
            Track(h);
            uint32_t at = 0;
            EXPECT_EQ(FT_GetDeviceLocId(h, &at), FT_OK);
            EXPECT_EQ(at, location);
            EXPECT_EQ(FT_Close(h), FT_OK);
        }
    }
    EXPECT_EQ(nodes[2].Type, static_cast<uint32_t>(FT_DEVICE_AM));
}

TEST_F(ListingOrder, EachInformationNodeDescribesItsOwnDevice) {
    ChipSpec bound = WithSerial(ChipSpec::FT232R(), "FTKERNEL");
    bound.address = 2;
    Add(bound).SetKernelDriverBound(0, true);
    ChipSpec a = WithSerial(ChipSpec::FT232R(), "FTHELD0A");
    a.address = 3;
    Add(a);
    ChipSpec b = WithSerial(ChipSpec::FT232H(), "FTHELD0B");
    b.address = 4;
    Add(b);
    StartLibrary();
    FT_HANDLE held_b = Open("FTHELD0B");
    FT_HANDLE held_a = Open("FTHELD0A");  // the newest record
    ASSERT_TRUE(held_a && held_b);

    const auto nodes = InformationList(3);
    ASSERT_EQ(nodes.size(), 3u);
    // Held elsewhere: opened, unknown, nameless.
    EXPECT_EQ(nodes[0].Flags, static_cast<uint32_t>(FT_FLAGS_OPENED));
    EXPECT_EQ(nodes[0].Type, static_cast<uint32_t>(FT_DEVICE_UNKNOWN));
    EXPECT_EQ(Serial(nodes[0]), "");
    EXPECT_EQ(nodes[0].ftHandle, nullptr);
    // Held here: each with its own identity and handle.
    EXPECT_EQ(nodes[1].Flags, static_cast<uint32_t>(FT_FLAGS_OPENED));
    EXPECT_EQ(Serial(nodes[1]), "FTHELD0A");
    EXPECT_EQ(nodes[1].ftHandle, held_a);
    EXPECT_EQ(nodes[1].Type, static_cast<uint32_t>(FT_DEVICE_232R));
    EXPECT_EQ(nodes[2].Flags, static_cast<uint32_t>(FT_FLAGS_OPENED | FT_FLAGS_HISPEED));
    EXPECT_EQ(Serial(nodes[2]), "FTHELD0B");
    EXPECT_EQ(nodes[2].ftHandle, held_b);
}

TEST_F(ListingOrder, ChipsNotOpenedByIndexAreDescribedFromDescriptorsAndSentNothing) {
    const struct {
        ChipSpec spec;
        const char *serial;
        uint32_t type;
        uint32_t flags;
    } chips[] = {
        {ChipSpec::Raw(0x1400), "FTNOIDX1", FT_DEVICE_UNKNOWN, 0},  // opens by name only
        {ChipSpec::Raw(0x0300), "FTUNKNWN", FT_DEVICE_UNKNOWN, FT_FLAGS_OPENED},
        {ChipSpec::FT232AM(), "FTAMCHIP", FT_DEVICE_AM, FT_FLAGS_OPENED},
    };
    std::vector<ftdisim::Chip *> added;
    uint8_t address = 2;
    for (const auto &c : chips) {
        ChipSpec spec = WithSerial(c.spec, c.serial);
        spec.product = "Odd chip";
        spec.address = address++;
        added.push_back(&Add(spec));
    }
    StartLibrary();
    const auto nodes = InformationList(3);
    ASSERT_EQ(nodes.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(chips[i].serial);
        EXPECT_EQ(Serial(nodes[i]), chips[i].serial);
        EXPECT_STREQ(nodes[i].Description, "Odd chip");
        EXPECT_EQ(nodes[i].Type, chips[i].type);
        EXPECT_EQ(nodes[i].Flags, chips[i].flags);
        EXPECT_EQ(nodes[i].LocId, ListedLocation(static_cast<uint32_t>(i)));
        EXPECT_EQ(nodes[i].ftHandle, nullptr);
        EXPECT_EQ(devtest::VendorSeen(*added[i]), std::vector<devtest::Req>{});
        EXPECT_FALSE(added[i]->If(0).State().claimed);
    }
    // What the flags promise: the 0x14 chip opens by its listed name, the
    // other two do not open at all.
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char *>("FTUNKNWN"), FT_OPEN_BY_SERIAL_NUMBER, &h),
              FT_NOT_SUPPORTED);
    EXPECT_EQ(FT_OpenEx(const_cast<char *>("FTAMCHIP"), FT_OPEN_BY_SERIAL_NUMBER, &h),
              FT_NOT_SUPPORTED);
    EXPECT_NE(Open("FTNOIDX1"), nullptr);
}

TEST_F(ListingOrder, HeldChipWhoseFamilyAndInterfaceCountDisagreeIsListedAsHeld) {
    // A dual-interface family presenting a single interface.
    ChipSpec odd = WithSerial(ChipSpec::FT2232H(), "FTODD001");
    odd.interfaces = 1;
    Add(odd);
    StartLibrary();
    FT_HANDLE h = OpenIndex(0);
    ASSERT_NE(h, nullptr);
    const auto nodes = InformationList(1);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].Flags, static_cast<uint32_t>(FT_FLAGS_OPENED | FT_FLAGS_HISPEED));
    EXPECT_EQ(nodes[0].ftHandle, h);
    EXPECT_EQ(nodes[0].Type, static_cast<uint32_t>(FT_DEVICE_2232H));
    EXPECT_EQ(Serial(nodes[0]).substr(0, 8), "FTODD001");
}

TEST_F(ListingOrder, ListingByIndexRefusesSelectionsThatNameNothing) {
    Add(ChipSpec::FT232R());
    StartLibrary();
    for (uint32_t selection : {3u, 5u, 6u, 7u}) {
        char buf[64] = "untouched";
        EXPECT_EQ(FT_ListDevices(nullptr, buf, FT_LIST_BY_INDEX | selection), FT_INVALID_PARAMETER)
            << selection;
        EXPECT_STREQ(buf, "untouched");
    }
}
