// The shared console: device list and choice, EEPROM dump, the key loop's
// reads, and the terminal left as it was found.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <stdio_ext.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <thread>

#include "console.h"
#include "link_protocol.h"
#include "test_support.h"

namespace {

using fake::Bytes;

class DeviceChoiceTest : public ConsoleTest {
  protected:
    void TearDown() override {
        FreeAllocatedMemory(&list_);
        ConsoleTest::TearDown();
    }

    // Lists, then chooses with `answers` on standard input.
    std::string ListAndChoose(const std::string &answers, int *result) {
        FeedStdin(answers);
        ftHandle = nullptr;
        return Printed([&] {
            GetDeviceList(&list_);
            PrintDeviceList(&list_);
            *result = ChooseDeviceFromList(&list_);
        });
    }

    DevList list_;
};

TEST_F(DeviceChoiceTest, SixteenCharacterSerialIsCopiedBoundedAndOpened) {
    fake::ListDevices({"0123456789ABCDEF", "S2"});
    int result = -2;
    const std::string printed = ListAndChoose("1\n", &result);
    EXPECT_EQ(printed,
              "1) SN=0123456789ABCDEF \n2) SN=S2 \n"
              "\n Choose from (1-2) :"
              "\n Connected to device SN=0123456789ABCDEF\n");
    EXPECT_EQ(result, 1);
    ASSERT_EQ(fake::library().openedSerials.size(), 1u);
    EXPECT_EQ(fake::library().openedSerials[0], "0123456789ABCDEF");
    EXPECT_EQ(ftHandle, fake::Handle());
    EXPECT_EQ(list_.numDevices, 2u);
}

TEST_F(DeviceChoiceTest, PromptRepeatsForOutOfRangeAndNonNumericAnswers) {
    fake::ListDevices({"S1", "S2", "S3"});
    int result = -2;
    const std::string printed = ListAndChoose("0\n-2\n4\nabc\n\n  two\n3\n", &result);
    const std::string prompt = "\n Choose from (1-3) :";
    std::string expected = "1) SN=S1 \n2) SN=S2 \n3) SN=S3 \n";
    for (int i = 0; i < 6; ++i) expected += prompt;
    expected += "\n Connected to device SN=S3\n";
    EXPECT_EQ(printed, expected);
    EXPECT_EQ(result, 3);
}

TEST_F(DeviceChoiceTest, EndOfInputAtThePromptOpensNothing) {
    // No device at all: no answer can be accepted; end of input ends the wait.
    int result = 0;
    std::string printed = ListAndChoose("1\n2\n", &result);
    EXPECT_EQ(printed, "\n Choose from (1-0) :\n Choose from (1-0) :\n Choose from (1-0) :\n");
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(fake::library().openedSerials.empty());
    EXPECT_TRUE(ExitRequested());
}

TEST_F(DeviceChoiceTest, MoreThanTenDevicesKeepToTenSlots) {
    std::vector<std::string> serials;
    for (int i = 0; i < 12; ++i) serials.push_back("DEV" + std::to_string(i));
    fake::ListDevices(serials);
    int result = 0;
    const std::string printed = ListAndChoose("11\n12\n10\n", &result);
    EXPECT_EQ(list_.numDevices, 12u);
    EXPECT_EQ(printed.find("11) SN="), std::string::npos);
    EXPECT_NE(printed.find("10) SN=DEV9 \n\n Choose from (1-10) :\n Choose from (1-10) :"
                           "\n Choose from (1-10) :\n Connected to device SN=DEV9\n"),
              std::string::npos)
        << printed;
    EXPECT_EQ(result, 10);
}

TEST_F(DeviceChoiceTest, DeviceWithoutDetailsEndsTheListingAndCannotBeOpened) {
    fake::ListDevices({"S1", "S2", "S3"});
    fake::library().devices[1].detailFails = true;
    int result = -2;
    const std::string printed = ListAndChoose("2\n", &result);
    EXPECT_EQ(printed,
              "1) SN=S1 \n\n Choose from (1-3) :"
              "Erro! Error code 2 (USB Device  isn't plug to USB port)\n\r");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ftStatus, FT_DEVICE_NOT_FOUND);
    EXPECT_TRUE(fake::library().openedSerials.empty());
    EXPECT_EQ(ftHandle, nullptr);
    ASSERT_TRUE(list_.serialNumber[2]);
    EXPECT_STREQ(list_.serialNumber[2].get(), "S3");
}

