// The converter's side of the link: framing and resynchronisation, the
// commands of each mode, reset and EEPROM replies, line settings, reports,
// the transcript observer, and use from several threads.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "converter/wiegand_converter.h"

namespace ftdisim {
namespace {

using Bytes = std::vector<uint8_t>;

class FakeLine : public SerialLine {
  public:
    void SendToHost(const uint8_t *data, size_t n) override {
        std::scoped_lock lock(mutex);
        sent.insert(sent.end(), data, data + n);
        ++writes;
    }
    LineSettings Settings() const override {
        std::scoped_lock lock(mutex);
        return settings;
    }
    void Set(const LineSettings &s) {
        std::scoped_lock lock(mutex);
        settings = s;
    }
    Bytes Take() {
        std::scoped_lock lock(mutex);
        return std::exchange(sent, {});
    }

    mutable std::mutex mutex;
    LineSettings settings;  // guarded by mutex
    Bytes sent;             // guarded by mutex
    int writes = 0;         // guarded by mutex
};

const Bytes kReset = {0x55, 0x55, 0x0A, 0x00, 0x00, 0x0D};
const Bytes kEepromRequest = {0x55, 0x55, 0x0B, 0x00, 0x00, 0x0D};
const Bytes kTamperOn = {0x55, 0x55, 0x02, 0xFF, 0x00, 0x0D};
const Bytes kTamperOff = {0x55, 0x55, 0x02, 0x00, 0x00, 0x0D};
const Bytes kGpio0High = {0x55, 0x55, 0x03, 0xFF, 0x00, 0x0D};
const Bytes kGpio1High = {0x55, 0x55, 0x04, 0xFF, 0x00, 0x0D};
const Bytes kGpio1Low = {0x55, 0x55, 0x04, 0x00, 0x00, 0x0D};

void Feed(WiegandConverter &c, const Bytes &b, LineSettings s = {}) {
    c.OnHostBytes(b.data(), b.size(), s);
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(ConverterLink, OutputModeFollowsTamperCommandsAndIgnoresTheRest) {
    WiegandConverter conv(ConverterMode::kOutput);
    FakeLine line;
    conv.Attach(&line);
    Feed(conv, kTamperOn);
    EXPECT_EQ(conv.Tamper(), 0xFF);
    Feed(conv, Bytes{0x55, 0x55, 0x02, 0x01, 0x00, 0x0D});  // not a level
    EXPECT_EQ(conv.Tamper(), 0xFF);
    Feed(conv, kGpio0High);  // an input-mode command
    EXPECT_EQ(conv.Gpio(0), 0x00);
    Feed(conv, Bytes{0x55, 0x55, 0x09, 0x01, 0x02, 0x00, 0x0D});
    Feed(conv, kTamperOff);
    EXPECT_EQ(conv.Tamper(), 0x00);
    EXPECT_EQ(conv.FramesReceived(), 5u);
    EXPECT_EQ(conv.IgnoredFrames(), 3u);
    EXPECT_EQ(conv.GarbageBytes(), 0u);
    EXPECT_TRUE(line.Take().empty());
}

TEST(ConverterLink, InputModeFollowsGpioCommandsAndIgnoresTheRest) {
    WiegandConverter conv(ConverterMode::kInput);
    FakeLine line;
    conv.Attach(&line);
    Feed(conv, Cat({kGpio0High, kGpio1High}));
    EXPECT_EQ(conv.Gpio(0), 0xFF);
    EXPECT_EQ(conv.Gpio(1), 0xFF);
    Feed(conv, kGpio1Low);
    EXPECT_EQ(conv.Gpio(0), 0xFF);
    EXPECT_EQ(conv.Gpio(1), 0x00);
    Feed(conv, Bytes{0x55, 0x55, 0x03, 0x7F, 0x00, 0x0D});
    EXPECT_EQ(conv.Gpio(0), 0xFF);
    Feed(conv, kTamperOn);  // an output-mode command
    EXPECT_EQ(conv.Tamper(), 0x00);
    const auto wiegand = BuildFrame(kCmdWiegand, *EncodeWiegand26(1, 2));
    Feed(conv, wiegand);
    EXPECT_TRUE(conv.LastWiegandFrames().empty());
    EXPECT_EQ(conv.FramesReceived(), 6u);
    EXPECT_EQ(conv.IgnoredFrames(), 3u);
    EXPECT_TRUE(line.Take().empty());
}

TEST(ConverterLink, ResetIsAnsweredAndClearsTheOutputsTheHostDrives) {
    for (ConverterMode mode : {ConverterMode::kOutput, ConverterMode::kInput}) {
        WiegandConverter conv(mode);
        FakeLine line;
        conv.Attach(&line);
        Feed(conv, Cat({kTamperOn, kGpio0High, kGpio1High}));
        Feed(conv, kReset);
        EXPECT_EQ(line.Take(), kReset);
        EXPECT_EQ(conv.ResetRequests(), 1u);
        EXPECT_EQ(conv.Tamper(), 0x00);
        EXPECT_EQ(conv.Gpio(0), 0x00);
        EXPECT_EQ(conv.Gpio(1), 0x00);
    }
    // Levels the converter reports itself are inputs: a reset keeps them.
    WiegandConverter in(ConverterMode::kInput);
    FakeLine line;
    in.Attach(&line);
    ASSERT_TRUE(in.SendTamper(0xFF));
    line.Take();
    Feed(in, kReset);
    EXPECT_EQ(in.Tamper(), 0xFF);
}

TEST(ConverterLink, EepromDumpIsAnsweredWithTheConfigurationBlock) {
    for (ConverterMode mode : {ConverterMode::kOutput, ConverterMode::kInput}) {
        WiegandConverter conv(mode);
        FakeLine line;
        conv.Attach(&line);
        Feed(conv, kEepromRequest);
        const Bytes reply = line.Take();
        ASSERT_EQ(reply.size(), 26u);
        EXPECT_EQ(reply, conv.EepromReply());
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 3), (Bytes{0x55, 0x55, 0x0B}));
        EXPECT_EQ(reply[24], 0x00);
        EXPECT_EQ(reply[25], 0x0D);
        EXPECT_EQ(reply[4], mode == ConverterMode::kInput ? 0x01 : 0x02);
        EXPECT_EQ(reply[5], 26);
        uint8_t sum = 0;
        for (size_t i = 3; i < 24; ++i) sum = static_cast<uint8_t>(sum + reply[i]);
        EXPECT_EQ(sum, 0) << "checksum";
        EXPECT_EQ(conv.EepromRequests(), 1u);
        EXPECT_EQ(DescribeBytes(reply), "eeprom dump reply, 21 bytes");
    }
}

TEST(ConverterLink, FramesSplitAnywhereAreAssembled) {
    WiegandConverter conv(ConverterMode::kOutput);
    FakeLine line;
    conv.Attach(&line);
    // One byte per write, including between the two sync bytes.
    for (uint8_t b : kReset) conv.OnHostBytes(&b, 1, LineSettings{});
    EXPECT_EQ(line.Take(), kReset);
    // A Wiegand frame whose payload holds 0x0D and 0x00 0x0D pairs, in three
    // uneven pieces.
    Bytes w = BuildFrame(kCmdWiegand, *EncodeWiegand26(13, 0x0D00));
    w[10] = 0x00;
    w[11] = 0x0D;
    Feed(conv, Bytes(w.begin(), w.begin() + 1));
    Feed(conv, Bytes(w.begin() + 1, w.begin() + 12));
    EXPECT_TRUE(conv.LastWiegandFrames().empty());
    Feed(conv, Bytes(w.begin() + 12, w.end()));
    ASSERT_EQ(conv.LastWiegandFrames().size(), 1u);
    EXPECT_EQ(conv.LastWiegandFrames()[0].facility, 13);
    EXPECT_EQ(conv.LastWiegandFrames()[0].badge, 0x0D00);
    EXPECT_EQ(conv.FramesReceived(), 2u);
    EXPECT_EQ(conv.GarbageBytes(), 0u);
}

TEST(ConverterLink, GarbageIsSkippedAndFramesInsideBrokenOnesAreFound) {
    WiegandConverter conv(ConverterMode::kOutput);
    FakeLine line;
    conv.Attach(&line);
    Feed(conv, Cat({Bytes{0x12, 0x55, 0x34}, kTamperOn}));
    EXPECT_EQ(conv.Tamper(), 0xFF);
    EXPECT_EQ(conv.GarbageBytes(), 3u);
    // A tamper frame with two payload bytes is no frame; the request after it is.
    Feed(conv, Cat({Bytes{0x55, 0x55, 0x02, 0x00, 0x00, 0x00, 0x0D}, kEepromRequest}));
    EXPECT_EQ(conv.Tamper(), 0xFF);
    EXPECT_EQ(line.Take(), conv.EepromReply());
    EXPECT_EQ(conv.GarbageBytes(), 10u);
    // A frame starting inside a cut-off one; a tripled sync byte; an unknown code.
    Feed(conv, Cat({Bytes{0x55, 0x55, 0x02, 0xFF}, kTamperOff}));
    EXPECT_EQ(conv.Tamper(), 0x00);
    Feed(conv, Cat({Bytes{0x55}, kTamperOn, Bytes{0x55, 0x55, 0x42, 0x00, 0x00, 0x0D}}));
    EXPECT_EQ(conv.Tamper(), 0xFF);
    EXPECT_EQ(conv.GarbageBytes(), 10u + 4u + 1u + 6u);
    EXPECT_EQ(conv.FramesReceived(), 4u);
    // Afterwards the line is clean again.
    Feed(conv, kTamperOff);
    EXPECT_EQ(conv.Tamper(), 0x00);
}

TEST(ConverterLink, BytesAtOtherLineSettingsAreGarbled) {
    WiegandConverter conv(ConverterMode::kOutput);
    FakeLine line;
    conv.Attach(&line);
    LineSettings fast;
    fast.baud = 19200;
    LineSettings seven;
    seven.data_bits = 7;
    LineSettings even;
    even.parity = 2;
    LineSettings two_stop;
    two_stop.stop_bits = 2;
    LineSettings brk;
    brk.break_on = true;
    for (const LineSettings &s : {fast, seven, even, two_stop, brk}) {
        Feed(conv, Cat({kTamperOn, kEepromRequest}), s);
    }
    EXPECT_EQ(conv.FramesReceived(), 0u);
    EXPECT_EQ(conv.GarbageBytes(), 5u * 12u);
    EXPECT_EQ(conv.Tamper(), 0x00);
    EXPECT_TRUE(line.Take().empty());
    // Within the tolerance of the converter's UART the bytes get through.
    LineSettings near;
    near.baud = 9615;
    Feed(conv, kTamperOn, near);
    EXPECT_EQ(conv.Tamper(), 0xFF);

    // And the converter's own bytes reach a host at other settings garbled.
    WiegandConverter in(ConverterMode::kInput);
    in.Attach(&line);
    line.Set(fast);
    ASSERT_TRUE(in.SendTamper(0xFF));
    const Bytes got = line.Take();
    ASSERT_EQ(got.size(), kTamperOn.size());
    EXPECT_NE(got, kTamperOn);
    for (uint8_t b : got) {
        EXPECT_NE(b, 0x55);
        EXPECT_NE(b, 0x0D);
    }
    // Deterministic: the same bytes garble the same way.
    ASSERT_TRUE(in.SendTamper(0xFF));
    EXPECT_EQ(line.Take(), got);
}

TEST(ConverterLink, ReportsAndRawBytesGoOutAsGiven) {
    WiegandConverter out(ConverterMode::kOutput);
    FakeLine line;
    EXPECT_FALSE(out.SendGpioReport(0, 0xFF));  // not attached yet
    out.Attach(&line);
    ASSERT_TRUE(out.SendGpioReport(0, 0xFF));
    ASSERT_TRUE(out.SendGpioReport(1, 0x01));  // an invalid level is still sent
    EXPECT_FALSE(out.SendGpioReport(2, 0xFF));
    EXPECT_EQ(line.Take(), Cat({kGpio0High, Bytes{0x55, 0x55, 0x04, 0x01, 0x00, 0x0D}}));
    EXPECT_EQ(out.Gpio(0), 0xFF);
    EXPECT_EQ(out.Gpio(1), 0x00);

    // A report split over two writes, then garbage.
    ASSERT_TRUE(out.SendRaw(Bytes{0x55}));
    ASSERT_TRUE(out.SendRaw(Bytes{0x55, 0x04, 0xFF, 0x00, 0x0D, 0xAA}));
    EXPECT_EQ(line.Take(), Cat({kGpio1High, Bytes{0xAA}}));
    EXPECT_EQ(out.Gpio(1), 0x00);  // raw bytes change no state

    WiegandConverter in(ConverterMode::kInput);
    in.Attach(&line);
    ASSERT_TRUE(in.SendTamper(0xFF));
    ASSERT_TRUE(in.SendTamper(0x00));
    EXPECT_EQ(line.Take(), Cat({kTamperOn, kTamperOff}));
    EXPECT_EQ(in.Tamper(), 0x00);
}

TEST(ConverterLink, DetachStopsSendingAndDropsAHalfReceivedFrame) {
    WiegandConverter conv(ConverterMode::kOutput);
    FakeLine line;
    conv.Attach(&line);
    EXPECT_TRUE(conv.Attached());
    Feed(conv, Bytes{0x55, 0x55, 0x02});
    conv.Detach();
    EXPECT_FALSE(conv.Attached());
    EXPECT_FALSE(conv.SendGpioReport(0, 0xFF));
    EXPECT_FALSE(conv.SendRaw(Bytes{1, 2, 3}));
    EXPECT_EQ(conv.Gpio(0), 0x00);
    // Plugged back: the remainder of the old frame is no frame.
    conv.Attach(&line);
    Feed(conv, Bytes{0xFF, 0x00, 0x0D});
    EXPECT_EQ(conv.Tamper(), 0x00);
    EXPECT_EQ(conv.FramesReceived(), 0u);
    Feed(conv, kReset);
    EXPECT_EQ(line.Take(), kReset);
}

TEST(ConverterLink, ObserverSeesEveryPieceInWireOrder) {
    WiegandConverter conv(ConverterMode::kInput);
    FakeLine line;
    conv.Attach(&line);
    std::vector<LinkRecord> records;
    conv.SetFrameObserver([&](const LinkRecord &r) { records.push_back(r); });
    Feed(conv, Cat({Bytes{0x01, 0x02}, kReset}));
    ASSERT_TRUE(conv.SendWiegand26(12, 345));
    ASSERT_TRUE(conv.SendRaw(Bytes{0x55}));
    LineSettings slow;
    slow.baud = 4800;
    Feed(conv, kGpio0High, slow);

    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[0].direction, LinkDirection::kHostToConverter);
    EXPECT_EQ(records[0].kind, LinkRecord::Kind::kGarbage);
    EXPECT_EQ(records[0].bytes, (Bytes{0x01, 0x02}));
    EXPECT_EQ(records[1].kind, LinkRecord::Kind::kFrame);
    EXPECT_EQ(records[1].bytes, kReset);
    EXPECT_EQ(records[2].direction, LinkDirection::kConverterToHost);
    EXPECT_EQ(records[2].bytes, kReset);
    EXPECT_EQ(DescribeBytes(records[3].bytes), "wiegand 26 bits facility 12 badge 345 parity ok");
    EXPECT_EQ(records[4].kind, LinkRecord::Kind::kRaw);
    EXPECT_EQ(records[5].kind, LinkRecord::Kind::kGarbage);
    EXPECT_TRUE(records[5].garbled);
    EXPECT_EQ(records[5].line.baud, 4800u);
    EXPECT_FALSE(records[1].garbled);
    for (size_t i = 1; i < records.size(); ++i) EXPECT_LE(records[i - 1].when, records[i].when);
}

