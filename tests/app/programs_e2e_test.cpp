// wg_output and wg_input end to end: each program runs on a pseudo-terminal
// under ftdisim-run against a simulated chip and converter, keys are typed as
// a user types them, and what the terminal shows is compared character for
// character. The converter's side is checked through the launcher's
// transcript.
#include <signal.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "e2e_session.h"

namespace {

using namespace e2e;

// Everything up to the device chosen; the "1" is the terminal's echo.
std::string StartText(const std::string &modeLine, const std::string &serial) {
    return BannerAndList(modeLine, serial) + "1\n";
}

// Replaces the EEPROM reply printed after "EEPROM Dump Request    Ok\n" with
// "<dump>" when it has the reply's layout: a line end, two lines of 13 bytes
// as "%02X ", an empty line. Otherwise returns the text unchanged.
std::string MaskDump(const std::string &text) {
    const std::string request = "EEPROM Dump Request    Ok\n";
    const std::size_t at = text.find(request);
    if (at == std::string::npos) return text;
    const std::size_t start = at + request.size();
    std::size_t pos = start;
    auto expect = [&](char c) { return pos < text.size() && text[pos++] == c; };
    auto hexDigit = [&] {
        return pos < text.size() && std::isxdigit(static_cast<unsigned char>(text[pos])) &&
               !std::islower(static_cast<unsigned char>(text[pos++]));
    };
    bool ok = expect('\n');
    for (int line = 0; line < 2 && ok; ++line) {
        for (int i = 0; i < 13 && ok; ++i) ok = hexDigit() && hexDigit() && expect(' ');
        ok = ok && expect('\n');
    }
    ok = ok && expect('\n');
    if (!ok) return text;
    return text.substr(0, start) + "<dump>" + text.substr(pos);
}

// Frames the program wrote, in order, from the launcher's transcript.
std::vector<std::string> HostFrames(const std::string &transcript) {
    return TranscriptBytes(ReadFile(transcript), "host->converter");
}

// Whether `text` is the `keys` outputs in order with any number of the
// `reports` before, between and after them.
bool IsKeysAmongReports(const std::string &text, const std::vector<std::string> &keys,
                        const std::vector<std::string> &reports) {
    std::size_t at = 0;
    std::size_t next = 0;
    while (at < text.size()) {
        if (next < keys.size() && text.compare(at, keys[next].size(), keys[next]) == 0) {
            at += keys[next++].size();
            continue;
        }
        bool matched = false;
        for (const std::string &r : reports) {
            if (text.compare(at, r.size(), r) == 0) {
                at += r.size();
                matched = true;
                break;
            }
        }
        if (!matched) return false;
    }
    return next == keys.size();
}

TEST(WgOutputProgram, KeysSendTheirFramesAndPrintExactlyTheirTexts) {
    TempFile transcript;
    Session s({"-t", transcript.path(), "--", WG_OUTPUT});
    ASSERT_TRUE(s.WaitFor("Choose from (1-1) :")) << s.Output();
    s.Type("1\n");
    ASSERT_TRUE(s.WaitFor(kOutputHelp)) << s.Output();
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"T", "Set Tamper  Ok\n"},
        {"t", "Reset Tamper  Ok\n"},
        {"R", "Reset request   Ok\n"},
        {"w", "Facility code [0-255] :"},
        {"300\n", "Facility code [0-255] :"},
        {"12\n", "Badge_ID [0-65535] :"},
        {"345\n", "Wiegand Frame sent \n"},
        {"zd", "EEPROM Dump Request    Ok\n"},
        {"", "\n\n"},  // the dump's empty last line
        {"h", kOutputHelp},
        {"x", "Exit \n\n"},
    };
    for (const auto &[keys, shown] : steps) {
        s.Type(keys);
        ASSERT_TRUE(s.WaitFor(shown)) << "after \"" << keys << "\":\n" << s.Output();
    }
    EXPECT_EQ(s.Finish(), 0);

    EXPECT_EQ(MaskDump(s.Output()), StartText("Example 2 - Output mode", "TWC00001") + kConnected +
                                        kOutputHelp +
                                        "Set Tamper  Ok\n"
                                        "Reset Tamper  Ok\n"
                                        "Reset request   Ok\n"
                                        "Send 26b Wiegand Frame \n"
                                        "Facility code [0-255] :300\n"
                                        "Facility code [0-255] :12\n"
                                        "\n"
                                        "Badge_ID [0-65535] :345\n"
                                        "\n"
                                        "  Ok\n"
                                        "Wiegand Frame sent \n"
                                        "EEPROM Dump Request    Ok\n"
                                        "<dump>" +
                                        kOutputHelp + "Exit \n\n");

    const std::vector<std::string> expectedFrames = {
        "55 55 02 FF 00 0D", "55 55 02 00 00 0D",
        "55 55 0A 00 00 0D", "55 55 01 1A 06 00 AC 80 00 00 00 00 00 00 00 00 00 00 00 0D",
        "55 55 0B 00 00 0D",
    };
    EXPECT_EQ(HostFrames(transcript.path()), expectedFrames);
}

