// Every name a listing prints opens its own interface: names match exactly
// (a device whose name is a prefix of another's does not hide it), long
// strings are cut so that the interface letter survives, and blank device
// strings match nothing.
#include <cstring>
#include <string>
#include <vector>

#include "device_fixture.h"

using ftdisim::ChipSpec;

namespace {

void *Index(uint32_t i) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(i));
}

FT_STATUS OpenEx(const std::string &name, uint32_t selection, FT_HANDLE *h) {
    return FT_OpenEx(const_cast<char *>(name.c_str()), selection, h);
}

// The location of the interface an open handle holds, or 0.
uint32_t LocationOf(FT_HANDLE h) {
    uint32_t loc = 0;
    EXPECT_EQ(FT_GetDeviceLocId(h, &loc), FT_OK);
    return loc;
}

// Opens `name` and reports the location it reached (0 when the open failed).
uint32_t OpenedLocation(const std::string &name, uint32_t selection) {
    FT_HANDLE h = nullptr;
    const FT_STATUS s = OpenEx(name, selection, &h);
    EXPECT_EQ(s, FT_OK) << '"' << name << '"';
    if (s != FT_OK) return 0;
    const uint32_t loc = LocationOf(h);
    EXPECT_EQ(FT_Close(h), FT_OK);
    return loc;
}

std::string Repeat(char c, size_t n) {
    return std::string(n, c);
}

using ListedNames = DeviceTest;