TEST_F(DeviceChoiceTest, OpenAndLineSettingFailuresAreReported) {
    fake::ListDevices({"S1"});
    fake::library().openStatus = FT_DEVICE_NOT_FOUND;
    int result = -2;
    EXPECT_EQ(ListAndChoose("1\n", &result),
              "1) SN=S1 \n\n Choose from (1-1) :"
              "Erro! Error code 2 (USB Device S1 isn't plug to USB port)\n\r");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ftHandle, nullptr);

    FreeAllocatedMemory(&list_);
    fake::library().openStatus = FT_OK;
    fake::library().baudStatus = FT_IO_ERROR;
    EXPECT_EQ(ListAndChoose("1\n", &result),
              "1) SN=S1 \n\n Choose from (1-1) :"
              "Erro! Error code 4 (Couldn't set the BaudRate)\n\r");
    EXPECT_EQ(result, 4);
    EXPECT_EQ(ftHandle, fake::Handle());  // stays open

    FreeAllocatedMemory(&list_);
    fake::library().baudStatus = FT_OK;
    fake::library().dataStatus = FT_INVALID_HANDLE;
    EXPECT_EQ(ListAndChoose("1\n", &result),
              "1) SN=S1 \n\n Choose from (1-1) :"
              "Erro! Error code 1 (Couldn't set Data bits or Stop bits or Parity bit)\n\r");
    EXPECT_EQ(result, 1);  // the status, which here reads like a choice
}

class EepromDumpTest : public ConsoleTest {
  protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        fake::library().onWrite = [this](const Bytes &frame) {
            if (frame[2] == kCmdEepromDump) {
                for (unsigned char b : reply_) fake::library().rx.push_back(b);
            }
        };
    }

    Bytes reply_;
};

TEST_F(EepromDumpTest, ReplyIsPrintedThirteenBytesPerLineAndStaleBytesAreDropped) {
    for (int i = 0; i < 26; ++i) reply_.push_back(static_cast<unsigned char>(0xA0 + i));
    // A report waiting from before the request is not part of the reply.
    for (unsigned char b : {0x55, 0x55, 0x03, 0xFF, 0x00, 0x0D}) fake::library().rx.push_back(b);

    const std::string printed = Printed([] { Send_EEPROMDumpRequest(ftHandle); });
    EXPECT_EQ(printed,
              "  Ok\n\n"
              "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC \n"
              "AD AE AF B0 B1 B2 B3 B4 B5 B6 B7 B8 B9 \n"
              "\n");
    const auto &lib = fake::library();
    ASSERT_EQ(lib.writes.size(), 1u);
    EXPECT_EQ(Hex(lib.writes[0]), "55 55 0B 00 00 0D");
    ASSERT_EQ(lib.timeouts.size(), 2u);
    EXPECT_EQ(lib.timeouts[0], std::make_pair(1000u, 0u));
    EXPECT_TRUE(lib.rx.empty());
    EXPECT_EQ(RxStates, kRxHunting);  // the receive state machine never saw them
}

TEST_F(EepromDumpTest, NoReplyPrintsNothingAndAFailedReadIsReported) {
    EXPECT_EQ(Printed([] { Send_EEPROMDumpRequest(ftHandle); }), "  Ok\n");

    reply_ = {0x01, 0x02};
    fake::library().readStatus = FT_IO_ERROR;
    EXPECT_EQ(Printed([] { Send_EEPROMDumpRequest(ftHandle); }), "  Ok\nError reading EEPROM \n");
    EXPECT_EQ(ftStatus, FT_IO_ERROR);

    // Without a device the request fails and nothing is read.
    EXPECT_EQ(Printed([] { Send_EEPROMDumpRequest(nullptr); }), "  Nok\n");
}