TEST(WgOutputProgram, GpioReportsArePrintedBetweenKeyOutputs) {
    TempFile script(
        "0.2 gpio 0 high\n"
        "0.4 gpio 0 low\n"
        "0.6 gpio 1 high\n"
        "0.8 gpio 1 low\n"
        "1.0 gpio 1 0x01\n"
        "1.2 restart\n");
    Session s({"--script", script.path(), "--", WG_OUTPUT});
    ASSERT_TRUE(s.WaitFor("Choose from (1-1) :")) << s.Output();
    s.Type("1\n");
    ASSERT_TRUE(s.WaitFor(kOutputHelp)) << s.Output();
    const std::vector<std::string> reports = {"Set GPIO0\n", "Rst GPIO0\n", "Set GPIO1\n",
                                              "Rst GPIO1\n", "Err GPIO1"};
    ASSERT_TRUE(s.WaitForAll(reports)) << s.Output();
    s.Type("T");
    ASSERT_TRUE(s.WaitFor("Set Tamper  Ok\n")) << s.Output();
    s.Type("x");
    EXPECT_EQ(s.Finish(), 0);

    const std::string prefix =
        StartText("Example 2 - Output mode", "TWC00001") + kConnected + kOutputHelp;
    const std::string output = s.Output();
    ASSERT_EQ(output.substr(0, prefix.size()), prefix);
    EXPECT_TRUE(IsKeysAmongReports(output.substr(prefix.size()), {"Set Tamper  Ok\n", "Exit \n\n"},
                                   reports))
        << output.substr(prefix.size());
}

TEST(WgInputProgram, KeysSendTheirFramesAndPrintExactlyTheirTexts) {
    TempFile transcript;
    Session s({"-m", "input", "-t", transcript.path(), "--", WG_INPUT});
    ASSERT_TRUE(s.WaitFor("Choose from (1-1) :")) << s.Output();
    s.Type("1\n");
    ASSERT_TRUE(s.WaitFor(kInputHelp)) << s.Output();
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"O", "Set GPIO0  Ok\n"},
        {"o", "Reset GPIO0  Ok\n"},
        {"P", "Set GPIO1  Ok\n"},
        {"p", "Reset GPIO1  Ok\n"},
        {"Twr", "Reset request   Ok\n"},  // 'T' and 'w' are not wg_input keys
        {"D", "EEPROM Dump Request    Ok\n"},
        {"", "\n\n"},
        {"X", "Exit \n\n"},
    };
    for (const auto &[keys, shown] : steps) {
        s.Type(keys);
        ASSERT_TRUE(s.WaitFor(shown)) << "after \"" << keys << "\":\n" << s.Output();
    }
    EXPECT_EQ(s.Finish(), 0);

    EXPECT_EQ(MaskDump(s.Output()), StartText("Example 1 - Input mode", "TWC00001") + kConnected +
                                        kInputHelp +
                                        "Set GPIO0  Ok\n"
                                        "Reset GPIO0  Ok\n"
                                        "Set GPIO1  Ok\n"
                                        "Reset GPIO1  Ok\n"
                                        "Reset request   Ok\n"
                                        "EEPROM Dump Request    Ok\n"
                                        "<dump>"
                                        "Exit \n\n");

    const std::vector<std::string> expectedFrames = {
        "55 55 03 FF 00 0D", "55 55 03 00 00 0D", "55 55 04 FF 00 0D",
        "55 55 04 00 00 0D", "55 55 0A 00 00 0D", "55 55 0B 00 00 0D",
    };
    EXPECT_EQ(HostFrames(transcript.path()), expectedFrames);
}

