// What the simulated chips look like on the bus: descriptors, strings, bus
// positions, per family.
#include <string>

#include "chip_test_fixture.h"

namespace ftdisim::testing {
namespace {

struct Family {
    const char *name;
    ChipSpec spec;
    uint16_t bcd;
    int interfaces;
    int packet;
    bool serial;
};

std::string ReadString(libusb_device_handle *h, uint8_t index) {
    unsigned char buf[256] = {};
    int n = libusb_get_string_descriptor_ascii(h, index, buf, sizeof buf);
    if (n < 0) return "<error " + std::to_string(n) + ">";
    return std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
}

TEST_F(ChipTest, EveryFamilyShowsItsDescriptorsAndStrings) {
    const Family families[] = {
        {"AM", ChipSpec::FT232AM(), 0x0200, 1, 64, true},
        {"BM without serial", ChipSpec::FT232BM_NoSerial(), 0x0200, 1, 64, false},
        {"BM", ChipSpec::FT232BM(), 0x0400, 1, 64, true},
        {"2232C", ChipSpec::FT2232C(), 0x0500, 2, 64, true},
        {"232R", ChipSpec::FT232R(), 0x0600, 1, 64, true},
        {"2232H", ChipSpec::FT2232H(), 0x0700, 2, 512, true},
        {"4232H", ChipSpec::FT4232H(), 0x0800, 4, 512, true},
        {"232H", ChipSpec::FT232H(), 0x0900, 1, 512, true},
        {"X", ChipSpec::FT_X(), 0x1000, 1, 64, true},
        {"4222H mode 3", ChipSpec::FT4222H_3(), 0x1700, 1, 512, true},
        {"4222H mode 0", ChipSpec::FT4222H_0(), 0x1800, 2, 512, true},
        {"4222H mode 1/2", ChipSpec::FT4222H_1_2(), 0x1900, 4, 512, true},
        {"raw 0x0601", ChipSpec::Raw(0x0601), 0x0601, 1, 64, true},
    };
    std::vector<Chip *> chips;
    int k = 0;
    for (const Family &f : families) {
        ChipSpec s = f.spec;
        if (s.serial) s.serial = "SN" + std::to_string(k);
        s.product = std::string("Bridge ") + f.name;
        chips.push_back(&Bed().AddChip(s));
        k++;
    }
    for (size_t i = 0; i < chips.size(); i++) {
        const Family &f = families[i];
        SCOPED_TRACE(f.name);
        libusb_device *dev = Find(*chips[i]);
        ASSERT_NE(dev, nullptr);

        libusb_device_descriptor dd{};
        ASSERT_EQ(libusb_get_device_descriptor(dev, &dd), 0);
        EXPECT_EQ(dd.idVendor, 0x0403);
        EXPECT_EQ(dd.bcdDevice, f.bcd);
        EXPECT_EQ(dd.iSerialNumber, f.serial ? 3 : 0);
        EXPECT_EQ(dd.bNumConfigurations, 1);
        EXPECT_EQ(libusb_get_device_speed(dev),
                  f.packet == 512 ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL);

        libusb_config_descriptor *cfg = nullptr;
        ASSERT_EQ(libusb_get_config_descriptor(dev, 0, &cfg), 0);
        ASSERT_EQ(cfg->bNumInterfaces, f.interfaces);
        for (int j = 0; j < f.interfaces; j++) {
            const libusb_interface_descriptor &id = cfg->interface[j].altsetting[0];
            EXPECT_EQ(id.bInterfaceNumber, j);
            ASSERT_EQ(id.bNumEndpoints, 2);
            EXPECT_EQ(id.endpoint[0].bEndpointAddress, 0x81 + 2 * j);
            EXPECT_EQ(id.endpoint[1].bEndpointAddress, 0x02 + 2 * j);
            EXPECT_EQ(id.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
            EXPECT_EQ(id.endpoint[0].wMaxPacketSize, f.packet);
            EXPECT_EQ(id.endpoint[1].wMaxPacketSize, f.packet);
        }
        libusb_free_config_descriptor(cfg);

        // Strings come over the control pipe of an open device.
        libusb_device_handle *h = Open(*chips[i]);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(ReadString(h, dd.iManufacturer), "FTDI");
        EXPECT_EQ(ReadString(h, dd.iProduct), std::string("Bridge ") + f.name);
        if (f.serial) {
            EXPECT_EQ(ReadString(h, dd.iSerialNumber), "SN" + std::to_string(i));
        }
        // The device descriptor read over the wire matches the sysfs copy.
        unsigned char wire[18] = {};
        ASSERT_EQ(libusb_get_descriptor(h, LIBUSB_DT_DEVICE, 0, wire, sizeof wire), 18);
        EXPECT_EQ(wire[12] | wire[13] << 8, f.bcd);
        EXPECT_EQ(wire[16], f.serial ? 3 : 0);
    }
}

TEST_F(ChipTest, ChipsGetDistinctBusPositionsAndPortsFromTheirSysfsNames) {
    ChipSpec fixed = ChipSpec::FT232R();
    fixed.bus = 1;
    fixed.port = 3;
    fixed.address = 5;
    Chip &a = Bed().AddChip(fixed);
    Chip &b = Bed().AddChip(ChipSpec::FT2232H());
    ChipSpec other_bus = ChipSpec::FT232R();
    other_bus.bus = 2;
    Chip &c = Bed().AddChip(other_bus);

    EXPECT_EQ(a.Address(), 5);
    EXPECT_EQ(a.DevNode(), "/dev/bus/usb/001/005");
    EXPECT_NE(b.Address(), a.Address());
    EXPECT_NE(b.Port(), a.Port());
    EXPECT_EQ(c.Bus(), 2);

    for (Chip *chip : {&a, &b, &c}) {
        libusb_device *dev = Find(*chip);
        ASSERT_NE(dev, nullptr);
        EXPECT_EQ(libusb_get_bus_number(dev), chip->Bus());
        EXPECT_EQ(libusb_get_device_address(dev), chip->Address());
        EXPECT_EQ(libusb_get_port_number(dev), chip->Port());
    }
    EXPECT_EQ(libusb_get_port_number(Find(a)), 3);

    // A taken position is refused rather than shadowing the other chip.
    EXPECT_THROW(Bed().AddChip(fixed), std::runtime_error);
}

TEST_F(ChipTest, AChipAddedWhileLibusbRunsAppearsOnTheBus) {
    Chip &first = Bed().AddChip(ChipSpec::FT232R());
    ASSERT_NE(Find(first), nullptr);
    StartEvents();  // the hot-plug monitor's events are handled here
    ChipSpec s = ChipSpec::FT4232H();
    s.serial = "LATE";
    Chip &late = Bed().AddChip(s);
    EXPECT_TRUE(WaitUntil([&] { return Find(late) != nullptr; }));
    libusb_device_handle *h = Open(late);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ReadString(h, 3), "LATE");
}

TEST_F(ChipTest, PresetsAreFoundByName) {
    EXPECT_EQ(ChipSpec::ByName("ft2232h")->bcd_device, 0x0700);
    EXPECT_EQ(ChipSpec::ByName("FT4222H-1-2")->interfaces, 4);
    EXPECT_FALSE(ChipSpec::ByName("FT232BM-noserial")->serial.has_value());
    EXPECT_EQ(ChipSpec::ByName("raw:0x1400")->bcd_device, 0x1400);
    EXPECT_FALSE(ChipSpec::ByName("raw:0x10000").has_value());
    EXPECT_FALSE(ChipSpec::ByName("FT9999").has_value());
    for (const std::string &name : ChipSpec::FamilyNames())
        EXPECT_TRUE(ChipSpec::ByName(name).has_value()) << name;
}

}  // namespace
}  // namespace ftdisim::testing
