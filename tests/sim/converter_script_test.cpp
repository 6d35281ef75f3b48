// Timed converter scenarios: parsing, validation against the mode and the
// device count, repetition, and what each action makes the converter send.
#include <gtest/gtest.h>

#include <mutex>

#include "converter/converter_script.h"

namespace ftdisim {
namespace {

using namespace std::chrono_literals;
using A = ScriptEvent::Action;

class FakeLine : public SerialLine {
  public:
    void SendToHost(const uint8_t *data, size_t n) override {
        std::scoped_lock lock(mutex);
        sent.insert(sent.end(), data, data + n);
    }
    LineSettings Settings() const override { return {}; }
    std::mutex mutex;
    std::vector<uint8_t> sent;  // guarded by mutex
};

ConverterScript Parse(std::string_view text, ConverterMode mode, int devices = 1) {
    ConverterScript s;
    std::string error;
    EXPECT_TRUE(ParseConverterScript(text, mode, devices, &s, &error)) << error;
    return s;
}

std::string ErrorOf(std::string_view text, ConverterMode mode, int devices = 1) {
    ConverterScript s;
    std::string error;
    EXPECT_FALSE(ParseConverterScript(text, mode, devices, &s, &error)) << text;
    return error;
}

TEST(ConverterScript, InputModeEventsAreParsedAndOrderedByTime) {
    const ConverterScript s = Parse(
        "# badge reader demo\n"
        "\n"
        "4.5   badge 12 346\tbad-parity   # both wrong\n"
        "2 badge 12 345\n"
        "6 @2 tamper on\n"
        "6 tamper 0x7f\n"
        "7.25 bits 1011\r\n"
        "8 raw 55 0x55 3\n"
        "9 unplug\n"
        "9.5 replug\n",
        ConverterMode::kInput, 2);
    ASSERT_EQ(s.events.size(), 8u);
    EXPECT_EQ(s.restart, 0ms);
    EXPECT_EQ(s.events[0].action, A::kBadge);
    EXPECT_EQ(s.events[0].at, 2000ms);
    EXPECT_EQ(s.events[0].facility, 12);
    EXPECT_EQ(s.events[0].badge, 345);
    EXPECT_FALSE(s.events[0].bad_even || s.events[0].bad_odd);
    EXPECT_EQ(s.events[0].line, 4);
    EXPECT_EQ(s.events[1].at, 4500ms);
    EXPECT_TRUE(s.events[1].bad_even && s.events[1].bad_odd);
    EXPECT_EQ(s.events[1].text, "4.5 badge 12 346 bad-parity");
    // Same time: file order kept.
    EXPECT_EQ(s.events[2].device, 2);
    EXPECT_EQ(s.events[2].value, 0xFF);
    EXPECT_EQ(s.events[3].device, 0);
    EXPECT_EQ(s.events[3].value, 0x7F);
    EXPECT_EQ(s.events[4].at, 7250ms);
    EXPECT_EQ(s.events[4].bit_count, 4u);
    EXPECT_EQ(s.events[4].bytes, std::vector<uint8_t>{0xB0});
    EXPECT_EQ(s.events[5].bytes, (std::vector<uint8_t>{0x55, 0x55, 0x03}));
    EXPECT_EQ(s.events[6].action, A::kUnplug);
    EXPECT_EQ(s.events[7].action, A::kReplug);
}

TEST(ConverterScript, RestartMakesTheScenarioRepeat) {
    const ConverterScript s =
        Parse("1 gpio 0 high\n2 gpio 1 low\n3 gpio 0 0x01\n4 restart\n", ConverterMode::kOutput);
    ASSERT_EQ(s.events.size(), 3u);
    EXPECT_EQ(s.restart, 4000ms);
    EXPECT_EQ(s.events[1].gpio, 1);
    EXPECT_EQ(s.events[1].value, 0x00);
    EXPECT_EQ(s.events[2].value, 0x01);

    EXPECT_EQ(ErrorOf("1 restart\n2 gpio 0 high\n", ConverterMode::kOutput),
              "line 2: event after the restart would never run");
    EXPECT_EQ(ErrorOf("0 restart\n", ConverterMode::kOutput),
              "line 1: restart needs a time above 0");
    EXPECT_EQ(ErrorOf("1 restart\n1 restart\n", ConverterMode::kOutput),
              "line 2: only one restart");
}

TEST(ConverterScript, MistakesAreReportedWithTheirLine) {
    const ConverterMode in = ConverterMode::kInput;
    EXPECT_EQ(ErrorOf("1 badge 1 2\n2 gpio 0 high\n", in),
              "line 2: 'gpio' needs a converter in output mode");
    EXPECT_EQ(ErrorOf("1 badge 1 2\n", ConverterMode::kOutput),
              "line 1: 'badge' needs a converter in input mode");
    EXPECT_EQ(ErrorOf("x badge 1 2\n", in), "line 1: 'x' is not a time in seconds");
    EXPECT_EQ(ErrorOf("-1 badge 1 2\n", in), "line 1: '-1' is not a time in seconds");
    EXPECT_EQ(ErrorOf("nan badge 1 2\n", in), "line 1: 'nan' is not a time in seconds");
    EXPECT_EQ(ErrorOf("1e300 badge 1 2\n", in), "line 1: '1e300' is not a time in seconds");
    EXPECT_EQ(ErrorOf("1 badge 256 2\n", in), "line 1: facility code must be 0..255");
    EXPECT_EQ(ErrorOf("1 badge 1 65536\n", in), "line 1: badge number must be 0..65535");
    EXPECT_EQ(ErrorOf("1 badge 1 2x\n", in), "line 1: badge number must be 0..65535");
    EXPECT_EQ(ErrorOf("1 badge 1 2 bad\n", in), "line 1: unknown badge option 'bad'");
    EXPECT_EQ(ErrorOf("1 bits 10201\n", in), "line 1: bits: only 0 and 1");
    EXPECT_EQ(ErrorOf("1 bits " + std::string(113, '1') + "\n", in), "line 1: bits: 1 to 112 bits");
    EXPECT_EQ(ErrorOf("1 tamper maybe\n", in), "line 1: usage: tamper on|off|<byte>");
    EXPECT_EQ(ErrorOf("1 raw 55 155\n", in), "line 1: raw: '155' is not a hex byte");
    EXPECT_EQ(ErrorOf("1 raw\n", in), "line 1: usage: raw <byte> [<byte> ...]");
    EXPECT_EQ(ErrorOf("1 @3 unplug\n", in, 2), "line 1: device must be @1..2");
    EXPECT_EQ(ErrorOf("1 @0 unplug\n", in, 2), "line 1: device must be @1..2");
    EXPECT_EQ(ErrorOf("1 @1\n", in), "line 1: missing action");
    EXPECT_EQ(ErrorOf("1 dance\n", in), "line 1: unknown action 'dance'");
    EXPECT_EQ(ErrorOf("1 unplug now\n", in), "line 1: 'unplug' takes no arguments");
    EXPECT_EQ(ErrorOf("1 gpio 2 high\n", ConverterMode::kOutput),
              "line 1: usage: gpio 0|1 high|low|<byte>");
}

TEST(ConverterScript, ActionsMakeTheConverterSendTheirFrames) {
    const ConverterScript s =
        Parse("1 badge 12 345 bad-even\n2 bits 1\n3 tamper on\n4 raw 0D 55\n5 unplug\n",
              ConverterMode::kInput);
    WiegandConverter conv(ConverterMode::kInput);
    FakeLine line;
    conv.Attach(&line);
    for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(ApplyToConverter(s.events[i], conv));
    EXPECT_FALSE(ApplyToConverter(s.events[4], conv));  // not the converter's business

    std::vector<uint8_t> expected = BuildFrame(kCmdWiegand, *EncodeWiegand26(12, 345, true));
    const auto one_bit = BuildFrame(kCmdWiegand, *EncodeWiegandBits(1, std::vector<uint8_t>{0x80}));
    expected.insert(expected.end(), one_bit.begin(), one_bit.end());
    for (uint8_t b : {0x55, 0x55, 0x02, 0xFF, 0x00, 0x0D, 0x0D, 0x55}) expected.push_back(b);
    std::scoped_lock lock(line.mutex);
    EXPECT_EQ(line.sent, expected);
    EXPECT_EQ(conv.Tamper(), 0xFF);
}

}  // namespace
}  // namespace ftdisim
