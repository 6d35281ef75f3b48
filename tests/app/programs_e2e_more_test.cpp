// More of wg_output and wg_input end to end, on a pseudo-terminal under
// ftdisim-run: the device-choice prompt, leaving at once, reports that reach
// the host in pieces or among garbage, the EEPROM dump's layout, and a device
// that is unplugged while a program runs. What the terminal shows is compared
// character for character; the converter's side is read from the launcher's
// transcript.
#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "converter/wiegand_converter.h"
#include "e2e_session.h"

namespace {

using namespace std::chrono_literals;
using namespace e2e;

// "%02X " for every byte: how the programs and the transcript show bytes.
std::string Hex(const std::vector<std::uint8_t> &bytes) {
    std::string text;
    char group[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(group, sizeof group, "%02X ", b);
        text += group;
    }
    return text;
}

std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// One scenario line sending `bytes` as they are.
std::string RawEvent(const std::string &seconds, const std::vector<std::uint8_t> &bytes) {
    std::string hex = Hex(bytes);
    hex.pop_back();
    return seconds + " raw " + hex + "\n";
}

// The terminal is as the program found it: modes, flags and every control
// character.
::testing::AssertionResult SameTerminal(const struct termios &before, const struct termios &after) {
    if (before.c_iflag != after.c_iflag) return ::testing::AssertionFailure() << "c_iflag differs";
    if (before.c_oflag != after.c_oflag) return ::testing::AssertionFailure() << "c_oflag differs";
    if (before.c_cflag != after.c_cflag) return ::testing::AssertionFailure() << "c_cflag differs";
    if (before.c_lflag != after.c_lflag) {
        return ::testing::AssertionFailure()
               << "c_lflag " << std::hex << before.c_lflag << " became " << after.c_lflag;
    }
    if (std::memcmp(before.c_cc, after.c_cc, sizeof before.c_cc) != 0) {
        return ::testing::AssertionFailure() << "control characters differ";
    }
    return ::testing::AssertionSuccess();
}

const std::string kPrompt = "\n Choose from (1-1) :";
const std::string kExit = "Exit \n\n";

struct Program {
    const char *name;
    const char *path;
    std::vector<std::string> launcherMode;
    ftdisim::ConverterMode converterMode;
    const char *modeLine;
    std::string help;
    // A command key, and what it prints before its write's "  Ok"/"  Nok".
    std::string commandKey;
    std::string commandText;
};

const Program kOutputProgram = {
    "wg_output",
    WG_OUTPUT,
    {"-m", "output"},
    ftdisim::ConverterMode::kOutput,
    "Example 2 - Output mode",
    kOutputHelp,
    "T",
    "Set Tamper",
};

const Program kInputProgram = {
    "wg_input", WG_INPUT, {"-m", "input"}, ftdisim::ConverterMode::kInput, "Example 1 - Input mode",
    kInputHelp, "O",      "Set GPIO0",
};

// The launcher's arguments for `program`, with `extra` options before it.
std::vector<std::string> LaunchArgs(const Program &program, std::vector<std::string> extra) {
    std::vector<std::string> args = program.launcherMode;
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("--");
    args.push_back(program.path);
    return args;
}

// What shows from the start up to the help text once device 1 is chosen
// (the "1" and its line end are the terminal's echo).
std::string UntilHelp(const Program &program) {
    return BannerAndList(program.modeLine, "TWC00001") + "1\n" + kConnected + program.help;
}

// Starts the program, chooses the one device and waits for the help text.
::testing::AssertionResult ChooseDevice(Session &s, const Program &program) {
    if (!s.Started()) return ::testing::AssertionFailure() << "the launcher did not start";
    if (!s.WaitFor(kPrompt)) return ::testing::AssertionFailure() << "no prompt:\n" << s.Output();
    s.Type("1\n");
    if (!s.WaitFor(program.help)) {
        return ::testing::AssertionFailure() << "no help text:\n" << s.Output();
    }
    return ::testing::AssertionSuccess();
}

// Waits until the transcript file holds `text`.
bool WaitForTranscript(const std::string &path, const std::string &text) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (ReadFile(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

// A repeating scenario starts with the program, not with the device choice,
// so the round under way when the device opened may show only in part. After
// it, every round prints `round` whole, and the run stops somewhere inside a
// later one. Checks that `text` has exactly that shape with at least
// `minRounds` whole rounds.
::testing::AssertionResult IsRepeatedRound(const std::string &text, const std::string &round,
                                           int minRounds) {
    const std::size_t first = text.find(round);
    if (first == std::string::npos) return ::testing::AssertionFailure() << "no whole round";
    if (first >= round.size()) {
        return ::testing::AssertionFailure()
               << "more than one round's worth before the first whole one: \""
               << text.substr(0, first) << "\"";
    }
    std::size_t at = first;
    int rounds = 0;
    while (text.compare(at, round.size(), round) == 0) {
        at += round.size();
        ++rounds;
    }
    if (rounds < minRounds) return ::testing::AssertionFailure() << rounds << " whole rounds";
    const std::string rest = text.substr(at);
    if (round.compare(0, rest.size(), rest) != 0) {
        return ::testing::AssertionFailure()
               << "after " << rounds << " rounds, not the start of another: \"" << rest << "\"";
    }
    return ::testing::AssertionSuccess();
}

// Runs `program` against a converter playing `script` over and over, waits
// for two whole rounds of `round` and checks everything printed after the
// help text.
void CheckRepeatedReports(const Program &program, const std::string &script,
                          const std::string &round) {
    TempFile scenario(script);
    Session s(LaunchArgs(program, {"--script", scenario.path()}));
    ASSERT_TRUE(ChooseDevice(s, program));
    ASSERT_TRUE(s.WaitFor(round + round)) << s.Output();
    s.Type("x");
    ASSERT_TRUE(s.WaitFor(kExit)) << s.Output();
    EXPECT_EQ(s.Finish(), 0);

    const std::string output = s.Output();
    const std::string prefix = UntilHelp(program);
    ASSERT_EQ(output.substr(0, prefix.size()), prefix);
    // The exit key is served between two receive polls, so its text may sit
    // between two reports of a round, never inside one.
    std::string reports = output.substr(prefix.size());
    const std::size_t exitAt = reports.rfind(kExit);
    ASSERT_NE(exitAt, std::string::npos);
    reports.erase(exitAt, kExit.size());
    EXPECT_EQ(reports.find("Exit"), std::string::npos) << reports;
    EXPECT_TRUE(IsRepeatedRound(reports, round, 2)) << reports;
}

const std::vector<std::uint8_t> kZeros7(7, 0x00);
const std::vector<std::uint8_t> kZeros13(13, 0x00);

TEST(ConsoleDeviceChoice, AnswersOutsideTheListRepeatThePromptAndTheListedNumberConnects) {
    TempFile transcript;
    Session s(LaunchArgs(kOutputProgram, {"-t", transcript.path()}));
    ASSERT_TRUE(s.Started());
    // Each answer is typed only once its prompt shows, so that the terminal's
    // echo lands right after that prompt.
    for (const std::string answer : {"0", "abc", "-3", "2"}) {
        ASSERT_TRUE(s.WaitFor(kPrompt)) << "before \"" << answer << "\":\n" << s.Output();
        s.Type(answer + "\n");
    }
    ASSERT_TRUE(s.WaitFor(kPrompt)) << s.Output();
    s.Type("1\n");
    ASSERT_TRUE(s.WaitFor(kOutputProgram.help)) << s.Output();
    s.Type("x");
    EXPECT_EQ(s.Finish(), 0);

    EXPECT_EQ(s.Output(), BannerAndList(kOutputProgram.modeLine, "TWC00001") + "0\n" + kPrompt +
                              "abc\n" + kPrompt + "-3\n" + kPrompt + "2\n" + kPrompt + "1\n" +
                              kConnected + kOutputProgram.help + kExit);
    // Nothing crosses the link while the prompt is answered.
    EXPECT_TRUE(TranscriptBytes(ReadFile(transcript.path()), "host->converter").empty());
}

TEST(ConsoleExit, ExitAsTheFirstKeySendsNothingAndLeavesTheTerminalAsItWas) {
    for (const Program *program : {&kOutputProgram, &kInputProgram}) {
        SCOPED_TRACE(program->name);
        TempFile transcript;
        Session s(LaunchArgs(*program, {"-t", transcript.path()}));
        ASSERT_TRUE(ChooseDevice(s, *program));
        // Keys are read one by one without echo while the loop runs.
        EXPECT_EQ(s.Attributes().c_lflag & (ICANON | ECHO), 0u);
        s.Type(program == &kOutputProgram ? "x" : "X");
        EXPECT_EQ(s.Finish(), 0);

        EXPECT_EQ(s.Output(), UntilHelp(*program) + kExit);
        const std::string log = ReadFile(transcript.path());
        EXPECT_TRUE(TranscriptBytes(log, "host->converter").empty()) << log;
        EXPECT_NE(log.find("program exited with status 0"), std::string::npos) << log;
        EXPECT_TRUE(SameTerminal(s.InitialAttributes(), s.Attributes()));
    }
}

TEST(WgOutputReports, ReportsInPiecesAmongGarbageArePrintedExactlyOnce) {
    const std::vector<std::uint8_t> gpio0High = {0x55, 0x55, 0x03, 0xFF, 0x00, 0x0D};
    const std::vector<std::uint8_t> gpio0Low = {0x55, 0x55, 0x03, 0x00, 0x00, 0x0D};
    const std::vector<std::uint8_t> gpio0Bad = {0x55, 0x55, 0x03, 0x7E, 0x00, 0x0D};
    const std::vector<std::uint8_t> gpio1High = {0x55, 0x55, 0x04, 0xFF, 0x00, 0x0D};
    const std::vector<std::uint8_t> gpio1Low = {0x55, 0x55, 0x04, 0x00, 0x00, 0x0D};
    // Seven bytes where a GPIO report has six: no 0x0D completes it.
    const std::vector<std::uint8_t> overlong0 = {0x55, 0x55, 0x03, 0xFF, 0xFF, 0x00, 0x0D};
    const std::vector<std::uint8_t> overlong1 = {0x55, 0x55, 0x04, 0xFF, 0xFF, 0x00, 0x0D};
    // Frames this program takes but does not report: reset and EEPROM
    // replies, code 0x09, and the other mode's tamper.
    const std::vector<std::uint8_t> silent = {0x55, 0x55, 0x0A, 0x00, 0x00, 0x0D, 0x55, 0x55, 0x0B,
                                              0x00, 0x00, 0x0D, 0x55, 0x55, 0x09, 0x01, 0x02, 0x00,
                                              0x0D, 0x55, 0x55, 0x02, 0xFF, 0x00, 0x0D};

    const std::string script =
        // A GPIO0 report in three pieces, split between its sync bytes.
        RawEvent("0.30", {0x55}) + RawEvent("0.35", {0x55, 0x03}) +
        RawEvent("0.40", {0xFF, 0x00, 0x0D}) +
        // Garbage holding a lone sync byte, then a GPIO1 report.
        RawEvent("0.70", Concat({{0x12, 0x55, 0x34}, gpio1Low})) +
        // Two reports in one piece, the first with an invalid level.
        RawEvent("1.00", Concat({gpio0Bad, gpio1High})) +
        // An unfinished frame is dropped once it holds 20 bytes; the byte
        // that finds it full starts the next report.
        RawEvent("1.30", Concat({overlong0, kZeros13, gpio0Low})) +
        // Until then it swallows whatever follows, a whole report included.
        RawEvent("1.60", Concat({overlong1, gpio0High, kZeros7, gpio1Low})) +
        RawEvent("1.90", Concat({silent, gpio0High})) + "2.20 restart\n";
    const std::string round =
        "Set GPIO0\n"
        "Rst GPIO1\n"
        "Err GPIO0Set GPIO1\n"
        "Rst GPIO0\n"
        "Rst GPIO1\n"
        "Set GPIO0\n";
    CheckRepeatedReports(kOutputProgram, script, round);
}

TEST(WgInputReports, ReportsInPiecesAmongGarbageArePrintedExactlyOnce) {
    // Badge 12/345 with both parity bits right.
    const std::vector<std::uint8_t> badge =
        Concat({{0x55, 0x55, 0x01, 0x1A, 0x06, 0x00, 0xAC, 0x80},
                std::vector<std::uint8_t>(11, 0x00),
                {0x0D}});
    // 34 bits whose data bytes are 0x0D: only the 0x0D at byte 20 ends it.
    const std::vector<std::uint8_t> carriageReturns =
        Concat({{0x55, 0x55, 0x01, 0x22, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D},
                std::vector<std::uint8_t>(10, 0x00),
                {0x0D}});
    const std::vector<std::uint8_t> tamperOn = {0x55, 0x55, 0x02, 0xFF, 0x00, 0x0D};
    const std::vector<std::uint8_t> tamperOff = {0x55, 0x55, 0x02, 0x00, 0x00, 0x0D};
    const std::vector<std::uint8_t> tamperBad = {0x55, 0x55, 0x02, 0x7F, 0x00, 0x0D};
    const std::vector<std::uint8_t> overlong = {0x55, 0x55, 0x02, 0xFF, 0xFF, 0x00, 0x0D};
    // The other mode's GPIO reports are taken and not reported.
    const std::vector<std::uint8_t> silent = {0x55, 0x55, 0x03, 0xFF, 0x00, 0x0D,
                                              0x55, 0x55, 0x04, 0x00, 0x00, 0x0D};
    ASSERT_EQ(badge.size(), 20u);
    ASSERT_EQ(carriageReturns.size(), 20u);

    const std::string script =
        // The badge report in three pieces, split between its sync bytes.
        RawEvent("0.30", {0x55}) +
        RawEvent("0.35", std::vector<std::uint8_t>(badge.begin() + 1, badge.begin() + 10)) +
        RawEvent("0.40", std::vector<std::uint8_t>(badge.begin() + 10, badge.end())) +
        RawEvent("0.70", Concat({{0x12, 0x55, 0x34}, tamperOn})) +
        RawEvent("1.00", Concat({tamperOff, tamperBad})) +
        RawEvent("1.30", Concat({overlong, kZeros13, carriageReturns})) +
        RawEvent("1.60", Concat({overlong, tamperOn, kZeros7, tamperOff})) +
        RawEvent("1.90", Concat({silent, tamperOn})) + "2.20 restart\n";
    const std::string round = "Wiegand Frame Hex format:\n" + Hex(badge) +
                              "\n26 Bit Wiegand, Facility Code=12, Badge ID=345, "
                              "Parity Bits OK.\n\n"
                              "Set Tamper\n"
                              "Rst Tamper\n"
                              "Err Tamper"
                              "Wiegand Frame Hex format:\n" +
                              Hex(carriageReturns) +
                              "\n\n"
                              "Rst Tamper\n"
                              "Set Tamper\n";
    CheckRepeatedReports(kInputProgram, script, round);
}

TEST(ConsoleEepromDump, TheReplyIsPrintedAsTwoRowsOfThirteenBytesAndAnEmptyLine) {
    for (const Program *program : {&kOutputProgram, &kInputProgram}) {
        SCOPED_TRACE(program->name);
        const std::vector<std::uint8_t> reply =
            ftdisim::WiegandConverter(program->converterMode).EepromReply();
        ASSERT_EQ(reply.size(), 26u);
        const std::string dump =
            std::string("\n").append(
                Hex(std::vector<std::uint8_t>(reply.begin(), reply.begin() + 13))) +
            "\n" + Hex(std::vector<std::uint8_t>(reply.begin() + 13, reply.end())) + "\n\n";

        TempFile transcript;
        Session s(LaunchArgs(*program, {"-t", transcript.path()}));
        ASSERT_TRUE(ChooseDevice(s, *program));
        s.Type("d");
        ASSERT_TRUE(s.WaitFor("EEPROM Dump Request    Ok\n" + dump)) << s.Output();
        s.Type("x");
        EXPECT_EQ(s.Finish(), 0);

        EXPECT_EQ(s.Output(), UntilHelp(*program) + "EEPROM Dump Request    Ok\n" + dump + kExit);
        // What was printed is what crossed the line.
        const std::string log = ReadFile(transcript.path());
        const std::vector<std::string> request = {"55 55 0B 00 00 0D"};
        EXPECT_EQ(TranscriptBytes(log, "host->converter"), request) << log;
        std::string sent = Hex(reply);
        sent.pop_back();
        const std::vector<std::string> replies = {sent};
        EXPECT_EQ(TranscriptBytes(log, "converter->host"), replies) << log;
    }
}

TEST(ConsoleUnplug, CommandsFailOnceTheDeviceIsGoneAndExitStaysClean) {
    for (const Program *program : {&kOutputProgram, &kInputProgram}) {
        SCOPED_TRACE(program->name);
        // The second event is played only once the unplug has completed, so
        // its note in the transcript says the device is gone.
        TempFile scenario(
            "8 unplug\n"
            "8.1 raw 00\n");
        TempFile transcript;
        Session s(LaunchArgs(*program, {"--script", scenario.path(), "-t", transcript.path()}));
        ASSERT_TRUE(ChooseDevice(s, *program));
        s.Type(program->commandKey);
        ASSERT_TRUE(s.WaitFor(program->commandText + "  Ok\n")) << s.Output();
        ASSERT_TRUE(WaitForTranscript(transcript.path(), "script line 2")) << s.Output();
        // The command before the unplug must have reached the device, or this
        // run says nothing about an unplug under a running program.
        const std::string before = ReadFile(transcript.path());
        ASSERT_EQ(TranscriptBytes(before, "host->converter").size(), 1u)
            << "the device was unplugged before the program had it:\n"
            << before;

        s.Type("rd" + program->commandKey);
        ASSERT_TRUE(s.WaitFor(program->commandText + "  Nok\n")) << s.Output();
        s.Type("x");
        EXPECT_EQ(s.Finish(), 0) << s.Output();

        EXPECT_EQ(s.Output(), UntilHelp(*program) + program->commandText + "  Ok\n" +
                                  "Reset request   Nok\n"
                                  "EEPROM Dump Request    Nok\n" +
                                  program->commandText + "  Nok\n" + kExit);
        const std::string log = ReadFile(transcript.path());
        EXPECT_EQ(TranscriptBytes(log, "host->converter").size(), 1u) << log;
        EXPECT_NE(log.find("program exited with status 0"), std::string::npos) << log;
        EXPECT_TRUE(SameTerminal(s.InitialAttributes(), s.Attributes()));
    }
}

}  // namespace
