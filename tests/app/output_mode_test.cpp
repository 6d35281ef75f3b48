// wg_output: Wiegand frames sent, tamper commands, GPIO reports, key map and
// help text.
#include <gtest/gtest.h>

#include "OutputMode.h"
#include "console.h"
#include "link_protocol.h"
#include "test_support.h"

namespace {

using fake::Bytes;

class OutputModeTest : public ConsoleTest {
  protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        SetFrameHandler(OutputModeDispatch);
    }
};

TEST_F(OutputModeTest, WiegandFramesOfGivenValuesAreWrittenWhole) {
    struct Case {
        int facility;
        long badge;
        const char *frame;
    };
    const Case cases[] = {
        {0, 0, "55 55 01 1A 00 00 00 40 00 00 00 00 00 00 00 00 00 00 00 0D"},
        {1, 1, "55 55 01 1A 80 80 00 80 00 00 00 00 00 00 00 00 00 00 00 0D"},
        {12, 345, "55 55 01 1A 06 00 AC 80 00 00 00 00 00 00 00 00 00 00 00 0D"},
        {255, 65535, "55 55 01 1A 7F FF FF C0 00 00 00 00 00 00 00 00 00 00 00 0D"},
        {128, 32768, "55 55 01 1A 40 40 00 40 00 00 00 00 00 00 00 00 00 00 00 0D"},
    };
    for (const Case &c : cases) {
        fake::library().writes.clear();
        const std::string printed =
            Printed([&] { Send_WiegandFrame26b(ftHandle, c.facility, c.badge); });
        EXPECT_EQ(printed, "  Ok\nWiegand Frame sent \n");
        ASSERT_EQ(fake::library().writes.size(), 1u);
        EXPECT_EQ(Hex(fake::library().writes[0]), c.frame);
    }

    // A failed write is reported, and the frame still counts as sent.
    fake::library().writeStatus = FT_IO_ERROR;
    EXPECT_EQ(Printed([] { Send_WiegandFrame26b(ftHandle, 1, 1); }),
              "  Nok\nWiegand Frame sent \n");
}

TEST_F(OutputModeTest, WiegandPromptsRepeatUntilInRangeAndSkipNonNumbers) {
    FeedStdin("256\n-1\nabc def\n12\n65536\nx\n-1\n345\n");
    const std::string printed = Printed([] { OutputModeKey('w'); });
    EXPECT_EQ(printed,
              "Send 26b Wiegand Frame \n"
              "Facility code [0-255] :Facility code [0-255] :Facility code [0-255] :"
              "Facility code [0-255] :\n"
              "Badge_ID [0-65535] :Badge_ID [0-65535] :Badge_ID [0-65535] :"
              "Badge_ID [0-65535] :\n"
              "  Ok\nWiegand Frame sent \n");
    ASSERT_EQ(fake::library().writes.size(), 1u);
    EXPECT_EQ(Hex(fake::library().writes[0]),
              "55 55 01 1A 06 00 AC 80 00 00 00 00 00 00 00 00 00 00 00 0D");

    // The limits themselves are accepted.
    fake::library().writes.clear();
    FeedStdin("255\n65535\n");
    EXPECT_EQ(Printed([] { Send_WiegandFrame26b(ftHandle); }),
              "Facility code [0-255] :\nBadge_ID [0-65535] :\n  Ok\nWiegand Frame sent \n");
    ASSERT_EQ(fake::library().writes.size(), 1u);
    EXPECT_EQ(fake::library().writes[0][4], 0x7F);
}

TEST_F(OutputModeTest, EndOfInputAtAPromptSendsNothingAndEndsTheProgram) {
    FeedStdin("12\n");
    const std::string printed = Printed([] { Send_WiegandFrame26b(ftHandle); });
    EXPECT_EQ(printed, "Facility code [0-255] :\nBadge_ID [0-65535] :\n");
    EXPECT_TRUE(fake::library().writes.empty());
    EXPECT_TRUE(ExitRequested());
}

TEST_F(OutputModeTest, TamperKeysWriteTheirFramesOnOneLineWithTheOutcome) {
    EXPECT_EQ(Printed([] { OutputModeKey('T'); }), "Set Tamper  Ok\n");
    EXPECT_EQ(Printed([] { OutputModeKey('t'); }), "Reset Tamper  Ok\n");
    EXPECT_EQ(Printed([] { OutputModeKey('r'); }), "Reset request   Ok\n");
    const auto &writes = fake::library().writes;
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(Hex(writes[0]), "55 55 02 FF 00 0D");
    EXPECT_EQ(Hex(writes[1]), "55 55 02 00 00 0D");
    EXPECT_EQ(Hex(writes[2]), "55 55 0A 00 00 0D");

    // No device open: every command is reported as failed.
    ftHandle = nullptr;
    EXPECT_EQ(Printed([] { OutputModeKey('T'); }), "Set Tamper  Nok\n");
    EXPECT_EQ(Printed([] { OutputModeKey('R'); }), "Reset request   Nok\n");
}

TEST_F(OutputModeTest, KeysOutsideTheMapAndUndefinedFrameLengthsDoNothing) {
    const std::string printed = Printed([] {
        for (int key : std::initializer_list<int>{'O', 'o', 'P', 'p', 'a', 'V', '\n', ' ', 0xFF}) {
            OutputModeKey(static_cast<unsigned char>(key));
        }
        Send_WiegandFrame30b(ftHandle);
        Send_WiegandFrame34b(ftHandle);
        Send_WiegandFrame35b(ftHandle);
        Send_WiegandFrame37b(ftHandle);
        Send_WiegandFrame38b(ftHandle);
        Send_WiegandFrame42b(ftHandle);
    });
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(fake::library().writes.empty());
}

TEST_F(OutputModeTest, GpioReportsPrintTheirLevelOrAnErrorWithoutLineEnd) {
    const std::string printed = Printed([] {
        Receive({0x55, 0x55, 0x03, 0x00, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x03, 0xFF, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x04, 0xFF, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x04, 0x00, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x04, 0x01, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x03, 0x7F, 0x00, 0x0D});
    });
    EXPECT_EQ(printed, "Rst GPIO0\nSet GPIO0\nSet GPIO1\nRst GPIO1\nErr GPIO1Err GPIO0");
}

TEST_F(OutputModeTest, ReportsForTheOtherProgramAreDroppedSilently) {
    const std::string printed = Printed([] {
        Receive({0x55, 0x55, 0x01, 0x1A, 0x06, 0x00, 0xAC, 0x80, 0x00, 0x00,
                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x02, 0xFF, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x0A, 0x00, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x0B, 0x00, 0x00, 0x0D});
        Receive({0x55, 0x55, 0x09, 0x00, 0x00, 0x00, 0x0D});
    });
    EXPECT_EQ(printed, "");
    EXPECT_EQ(RxStates, kRxHunting);
}

TEST_F(OutputModeTest, HelpAndExitTexts) {
    const char *help =
        "\n\n"
        "Press 'r' or 'R' to send a Reset device\n"
        "Press 'd' or 'D' to read the device EEPROM\n"
        "Press 'x' or 'X' to exit\n"
        "\n\n";
    EXPECT_EQ(Printed([] { OutputModeKey('h'); }), help);
    EXPECT_EQ(Printed([] { OutputModeKey('H'); }), help);
    EXPECT_EQ(Printed([] { OutputModeKey('X'); }), "Exit \n\n");
    EXPECT_TRUE(ExitRequested());
    EXPECT_TRUE(fake::library().writes.empty());
}

}  // namespace
