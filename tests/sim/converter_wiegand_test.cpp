// Wiegand payloads: the 26-bit layout with both parity bits, frames of other
// lengths, and what the converter records and reports in each mode.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "converter/wiegand_converter.h"

namespace ftdisim {
namespace {

// The chip side of the line as the converter sees it: captures what the
// converter sends, with settings the test chooses.
class FakeLine : public SerialLine {
  public:
    void SendToHost(const uint8_t *data, size_t n) override {
        std::scoped_lock lock(mutex);
        sent.insert(sent.end(), data, data + n);
    }
    LineSettings Settings() const override { return settings; }
    std::vector<uint8_t> Take() {
        std::scoped_lock lock(mutex);
        return std::exchange(sent, {});
    }

    LineSettings settings;  // written by the test thread only, before sends
    std::mutex mutex;
    std::vector<uint8_t> sent;  // guarded by mutex
};

std::vector<uint8_t> Frame20(std::initializer_list<uint8_t> head) {
    std::vector<uint8_t> f = {0x55, 0x55, 0x01, 0x1A};
    for (const uint8_t b : head) f.push_back(b);
    f.resize(18, 0x00);
    f.push_back(0x00);
    f.push_back(0x0D);
    return f;
}

TEST(ConverterWiegand, BadgeReportsCarryFacilityBadgeAndBothParityBits) {
    WiegandConverter conv(ConverterMode::kInput);
    FakeLine line;
    conv.Attach(&line);
    struct Case {
        int facility, badge;
        std::initializer_list<uint8_t> bytes;
    };
    const Case cases[] = {
        {0, 0, {0x00, 0x00, 0x00, 0x40}},       {1, 1, {0x80, 0x80, 0x00, 0x80}},
        {12, 345, {0x06, 0x00, 0xAC, 0x80}},    {255, 65535, {0x7F, 0xFF, 0xFF, 0xC0}},
        {128, 32768, {0x40, 0x40, 0x00, 0x40}},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(conv.SendWiegand26(c.facility, c.badge));
        EXPECT_EQ(line.Take(), Frame20(c.bytes)) << c.facility << "/" << c.badge;
    }
    const auto frames = conv.LastWiegandFrames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[2].facility, 12);
    EXPECT_EQ(frames[2].badge, 345);
    EXPECT_TRUE(frames[2].ParityOk());
}

TEST(ConverterWiegand, DeliberatelyWrongParityFlipsOnlyTheChosenBit) {
    WiegandConverter conv(ConverterMode::kInput);
    FakeLine line;
    conv.Attach(&line);
    ASSERT_TRUE(conv.SendWiegand26(12, 345, true, false));
    EXPECT_EQ(line.Take(), Frame20({0x86, 0x00, 0xAC, 0x80}));
    ASSERT_TRUE(conv.SendWiegand26(12, 345, false, true));
    EXPECT_EQ(line.Take(), Frame20({0x06, 0x00, 0xAC, 0xC0}));
    ASSERT_TRUE(conv.SendWiegand26(12, 345, true, true));
    EXPECT_EQ(line.Take(), Frame20({0x86, 0x00, 0xAC, 0xC0}));

    const auto frames = conv.LastWiegandFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_FALSE(frames[0].even_parity_ok);
    EXPECT_TRUE(frames[0].odd_parity_ok);
    EXPECT_TRUE(frames[1].even_parity_ok);
    EXPECT_FALSE(frames[1].odd_parity_ok);
    EXPECT_FALSE(frames[2].even_parity_ok);
    EXPECT_FALSE(frames[2].odd_parity_ok);
    for (const auto &f : frames) {
        EXPECT_EQ(f.facility, 12);
        EXPECT_EQ(f.badge, 345);
    }
}

TEST(ConverterWiegand, EncodingAndDecodingAgreeOverTheWholeRange) {
    for (int facility = 0; facility <= 255; facility += 3) {
        for (int badge = 0; badge <= 65535; badge += 257) {
            const auto p = EncodeWiegand26(facility, badge);
            ASSERT_TRUE(p.has_value());
            const WiegandFrame w = DecodeWiegand(*p);
            ASSERT_EQ(w.bit_count, 26);
            ASSERT_EQ(w.facility, facility);
            ASSERT_EQ(w.badge, badge);
            ASSERT_TRUE(w.ParityOk()) << facility << "/" << badge;
            // Nothing past bit 25 is set.
            ASSERT_EQ((*p)[4] & 0x3F, 0);
            for (size_t i = 5; i < p->size(); ++i) ASSERT_EQ((*p)[i], 0);
        }
    }
}

TEST(ConverterWiegand, OutOfRangeBadgesAreRefusedWithoutSending) {
    WiegandConverter conv(ConverterMode::kInput);
    FakeLine line;
    conv.Attach(&line);
    EXPECT_FALSE(conv.SendWiegand26(256, 1));
    EXPECT_FALSE(conv.SendWiegand26(-1, 1));
    EXPECT_FALSE(conv.SendWiegand26(1, 65536));
    EXPECT_FALSE(conv.SendWiegand26(1, -1));
    EXPECT_TRUE(line.Take().empty());
    EXPECT_TRUE(conv.LastWiegandFrames().empty());
}

TEST(ConverterWiegand, ReportsOfOtherLengthsCarryTheGivenBits) {
    WiegandConverter conv(ConverterMode::kInput);
    FakeLine line;
    conv.Attach(&line);
    const uint8_t bits34[] = {0xDE, 0xAD, 0xBE, 0xEF, 0xC0};
    ASSERT_TRUE(conv.SendWiegandBits(34, bits34));
    const auto sent = line.Take();
    ASSERT_EQ(sent.size(), 20u);
    EXPECT_EQ(sent[3], 0x22);
    EXPECT_EQ(std::vector<uint8_t>(sent.begin() + 4, sent.begin() + 9),
              std::vector<uint8_t>(std::begin(bits34), std::end(bits34)));
    for (size_t i = 9; i < 18; ++i) EXPECT_EQ(sent[i], 0x00);
    EXPECT_EQ(sent[19], 0x0D);

    const std::vector<uint8_t> too_long(15, 0xFF);
    EXPECT_FALSE(conv.SendWiegandBits(120, too_long));
    EXPECT_FALSE(conv.SendWiegandBits(256, bits34));
    EXPECT_TRUE(line.Take().empty());
    ASSERT_EQ(conv.LastWiegandFrames().size(), 1u);
    EXPECT_EQ(conv.LastWiegandFrames()[0].bit_count, 34);
    EXPECT_EQ(conv.LastWiegandFrames()[0].facility, -1);
}

TEST(ConverterWiegand, OutputModeRecordsTheFramesTheHostSends) {
    WiegandConverter conv(ConverterMode::kOutput);
    FakeLine line;
    conv.Attach(&line);
    const auto ok = Frame20({0x06, 0x00, 0xAC, 0x80});
    const auto bad = Frame20({0x86, 0x00, 0xAC, 0xC0});
    conv.OnHostBytes(ok.data(), ok.size(), LineSettings{});
    conv.OnHostBytes(bad.data(), bad.size(), LineSettings{});

    const auto frames = conv.LastWiegandFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].facility, 12);
    EXPECT_EQ(frames[0].badge, 345);
    EXPECT_TRUE(frames[0].ParityOk());
    EXPECT_EQ(frames[1].facility, 12);
    EXPECT_FALSE(frames[1].even_parity_ok);
    EXPECT_FALSE(frames[1].odd_parity_ok);
    EXPECT_EQ(conv.FramesReceived(), 2u);
    EXPECT_EQ(conv.IgnoredFrames(), 0u);
    // The Wiegand side is not acknowledged on the link.
    EXPECT_TRUE(line.Take().empty());
}