TEST(WgInputProgram, WiegandAndTamperReportsAreDecodedAndPrinted) {
    TempFile script(
        "0.2 badge 12 345\n"
        "0.4 badge 12 345 bad-even\n"
        "0.6 badge 255 65535 bad-parity\n"
        "0.8 tamper on\n"
        "1.0 tamper off\n"
        "1.2 bits 1011001110001111000011110000111100\n"
        "1.4 tamper 80\n"
        "1.6 restart\n");
    Session s({"-m", "input", "--script", script.path(), "--", WG_INPUT});
    ASSERT_TRUE(s.WaitFor("Choose from (1-1) :")) << s.Output();
    s.Type("1\n");
    ASSERT_TRUE(s.WaitFor(kInputHelp)) << s.Output();
    const std::string zeros = "00 00 00 00 00 00 00 00 00 00 00 ";
    const std::vector<std::string> reports = {
        "Wiegand Frame Hex format:\n55 55 01 1A 06 00 AC 80 " + zeros +
            "0D \n26 Bit Wiegand, Facility Code=12, Badge ID=345, Parity Bits OK.\n\n",
        "Wiegand Frame Hex format:\n55 55 01 1A 86 00 AC 80 " + zeros +
            "0D \n26 Bit Wiegand, Facility Code=12, Badge ID=345, Parity Bit Even Error.\n\n",
        "Wiegand Frame Hex format:\n55 55 01 1A FF FF FF 80 " + zeros +
            "0D \n26 Bit Wiegand, Facility Code=255, Badge ID=65535, Parity Bits Error.\n\n",
        "Set Tamper\n",
        "Rst Tamper\n",
        "Wiegand Frame Hex format:\n55 55 01 22 B3 8F 0F 0F 00 " + zeros.substr(3) + "0D \n\n",
        "Err Tamper",
    };
    ASSERT_TRUE(s.WaitForAll(reports)) << s.Output();
    s.Type("x");
    EXPECT_EQ(s.Finish(), 0);

    const std::string prefix =
        StartText("Example 1 - Input mode", "TWC00001") + kConnected + kInputHelp;
    const std::string output = s.Output();
    ASSERT_EQ(output.substr(0, prefix.size()), prefix);
    EXPECT_TRUE(IsKeysAmongReports(output.substr(prefix.size()), {"Exit \n\n"}, reports))
        << output.substr(prefix.size());
}

TEST(ConsolePrograms, DeviceThatCannotBeOpenedLeavesEveryCommandFailing) {
    // A kernel driver holds the interface: the device is listed without a
    // serial number and cannot be opened.
    Session s({"--kernel-driver", "--", WG_OUTPUT});
    ASSERT_TRUE(s.WaitFor("Choose from (1-1) :")) << s.Output();
    s.Type("1\n");
    ASSERT_TRUE(s.WaitFor(kOutputHelp)) << s.Output();
    s.Type("T");
    ASSERT_TRUE(s.WaitFor("Set Tamper  Nok\n")) << s.Output();
    s.Type("x");
    EXPECT_EQ(s.Finish(), 0);
    EXPECT_EQ(s.Output(), StartText("Example 2 - Output mode", "") +
                              "Erro! Error code 2 (USB Device  isn't plug to USB port)\n\r" +
                              kOutputHelp + "Set Tamper  Nok\nExit \n\n");
}

TEST(ConsolePrograms, InterruptInTheKeyLoopOrAtAPromptLeavesTheTerminalAsItWas) {
    for (const bool atPrompt : {false, true}) {
        Session s({"--", WG_OUTPUT});
        ASSERT_TRUE(s.WaitFor("Choose from (1-1) :")) << s.Output();
        s.Type("1\n");
        ASSERT_TRUE(s.WaitFor(kOutputHelp)) << s.Output();
        EXPECT_EQ(s.Attributes().c_lflag & (ICANON | ECHO), 0u);  // keys are not echoed
        if (atPrompt) {
            s.Type("w");
            ASSERT_TRUE(s.WaitFor("Facility code [0-255] :")) << s.Output();
        }
        s.Type(std::string(1, static_cast<char>(s.InitialAttributes().c_cc[VINTR])));
        EXPECT_EQ(s.Finish(), 128 + SIGINT) << s.Output();
        const struct termios after = s.Attributes();
        EXPECT_EQ(after.c_lflag, s.InitialAttributes().c_lflag) << "at prompt: " << atPrompt;
        EXPECT_EQ(after.c_cc[VMIN], s.InitialAttributes().c_cc[VMIN]);
    }
}

}  // namespace
