// The chip's own features against a simulated chip: latency timer and the
// receive time-out it drives, bit mode, USB transfer sizes, vendor
// commands, EEPROM words and the port-level calls.
#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "device_fixture.h"

namespace {

using ftdisim::Chip;
using ftdisim::ChipSpec;
using ftdisim::ControlRecord;
using ftdisim::FaultMode;
using ftdisim::RequestFault;

struct Req {
    uint8_t type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
    bool operator==(const Req &) const = default;
};

void PrintTo(const Req &r, std::ostream *os) {
    *os << std::hex << "{type 0x" << int{r.type} << ", req 0x" << int{r.request} << ", value 0x"
        << r.value << ", index 0x" << r.index << ", length " << std::dec << r.length << "}";
}

std::vector<Req> VendorSeen(const Chip &chip) {
    std::vector<Req> out;
    for (const ControlRecord &r : chip.VendorRequests())
        out.push_back({r.bmRequestType, r.bRequest, r.wValue, r.wIndex, r.wLength});
    return out;
}

RequestFault Fail(uint8_t request, FaultMode mode = FaultMode::Stall) {
    return RequestFault{request, std::nullopt, mode, 0, 1};
}

// How long a bulk-in transfer may take: as many packets as it holds (two
// status bytes each), one latency period apiece, plus the deadman time-out.
constexpr uint32_t InTimeout(uint32_t transfer, uint32_t packet, uint32_t latency,
                             uint32_t deadman) {
    return transfer / (packet - 2) * latency + deadman;
}

std::vector<uint8_t> ReadAll(FT_HANDLE h, size_t n) {
    std::vector<uint8_t> out(n);
    uint32_t got = 0;
    EXPECT_EQ(FT_SetTimeouts(h, devtest::kPatienceMs, 0), FT_OK);
    EXPECT_EQ(FT_Read(h, out.data(), static_cast<uint32_t>(n), &got), FT_OK);
    out.resize(got);
    return out;
}

class FeatureTest : public DeviceTest {
  protected:
    FT_HANDLE OpenClean(Chip &chip, const char *name) {
        FT_HANDLE h = Open(name);
        chip.ClearRequests();
        return h;
    }
};

TEST_F(FeatureTest, LatencyTimerIsSetAndReadOnTheInterface) {
    Chip &r = Add(WithSerial(ChipSpec::FT232R(), "R1"));
    Chip &c = Add(WithSerial(ChipSpec::FT2232C(), "C1"));
    StartLibrary();
    FT_HANDLE hr = OpenClean(r, "R1");
    FT_HANDLE hc = OpenClean(c, "C1B");
    ASSERT_NE(hr, nullptr);
    ASSERT_NE(hc, nullptr);

    uint8_t latency = 0;
    EXPECT_EQ(FT_SetLatencyTimer(hr, 2), FT_OK);
    EXPECT_EQ(FT_GetLatencyTimer(hr, &latency), FT_OK);
    EXPECT_EQ(latency, 2);
    EXPECT_EQ(r.If(0).State().latency_ms, 2);
    EXPECT_EQ(FT_SetLatencyTimer(hr, 0), FT_OK);  // passed as it is
    EXPECT_EQ(r.If(0).State().latency_ms, 0);
    EXPECT_EQ(FT_GetLatencyTimer(hr, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(VendorSeen(r),
              (std::vector<Req>{{0x40, 9, 2, 0, 0}, {0xC0, 10, 0, 0, 1}, {0x40, 9, 0, 0, 0}}));

    EXPECT_EQ(FT_SetLatencyTimer(hc, 255), FT_OK);
    EXPECT_EQ(FT_GetLatencyTimer(hc, &latency), FT_OK);
    EXPECT_EQ(latency, 255);
    EXPECT_EQ(VendorSeen(c), (std::vector<Req>{{0x40, 9, 255, 2, 0}, {0xC0, 10, 0, 2, 1}}));
    EXPECT_EQ(c.If(0).State().latency_ms, 16);  // the other interface keeps its own
}

TEST_F(FeatureTest, LatencyAndDeadmanTimeOutSetTheReceiveTimeOut) {
    Chip &r = Add(WithSerial(ChipSpec::FT232R(), "R1"));
    Chip &hs = Add(WithSerial(ChipSpec::FT232H(), "H1"));
    StartLibrary();
    FT_HANDLE h = OpenClean(r, "R1");
    FT_HANDLE hh = OpenClean(hs, "H1");
    ASSERT_NE(h, nullptr);
    ASSERT_NE(hh, nullptr);
    EXPECT_EQ(FT_SetDeadmanTimeout(h, 1000), FT_OK);
    EXPECT_EQ(Record(h)->in_timeout.load(), 2056u);  // 4096 / 62 * 16 + 1000
    EXPECT_EQ(FT_SetDeadmanTimeout(h, 5000), FT_OK);
    EXPECT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
    EXPECT_EQ(Record(h)->in_timeout.load(), InTimeout(4096, 64, 2, 5000));

    // 512-byte packets carry 510 payload bytes.
    EXPECT_EQ(FT_SetLatencyTimer(hh, 16), FT_OK);
    EXPECT_EQ(Record(hh)->in_timeout.load(), InTimeout(4096, 512, 16, 5000));

    // Reception goes on with the new time-out.
    r.If(0).InjectRx("abc");
    EXPECT_EQ(ReadAll(h, 3), (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST_F(FeatureTest, BitModeIsSentWholeAndReadBackFromThePins) {
    Chip &c = Add(WithSerial(ChipSpec::FT2232C(), "C1"));
    StartLibrary();
    FT_HANDLE h = OpenClean(c, "C1B");
    ASSERT_NE(h, nullptr);

    EXPECT_EQ(FT_SetBitMode(h, 0x0F, 0x01), FT_OK);
    EXPECT_EQ(c.If(1).State().bit_mask, 0x0F);
    EXPECT_EQ(c.If(1).State().bit_mode, 0x01);

    // The answer is the pins, not the mode last set: the four outputs low,
    // the inputs as the outside sets them.
    c.If(1).SetPins(0xA5);
    uint8_t pins = 0;
    EXPECT_EQ(FT_GetBitMode(h, &pins), FT_OK);
    EXPECT_EQ(pins, 0xA0);
    EXPECT_EQ(FT_GetBitMode(h, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(VendorSeen(c), (std::vector<Req>{{0x40, 11, 0x010F, 2, 0}, {0xC0, 12, 0, 2, 1}}));

    c.FailRequest(Fail(11));
    EXPECT_EQ(FT_SetBitMode(h, 0x0F, 0x40), FT_IO_ERROR);
    c.FailRequest(Fail(12, FaultMode::Short));
    pins = 0x11;
    EXPECT_EQ(FT_GetBitMode(h, &pins), FT_IO_ERROR);
    EXPECT_EQ(pins, 0x11);
}

TEST_F(FeatureTest, UsbParametersAreBoundedAndKeptToWholePackets) {
    Chip &r = Add(WithSerial(ChipSpec::FT232R(), "R1"));
    Chip &hs = Add(WithSerial(ChipSpec::FT232H(), "H1"));
    StartLibrary();
    FT_HANDLE h = OpenClean(r, "R1");
    FT_HANDLE hh = OpenClean(hs, "H1");
    ASSERT_NE(h, nullptr);
    ASSERT_NE(hh, nullptr);
    d2xx::DeviceExtension *d = Record(h);
    auto in_size = [](d2xx::DeviceExtension *rec) {
        std::scoped_lock lock(rec->rx_mutex);
        return rec->in_transfer_size;
    };
    ASSERT_EQ(in_size(d), 4096u);

    // Below one packet: ignored. Above the maximum: the maximum.
    EXPECT_EQ(FT_SetUSBParameters(h, 32, 100000), FT_OK);
    EXPECT_EQ(in_size(d), 4096u);
    EXPECT_EQ(FT_SetUSBParameters(h, 100000, 32), FT_OK);
    EXPECT_EQ(in_size(d), 65536u);
    // Larger transfers fill more slowly: the receive time-out grows with them.
    EXPECT_EQ(d->in_timeout.load(), InTimeout(65536, 64, 16, 5000));
    // A size inside a packet is cut back to whole packets.
    EXPECT_EQ(FT_SetUSBParameters(h, 1000, 1000), FT_OK);
    EXPECT_EQ(in_size(d), 960u);
    EXPECT_EQ(d->in_timeout.load(), InTimeout(960, 64, 16, 5000));
    EXPECT_EQ(FT_SetUSBParameters(hh, 1000, 1000), FT_OK);
    EXPECT_EQ(in_size(Record(hh)), 512u);
    // Nothing goes to the chip.
    EXPECT_TRUE(r.VendorRequests().empty());
    EXPECT_TRUE(hs.VendorRequests().empty());

    // Reception runs on with one-packet transfers, in order.
    EXPECT_EQ(FT_SetUSBParameters(h, 64, 64), FT_OK);
    std::vector<uint8_t> data(3000);
    std::iota(data.begin(), data.end(), uint8_t{0});
    r.If(0).InjectRx(data);
    EXPECT_EQ(ReadAll(h, data.size()), data);
}

TEST_F(FeatureTest, VendorCommandsMoveAtMost128BytesEitherWay) {
    Chip &q = Add(WithSerial(ChipSpec::FT4222H_3(), "Q1"));
    StartLibrary();
    FT_HANDLE h = OpenClean(q, "Q1");
    ASSERT_NE(h, nullptr);

    // One data byte rides in wValue with no data stage.
    const uint8_t one = 0x5A;
    EXPECT_EQ(FT_VendorCmdSet(h, 0x07, &one, 1), FT_OK);
    std::vector<uint8_t> long_data(200);
    std::iota(long_data.begin(), long_data.end(), uint8_t{1});
    EXPECT_EQ(FT_VendorCmdSet(h, 0x08, long_data.data(), 3), FT_OK);
    EXPECT_EQ(FT_VendorCmdSet(h, 0x09, long_data.data(), 200), FT_OK);
    EXPECT_EQ(FT_VendorCmdSet(h, 0x0A, nullptr, 0), FT_OK);
    const std::vector<ControlRecord> sets = q.VendorRequests();
    EXPECT_EQ(VendorSeen(q), (std::vector<Req>{{0x40, 0x21, 0x5A07, 0, 0},
                                               {0x40, 0x21, 0x0008, 0, 3},
                                               {0x40, 0x21, 0x0009, 0, 128},
                                               {0x40, 0x21, 0x000A, 0, 0}}));
    ASSERT_EQ(sets.size(), 4u);
    EXPECT_EQ(sets[1].data, std::vector<uint8_t>(long_data.begin(), long_data.begin() + 3));
    EXPECT_EQ(sets[2].data, std::vector<uint8_t>(long_data.begin(), long_data.begin() + 128));
    EXPECT_EQ(FT_VendorCmdSet(h, 0x0B, nullptr, 5), FT_INVALID_PARAMETER);

    // Gets: the command (8 or 16 bits) in wValue; never more than the
    // caller's length written, never more than 128 asked for.
    q.ClearRequests();
    q.SetVendorCmdReply({1, 2, 3, 4, 5, 6, 7, 8});
    std::vector<uint8_t> buf(8, 0xEE);
    EXPECT_EQ(FT_VendorCmdGet(h, 0x33, buf.data(), 4), FT_OK);
    EXPECT_EQ(buf, (std::vector<uint8_t>{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(FT_VendorCmdGetEx(h, 0x1234, buf.data(), 2), FT_OK);
    std::vector<uint8_t> big(200, 0xEE);
    EXPECT_EQ(FT_VendorCmdGet(h, 0x35, big.data(), 200), FT_OK);
    EXPECT_EQ(big[7], 8);
    EXPECT_EQ(big[127], 0);  // the chip pads its answer to the length asked
    EXPECT_TRUE(std::all_of(big.begin() + 128, big.end(), [](uint8_t b) { return b == 0xEE; }));
    EXPECT_EQ(VendorSeen(q), (std::vector<Req>{{0xC0, 0x20, 0x0033, 0, 4},
                                               {0xC0, 0x20, 0x1234, 0, 2},
                                               {0xC0, 0x20, 0x0035, 0, 128}}));
    EXPECT_EQ(FT_VendorCmdGet(h, 0x33, nullptr, 4), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_VendorCmdGetEx(h, 0x33, nullptr, 4), FT_INVALID_PARAMETER);

    // A short answer is a failure.
    q.FailRequest(Fail(0x20, FaultMode::Short));
    EXPECT_EQ(FT_VendorCmdGet(h, 0x33, buf.data(), 4), FT_IO_ERROR);
    q.FailRequest(Fail(0x21));
    EXPECT_EQ(FT_VendorCmdSet(h, 0x07, &one, 1), FT_IO_ERROR);
}

}  // namespace