TEST_F(EepromDumpTest, LongReplyIsReadInPiecesThatFitTheBuffer) {
    for (int i = 0; i < 600; ++i) reply_.push_back(static_cast<unsigned char>(i));
    for (int i = 0; i < 300; ++i) fake::library().rx.push_back(0x55);  // stale

    const std::string printed = Printed([] { Send_EEPROMDumpRequest(ftHandle); });
    for (std::uint32_t size : fake::library().readSizes) EXPECT_LE(size, kRxBufferSize);
    // 600 groups of three characters, a line end after every 13th, and the
    // leading and final line ends.
    EXPECT_EQ(printed.size(), std::string("  Ok\n").size() + 1 + 600 * 3 + 600 / 13 + 1);
    // The 598th byte (0x55) ends a line; the last two follow on the final line.
    EXPECT_EQ(printed.substr(printed.size() - 11), "55 \n56 57 \n");
    EXPECT_TRUE(fake::library().rx.empty());
}

TEST_F(ConsoleTest, LoopReadsNoMoreThanItsBufferAndEveryByteReachesTheFrames) {
    // 100 GPIO reports (600 bytes) queued at once; the program is wg-neutral
    // here: count the frames the state machine hands over.
    static int handled;
    handled = 0;
    for (int i = 0; i < 100; ++i) {
        for (unsigned char b : {0x55, 0x55, 0x04, 0xFF, 0x00, 0x0D}) {
            fake::library().rx.push_back(b);
        }
    }
    fake::ListDevices({"S1"});
    FeedStdin("1\n\n\n\n\nx");
    ftHandle = nullptr;
    const ConsoleProgram program = {"mode", [] {},
                                    [](unsigned char key) {
                                        if (key == 'x') RequestExit();
                                    },
                                    [](unsigned char command) { handled += command == kCmdGpio1; }};
    int status = -1;
    Printed([&] { status = RunConsole(program); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(handled, 100);
    ASSERT_FALSE(fake::library().readSizes.empty());
    for (std::uint32_t size : fake::library().readSizes) EXPECT_LE(size, kRxBufferSize);
    EXPECT_EQ(fake::library().closeCalls, 1);
}

// Standard input replaced by the slave side of a pseudo-terminal for one test.
class TerminalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        savedStdin_ = dup(STDIN_FILENO);
        ASSERT_EQ(dup2(slave_, STDIN_FILENO), STDIN_FILENO);
        // Nothing read from an earlier standard input may linger.
        __fpurge(stdin);
        std::clearerr(stdin);
    }
    void TearDown() override {
        dup2(savedStdin_, STDIN_FILENO);
        close(savedStdin_);
        close(slave_);
        close(master_);
        __fpurge(stdin);
        std::clearerr(stdin);
    }

    // Whether the terminal is out of line mode and echo (what kbhit sets).
    bool RawNow() const {
        struct termios t;
        return tcgetattr(slave_, &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == 0;
    }

    int master_ = -1;
    int slave_ = -1;
    int savedStdin_ = -1;
};

TEST_F(TerminalTest, KbhitLeavesTheKeyForGetcharAndTheTerminalAsItWas) {
    struct termios before;
    ASSERT_EQ(tcgetattr(slave_, &before), 0);
    const int flagsBefore = fcntl(slave_, F_GETFL);

    EXPECT_EQ(kbhit(), 0);
    // A key pressed during the wait is seen at once, and not echoed.
    std::thread typist([this] {
        while (!RawNow()) std::this_thread::yield();
        ASSERT_EQ(write(master_, "k", 1), 1);
    });
    EXPECT_EQ(kbhit(60000), 1);
    typist.join();
    EXPECT_EQ(std::getchar(), 'k');

    struct termios after;
    ASSERT_EQ(tcgetattr(slave_, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc), 0);
    EXPECT_EQ(fcntl(slave_, F_GETFL), flagsBefore);

    char echoed[8];
    const int masterFlags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, masterFlags | O_NONBLOCK);
    EXPECT_EQ(read(master_, echoed, sizeof echoed), -1) << "the key was echoed";
}

TEST_F(TerminalTest, InterruptWhileWaitingForAKeyRestoresTheTerminal) {
    struct termios before;
    ASSERT_EQ(tcgetattr(slave_, &before), 0);
    const int flagsBefore = fcntl(slave_, F_GETFL);

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        InstallTerminalGuard();
        for (;;) kbhit(1000);
    }
    // Interrupt it while its terminal is switched for key reads.
    while (!RawNow()) std::this_thread::yield();
    kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);

    struct termios after;
    ASSERT_EQ(tcgetattr(slave_, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(fcntl(slave_, F_GETFL), flagsBefore);  // O_NONBLOCK taken back off
}

}  // namespace