TEST_F(ListedNames, ANameThatIsAPrefixOfAnotherDoesNotHideIt) {
    ChipSpec shorter = WithSerial(ChipSpec::FT232R(), "PFX1");
    shorter.product = "USB Serial";
    shorter.address = 2;
    ChipSpec longer = WithSerial(ChipSpec::FT232R(), "PFX12");
    longer.product = "USB Serial Converter";
    longer.address = 3;
    ChipSpec dual = WithSerial(ChipSpec::FT2232H(), "PFX");
    dual.product = "USB";
    dual.address = 4;
    auto &a = Add(shorter);
    auto &b = Add(longer);
    auto &c = Add(dual);
    StartLibrary();
    const uint32_t loc_a = a.Bus() * 256u + 2, loc_b = b.Bus() * 256u + 3;
    const uint32_t loc_c = (c.Bus() * 256u + 4) * 16u;

    EXPECT_EQ(OpenedLocation("PFX12", FT_OPEN_BY_SERIAL_NUMBER), loc_b);
    EXPECT_EQ(OpenedLocation("PFX1", FT_OPEN_BY_SERIAL_NUMBER), loc_a);
    EXPECT_EQ(OpenedLocation("USB Serial Converter", FT_OPEN_BY_DESCRIPTION), loc_b);
    EXPECT_EQ(OpenedLocation("USB Serial", FT_OPEN_BY_DESCRIPTION), loc_a);
    // The dual chip's "PFX" and "USB" are prefixes of every other name; its
    // lettered names still open its interfaces, in either letter case.
    EXPECT_EQ(OpenedLocation("PFXB", FT_OPEN_BY_SERIAL_NUMBER), loc_c + 2);
    EXPECT_EQ(OpenedLocation("USB a", FT_OPEN_BY_DESCRIPTION), loc_c + 1);

    FT_HANDLE h = nullptr;
    for (const char *name : {"PFX123", "PFX", "PFXC", "PFX1A", "PFX12 ", ""}) {
        EXPECT_EQ(OpenEx(name, FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND) << name;
    }
    for (const char *name : {"USB Serial Conv", "USB", "USB C", "USB Serial A"}) {
        EXPECT_EQ(OpenEx(name, FT_OPEN_BY_DESCRIPTION, &h), FT_DEVICE_NOT_FOUND) << name;
    }
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(OpenUsbFiles(), 0);
}

TEST_F(ListedNames, BlankDeviceStringsMatchNoName) {
    ChipSpec blank = ChipSpec::FT2232H();
    blank.serial = std::string();
    blank.product = "";
    blank.address = 2;
    Add(blank);
    Add(WithSerial(ChipSpec::FT232R(), "AFTER"));
    StartLibrary();
    char listed[64] = "untouched";
    ASSERT_EQ(FT_ListDevices(Index(0), listed, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_STREQ(listed, "A");  // the letter alone: listed, but it names nothing
    FT_HANDLE h = nullptr;
    for (const char *name : {"", "A", "B"}) {
        EXPECT_EQ(OpenEx(name, FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND) << name;
    }
    for (const char *name : {"", " A", " B"}) {
        EXPECT_EQ(OpenEx(name, FT_OPEN_BY_DESCRIPTION, &h), FT_DEVICE_NOT_FOUND) << name;
    }
    EXPECT_EQ(h, nullptr);
    EXPECT_NE(OpenedLocation("AFTER", FT_OPEN_BY_SERIAL_NUMBER), 0u);
}

// What FT_ListDevices and the information list print for every position,
// with the location each belongs to.
struct Listed {
    std::string name;
    uint32_t selection;
    uint32_t location;
};

std::vector<Listed> EveryListedName(uint32_t count) {
    std::vector<Listed> out;
    uint32_t n = 0;
    EXPECT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
    EXPECT_EQ(n, count);
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(n);
    EXPECT_EQ(FT_GetDeviceInfoList(nodes.data(), &n), FT_OK);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t loc = 0;
        EXPECT_EQ(FT_ListDevices(Index(i), &loc, FT_LIST_BY_INDEX | FT_OPEN_BY_LOCATION), FT_OK);
        for (uint32_t selection : {FT_OPEN_BY_SERIAL_NUMBER, FT_OPEN_BY_DESCRIPTION}) {
            char buf[64] = {};
            EXPECT_EQ(FT_ListDevices(Index(i), buf, FT_LIST_BY_INDEX | selection), FT_OK);
            out.push_back({buf, selection, loc});
        }
        const FT_DEVICE_LIST_INFO_NODE &node = nodes[i];
        EXPECT_EQ(node.LocId, loc);
        out.push_back({std::string(node.SerialNumber, strnlen(node.SerialNumber, 16)),
                       FT_OPEN_BY_SERIAL_NUMBER, loc});
        out.push_back({std::string(node.Description, strnlen(node.Description, 64)),
                       FT_OPEN_BY_DESCRIPTION, loc});
    }
    return out;
}

TEST_F(ListedNames, LongNamesKeepTheirInterfaceLetterAndEveryListedNameOpensItsInterface) {
    const std::string serial16 = "0123456789ABCDEF";
    ChipSpec one = WithSerial(ChipSpec::FT232R(), serial16);
    one.product = Repeat('s', 64);
    one.address = 2;
    ChipSpec two = WithSerial(ChipSpec::FT2232H(), "FEDCBA9876543210");
    two.product = Repeat('d', 64);
    two.address = 3;
    ChipSpec four = WithSerial(ChipSpec::FT4232H(), "QQQQQQQQQQQQQQQQ");
    four.product = Repeat('q', 62);
    four.address = 4;
    Add(one);
    Add(two);
    Add(four);
    StartLibrary();

    const std::vector<Listed> names = EveryListedName(7);
    ASSERT_EQ(names.size(), 28u);
    for (const Listed &l : names) {
        SCOPED_TRACE(l.name);
        EXPECT_EQ(OpenedLocation(l.name, l.selection), l.location);
    }
    // The interfaces of one chip never share a name.
    for (size_t i = 0; i < names.size(); ++i) {
        for (size_t j = i + 1; j < names.size(); ++j) {
            if (names[i].location != names[j].location &&
                names[i].selection == names[j].selection) {
                EXPECT_NE(names[i].name, names[j].name);
            }
        }
    }
    // The single chip's 16-character serial is listed whole; a lettered
    // serial in the node's 16 bytes gives up a character of the string.
    EXPECT_EQ(names[0].name, serial16);
    EXPECT_EQ(names[2].name, serial16);
    EXPECT_EQ(names[4].name, "FEDCBA9876543210A");
    EXPECT_EQ(names[6].name, "FEDCBA987654321A");
    EXPECT_EQ(names[5].name, Repeat('d', 61) + " A");
    EXPECT_EQ(names[7].name, Repeat('d', 62) + " A");
    EXPECT_EQ(names[25].name, Repeat('q', 61) + " D");
    EXPECT_EQ(OpenUsbFiles(), 0);
}

}  // namespace