TEST(ConverterLink, ConcurrentReportsAndCommandsStayWholeFrames) {
    WiegandConverter conv(ConverterMode::kOutput);
    FakeLine line;
    conv.Attach(&line);
    constexpr int kPerThread = 300;
    std::vector<std::jthread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&conv, t] {
            for (int i = 0; i < kPerThread; ++i) {
                ASSERT_TRUE(conv.SendGpioReport(t, (i % 2) ? 0xFF : 0x00));
            }
        });
    }
    threads.emplace_back([&conv] {
        for (int i = 0; i < kPerThread; ++i) Feed(conv, i % 2 ? kTamperOn : kReset);
    });
    threads.emplace_back([&conv] {
        for (int i = 0; i < kPerThread; ++i) {
            (void)conv.Tamper();
            (void)conv.FramesReceived();
        }
    });
    threads.clear();

    // Everything the converter sent parses back into whole frames.
    WiegandConverter check(ConverterMode::kInput);
    FakeLine sink;
    check.Attach(&sink);
    Feed(check, line.Take());
    EXPECT_EQ(check.GarbageBytes(), 0u);
    EXPECT_EQ(check.FramesReceived(), 2u * kPerThread + kPerThread / 2);
    EXPECT_EQ(conv.FramesReceived(), static_cast<uint64_t>(kPerThread));
    EXPECT_EQ(conv.Gpio(0), 0xFF);
    EXPECT_EQ(conv.Gpio(1), 0xFF);
}

}  // namespace
}  // namespace ftdisim
