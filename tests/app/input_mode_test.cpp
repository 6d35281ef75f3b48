// wg_input: Wiegand and tamper reports decoded and printed, GPIO commands,
// key map and help text.
#include <gtest/gtest.h>

#include "InputMode.h"
#include "console.h"
#include "link_protocol.h"
#include "test_support.h"

namespace {

using fake::Bytes;

class InputModeTest : public ConsoleTest {
  protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        SetFrameHandler(InputModeDispatch);
    }
};

Bytes WiegandReport(unsigned char bits, std::initializer_list<unsigned char> data) {
    Bytes frame(20, 0x00);
    frame[0] = frame[1] = 0x55;
    frame[2] = 0x01;
    frame[3] = bits;
    std::size_t i = 4;
    for (unsigned char b : data) frame[i++] = b;
    frame[19] = 0x0D;
    return frame;
}

TEST_F(InputModeTest, WiegandReportIsDumpedDecodedAndJudged) {
    struct Case {
        std::initializer_list<unsigned char> data;
        const char *decoded;
    };
    const Case cases[] = {
        {{0x06, 0x00, 0xAC, 0x80}, "Facility Code=12, Badge ID=345, Parity Bits OK.\n"},
        {{0x86, 0x00, 0xAC, 0x80}, "Facility Code=12, Badge ID=345, Parity Bit Even Error.\n"},
        {{0x06, 0x00, 0xAC, 0xC0}, "Facility Code=12, Badge ID=345, Parity Bit Odd Error.\n"},
        {{0x86, 0x00, 0xAC, 0xC0}, "Facility Code=12, Badge ID=345, Parity Bits Error.\n"},
        {{0x7F, 0xFF, 0xFF, 0xC0}, "Facility Code=255, Badge ID=65535, Parity Bits OK.\n"},
    };
    for (const Case &c : cases) {
        const Bytes report = WiegandReport(0x1A, c.data);
        const std::string printed = Printed([&] { Receive(report); });
        EXPECT_EQ(printed, "Wiegand Frame Hex format:\n" + Hex(report) + " \n" +
                               "26 Bit Wiegand, " + c.decoded + "\n");
    }
    // The dump line holds every byte of the frame, each followed by a blank.
    EXPECT_EQ(Printed([] {
                  Receive(WiegandReport(0x1A, {0x06, 0x00, 0xAC, 0x80}));
              }).substr(26, 61),
              "55 55 01 1A 06 00 AC 80 00 00 00 00 00 00 00 00 00 00 00 0D \n");
}

TEST_F(InputModeTest, ReportsOfOtherLengthsAreOnlyDumped) {
    for (unsigned char bits : {0x22, 0x00, 0x1B, 0xFF}) {
        const Bytes report = WiegandReport(bits, {0x86, 0x00, 0xAC, 0xC0, 0x12});
        EXPECT_EQ(Printed([&] { Receive(report); }),
                  "Wiegand Frame Hex format:\n" + Hex(report) + " \n\n");
    }
}

TEST_F(InputModeTest, TamperReportsPrintTheirStateOrAnErrorWithoutLineEnd) {
    const std::string printed = Printed([] {
        Receive({0x55, 0x55, 0x02, 0xFF, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x02, 0x00, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x02, 0x80, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x02, 0xFF, 0x00, 0x0D});
    });
    EXPECT_EQ(printed, "Set Tamper\nRst Tamper\nErr TamperSet Tamper\n");
}

TEST_F(InputModeTest, ReportsForTheOtherProgramAreDroppedSilently) {
    const std::string printed = Printed([] {
        Receive({0x55, 0x55, 0x03, 0xFF, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x04, 0x00, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x0B, 0x00, 0x00, 0x0D});
    });
    EXPECT_EQ(printed, "");
}

TEST_F(InputModeTest, GpioKeysWriteTheirFramesOnOneLineWithTheOutcome) {
    EXPECT_EQ(Printed([] { InputModeKey('O'); }), "Set GPIO0  Ok\n");
    EXPECT_EQ(Printed([] { InputModeKey('o'); }), "Reset GPIO0  Ok\n");
    EXPECT_EQ(Printed([] { InputModeKey('P'); }), "Set GPIO1  Ok\n");
    EXPECT_EQ(Printed([] { InputModeKey('p'); }), "Reset GPIO1  Ok\n");
    EXPECT_EQ(Printed([] { InputModeKey('R'); }), "Reset request   Ok\n");
    const auto &writes = fake::library().writes;
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_EQ(Hex(writes[0]), "55 55 03 FF 00 0D");
    EXPECT_EQ(Hex(writes[1]), "55 55 03 00 00 0D");
    EXPECT_EQ(Hex(writes[2]), "55 55 04 FF 00 0D");
    EXPECT_EQ(Hex(writes[3]), "55 55 04 00 00 0D");
    EXPECT_EQ(Hex(writes[4]), "55 55 0A 00 00 0D");

    fake::library().writeStatus = FT_IO_ERROR;
    EXPECT_EQ(Printed([] { InputModeKey('O'); }), "Set GPIO0  Nok\n");
    EXPECT_EQ(ftStatus, FT_IO_ERROR);
}

TEST_F(InputModeTest, KeysOutsideTheMapDoNothing) {
    const std::string printed = Printed([] {
        for (int key : std::initializer_list<int>{'T', 't', 'W', 'w', 'q', '\n', 0x80}) {
            InputModeKey(static_cast<unsigned char>(key));
        }
    });
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(fake::library().writes.empty());
}

}  // namespace