TEST(ConverterWiegand, HistoryKeepsTheMostRecentFrames) {
    WiegandConverter conv(ConverterMode::kOutput);
    FakeLine line;
    conv.Attach(&line);
    const size_t total = WiegandConverter::kWiegandHistory + 5;
    for (size_t i = 0; i < total; ++i) {
        const auto p = EncodeWiegand26(1, static_cast<int>(i));
        const auto f = BuildFrame(kCmdWiegand, *p);
        conv.OnHostBytes(f.data(), f.size(), LineSettings{});
    }
    const auto frames = conv.LastWiegandFrames();
    ASSERT_EQ(frames.size(), WiegandConverter::kWiegandHistory);
    EXPECT_EQ(frames.front().badge, 5);
    EXPECT_EQ(frames.back().badge, static_cast<int>(total - 1));
    EXPECT_EQ(conv.FramesReceived(), total);
}

TEST(ConverterWiegand, ReportsOfTheOtherModeAreNotSent) {
    FakeLine line;
    WiegandConverter out(ConverterMode::kOutput);
    out.Attach(&line);
    EXPECT_FALSE(out.SendWiegand26(12, 345));
    EXPECT_FALSE(out.SendTamper(0xFF));
    const uint8_t bits[] = {0xFF};
    EXPECT_FALSE(out.SendWiegandBits(8, bits));
    WiegandConverter in(ConverterMode::kInput);
    in.Attach(&line);
    EXPECT_FALSE(in.SendGpioReport(0, 0xFF));
    EXPECT_TRUE(line.Take().empty());
    EXPECT_EQ(out.Tamper(), 0x00);
    EXPECT_EQ(in.Gpio(0), 0x00);
}

TEST(ConverterWiegand, DescriptionsNameTheBadgeAndTheParityVerdict) {
    EXPECT_EQ(DescribeBytes(Frame20({0x06, 0x00, 0xAC, 0x80})),
              "wiegand 26 bits facility 12 badge 345 parity ok");
    EXPECT_EQ(DescribeBytes(Frame20({0x86, 0x00, 0xAC, 0x80})),
              "wiegand 26 bits facility 12 badge 345 even parity wrong");
    EXPECT_EQ(DescribeBytes(Frame20({0x06, 0x00, 0xAC, 0xC0})),
              "wiegand 26 bits facility 12 badge 345 odd parity wrong");
    EXPECT_EQ(DescribeBytes(Frame20({0x86, 0x00, 0xAC, 0xC0})),
              "wiegand 26 bits facility 12 badge 345 both parities wrong");
    auto f34 = Frame20({});
    f34[3] = 34;
    EXPECT_EQ(DescribeBytes(f34), "wiegand 34 bits");
    EXPECT_EQ(DescribeBytes(std::vector<uint8_t>{0x55, 0x55, 0x02, 0xFF, 0x00, 0x0D}), "tamper on");
    EXPECT_EQ(DescribeBytes(std::vector<uint8_t>{0x55, 0x55, 0x04, 0x01, 0x00, 0x0D}),
              "gpio1 invalid 0x01");
    EXPECT_EQ(DescribeBytes(std::vector<uint8_t>{0x12, 0x34}), "unframed 2 bytes");
}

}  // namespace
}  // namespace ftdisim
