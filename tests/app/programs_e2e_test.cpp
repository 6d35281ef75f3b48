// wg_output and wg_input end to end: each program runs on a pseudo-terminal
// under ftdisim-run against a simulated chip and converter. Keys are typed as
// a person types them, the converter's reports and the unplug are triggered
// through the launcher's control pipe, and what the terminal shows is compared
// character for character; what crossed the link is read from the launcher's
// transcript. Then the launcher's own duties and the demo script's build step.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "converter/wiegand_converter.h"
#include "e2e_session.h"

namespace {

using namespace e2e;
using Bytes = std::vector<std::uint8_t>;

struct Program {
    const char *path;
    const char *mode;  // the converter's, for the launcher
    ftdisim::ConverterMode converterMode;
    const char *modeLine;
    std::string help;
};

const Program kOutput = {WG_OUTPUT, "output", ftdisim::ConverterMode::kOutput,
                         "Example 2 - Output mode", kOutputHelp};
const Program kInput = {WG_INPUT, "input", ftdisim::ConverterMode::kInput, "Example 1 - Input mode",
                        kInputHelp};

// Under a shell with job control: what a step waits for after its text.
enum class Job {
    kAsIs,
    // Every process of the job has stopped; the terminal must then be in the
    // mode the shell had when it started the job.
    kStopped,
    // Every process of the job runs again, at a prompt (line mode).
    kRunning,
    // Every process of the job runs again and the terminal is back in key
    // mode (no line editing, no echo).
    kRunningInKeyMode,
};

// One step: an action line for the launcher's control pipe and/or keys to
// type, then the text the terminal must show next.
struct Step {
    std::string control;
    std::string keys;
    std::string shows;
    Job job = Job::kAsIs;
};

struct Scenario {
    const char *name;
    const Program *program;
    std::vector<Step> steps;
    // Everything shown after the help text, or after the first prompt when
    // the scenario answers that prompt itself.
    std::string screen;
    // The frames the program wrote, in order.
    std::vector<std::string> sent;
    bool choose = true;  // answer the device prompt with 1 first
    int status = 0;
    std::vector<std::string> options = {};        // more launcher options
    std::vector<std::string> transcriptHas = {};  // lines the transcript holds
    std::vector<std::string> listed = {"TWC00001"};
    // When not empty: started from this interactive shell with job control,
    // which shows its own texts (kShell in `screen`) between the program's.
    std::vector<std::string> shell = {};
};

// In a screen: whatever the shell shows there (its prompt, the command line,
// job notices).
const std::string kShell = "\x01";

// Interactive shells with job control, no start-up files and the prompt "$ ".
// dash leaves the terminal as a stopped job left it; bash puts back its own
// mode when a job stops and leaves it so when the job goes on.
const std::vector<std::string> kDash = {"/usr/bin/env", "-u", "ENV", "PS1=$ ", "/bin/sh", "-i"};
const std::vector<std::string> kBash = {"/usr/bin/env", "PS1=$ ",      "/bin/bash", "--norc",
                                        "--noprofile",  "--noediting", "-i"};

std::string Raw(const std::vector<Bytes> &parts) {
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return "raw " + Hex(all);
}

Bytes Frame(std::uint8_t code, Bytes payload) {
    Bytes f = {0x55, 0x55, code};
    f.insert(f.end(), payload.begin(), payload.end());
    f.insert(f.end(), {0x00, 0x0D});
    return f;
}

// The EEPROM dump as printed: a line end, rows of 13 "%02X ", an empty line.
std::string Dump(ftdisim::ConverterMode mode) {
    const Bytes reply = ftdisim::WiegandConverter(mode).EepromReply();
    std::string text = "\n";
    for (std::size_t i = 0; i < reply.size(); ++i) {
        text += Hex({reply[i]}) + " ";
        if ((i + 1) % 13 == 0) text += "\n";
    }
    return text + "\n";
}

// A 20-byte Wiegand report as wg_input prints it: its bit count and leading
// data bytes `data`, zeros, the 0x0D, then `decoded` ("" for a bit count that
// is not decoded).
std::string Report(const std::string &data, const std::string &decoded) {
    std::string zeros;
    for (std::size_t n = (data.size() + 1) / 3; n < 16; ++n) zeros += "00 ";
    return "Wiegand Frame Hex format:\n55 55 01 " + data + " " + zeros + "0D \n" + decoded + "\n";
}

std::string Badge(const std::string &data, const std::string &values, const char *verdict) {
    return Report(data, "26 Bit Wiegand, " + values + ", " + verdict + "\n");
}

const std::string kExit = "Exit \n\n";
const std::string kPromptF = "Facility code [0-255] :";
const std::string kPromptB = "Badge_ID [0-65535] :";
// Longer than any answer: not taken for the number at its start.
const std::string kLongLine = "12" + std::string(70, ' ') + "x";
const std::string kChoose = "\n Choose from (1-1) :";
const std::string kGone = "\n Device SN=TWC00001 was unplugged; press 'x' or 'X' to exit\n";
// Cursor, function and editing keys, plain and with modifiers, as xterm and
// the Linux console send them.
const std::string kKeySequences =
    "\x1b[D\x1b[A\x1b[1;5C\x1b[1;2D\x1bOP\x1bOS\x1bO2Q\x1b[15~\x1b[5~\x1b[6;3~\x1b[H\x1b[F"
    "\x1b[[A\x1b[3~";

const Bytes kGpio0High = Frame(0x03, {0xFF});
const Bytes kGpio1Low = Frame(0x04, {0x00});
const Bytes kTamperOn = Frame(0x02, {0xFF});
const Bytes kTamperOff = Frame(0x02, {0x00});
const Bytes kZeros7(7, 0x00);
const Bytes kZeros13(13, 0x00);

// Stopped with the suspend key and continued with fg, at the key loop and at
// both prompts, from an interactive shell: each stop gives the shell its
// terminal back (a prompt's line ended first), each continue brings back the
// program's mode, and the keys go on acting at once, unechoed.
Scenario StopAndContinue(const char *name, const std::vector<std::string> &shell) {
    return {name,
            &kOutput,
            {{"", "T", "Set Tamper  Ok\n"},
             {"", "\x1a", "Stopped", Job::kStopped},
             {"", "fg\n", "", Job::kRunningInKeyMode},
             {"", "T", "Set Tamper  Ok\n"},
             {"", "\x1a", "Stopped", Job::kStopped},
             {"", "fg\n", "", Job::kRunningInKeyMode},
             {"", "w", kPromptF},
             {"", "\x1a", "Stopped", Job::kStopped},
             {"", "fg\n", "", Job::kRunning},
             {"", "12\n", kPromptB},
             {"", "\x1a", "Stopped", Job::kStopped},
             {"", "fg\n", "", Job::kRunning},
             {"", "345\n", "Wiegand Frame sent \n"},
             {"", "\x1a", "Stopped", Job::kStopped},
             {"", "fg\n", "", Job::kRunningInKeyMode},
             {"", "t", "Reset Tamper  Ok\n"},
             {"", "x", kExit}},
            "Set Tamper  Ok\n" + kShell + "Set Tamper  Ok\n" + kShell +
                "Send 26b Wiegand Frame \n" + kPromptF + "^Z\n" + kShell + "12\n\n" + kPromptB +
                "^Z\n" + kShell + "345\n\n  Ok\nWiegand Frame sent \n" + kShell +
                "Reset Tamper  Ok\n" + kExit + kShell,
            {"55 55 02 FF 00 0D", "55 55 02 FF 00 0D",
             "55 55 01 1A 06 00 AC 80 00 00 00 00 00 00 00 00 00 00 00 0D", "55 55 02 00 00 0D"},
            true,
            0,
            {},
            {},
            {"TWC00001"},
            shell};
}

const std::vector<Scenario> kScenarios = {
    {"OutputKeysSendTheirFrames",
     &kOutput,
     {{"", "T", "Set Tamper  Ok\n"},
      {"", "t", "Reset Tamper  Ok\n"},
      {"", "w", kPromptF},
      {"", "300\n", kPromptF},
      {"", "12\n", kPromptB},
      {"", "345\n", "Wiegand Frame sent \n"},
      {"", "W", kPromptF},
      {"", "0\n", kPromptB},
      {"", "0\n", "sent \n"},
      {"", "w", kPromptF},
      {"", "1\n", kPromptB},
      {"", "1\n", "sent \n"},
      {"", "w", kPromptF},
      {"", "255\n", kPromptB},
      {"", "65535\n", "sent \n"},
      {"", "zd", "Dump Request    Ok\n" + Dump(ftdisim::ConverterMode::kOutput)},
      // The reset's reply is dropped whenever it comes: after the dump, so
      // that it can never land in the dump's second.
      {"", "R", "Reset request   Ok\n"},
      {"", "h", kOutputHelp},
      {"", "x", kExit}},
     "Set Tamper  Ok\nReset Tamper  Ok\n"
     "Send 26b Wiegand Frame \n" +
         kPromptF + "300\n" + kPromptF + "12\n\n" + kPromptB +
         "345\n\n  Ok\nWiegand Frame sent \n"
         "Send 26b Wiegand Frame \n" +
         kPromptF + "0\n\n" + kPromptB +
         "0\n\n  Ok\nWiegand Frame sent \n"
         "Send 26b Wiegand Frame \n" +
         kPromptF + "1\n\n" + kPromptB +
         "1\n\n  Ok\nWiegand Frame sent \n"
         "Send 26b Wiegand Frame \n" +
         kPromptF + "255\n\n" + kPromptB +
         "65535\n\n  Ok\nWiegand Frame sent \n"
         "EEPROM Dump Request    Ok\n" +
         Dump(ftdisim::ConverterMode::kOutput) + "Reset request   Ok\n" + kOutputHelp + kExit,
     {"55 55 02 FF 00 0D", "55 55 02 00 00 0D",
      "55 55 01 1A 06 00 AC 80 00 00 00 00 00 00 00 00 00 00 00 0D",
      "55 55 01 1A 00 00 00 40 00 00 00 00 00 00 00 00 00 00 00 0D",
      "55 55 01 1A 80 80 00 80 00 00 00 00 00 00 00 00 00 00 00 0D",
      "55 55 01 1A 7F FF FF C0 00 00 00 00 00 00 00 00 00 00 00 0D", "55 55 0B 00 00 0D",
      "55 55 0A 00 00 0D"}},

    // A prompt takes a whole line holding one number in range; every other
    // line asks again and none of it reaches the keys.
    {"PromptsTakeOnlyAWholeLineWithOneNumber",
     &kOutput,
     {{"", "w", kPromptF},
      {"", "12 345d\n", kPromptF},
      {"", "0x1F\n", kPromptF},
      {"", "1e3\n", kPromptF},
      {"", "1x\n", kPromptF},
      {"", kLongLine + "\n", kPromptF},
      {"", "\n", kPromptF},
      {"", " \t \n", kPromptF},
      {"", "-1\n", kPromptF},
      {"", " 12 \n", kPromptB},
      {"", "345x\n", kPromptB},
      {"", "65536\n", kPromptB},
      {"", "\t345\n", "Wiegand Frame sent \n"},
      {"", "x", kExit}},
     "Send 26b Wiegand Frame \n" + kPromptF + "12 345d\n" + kPromptF + "0x1F\n" + kPromptF +
         "1e3\n" + kPromptF + "1x\n" + kPromptF + kLongLine + "\n" + kPromptF + "\n" + kPromptF +
         " \t \n" + kPromptF + "-1\n" + kPromptF + " 12 \n\n" + kPromptB + "345x\n" + kPromptB +
         "65536\n" + kPromptB + "\t345\n\n  Ok\nWiegand Frame sent \n" + kExit,
     {"55 55 01 1A 06 00 AC 80 00 00 00 00 00 00 00 00 00 00 00 0D"}},

    {"DeviceChoiceTakesOnlyAListedNumber",
     &kOutput,
     {{"", "0\n", kChoose},
      {"", "abc\n", kChoose},
      {"", "-3\n", kChoose},
      {"", "2\n", kChoose},
      {"", "1x\n", kChoose},
      {"", "\n", kChoose},
      {"", " 1 \n", kOutputHelp},
      {"", "x", kExit}},
     "0\n" + kChoose + "abc\n" + kChoose + "-3\n" + kChoose + "2\n" + kChoose + "1x\n" + kChoose +
         "\n" + kChoose + " 1 \n" + kConnected + kOutputHelp + kExit,
     {},
     false},

    {"CtrlDAtAPromptEndsTheProgram",
     &kOutput,
     {{"", "w", kPromptF}, {"", "\x04", ""}},
     "Send 26b Wiegand Frame \n" + kPromptF + "\n",
     {}},

    {"CtrlDAtTheDeviceChoiceEndsTheProgram", &kInput, {{"", "\x04", ""}}, "\n", {}, false},

    // The keyboard's interrupt key ends the program; the terminal is as it
    // was, and a prompt's line is ended first.
    {"InterruptAtAPromptEndsItsLine",
     &kOutput,
     {{"", "w", kPromptF}, {"", "\x03", ""}},
     "Send 26b Wiegand Frame \n" + kPromptF + "^C\n",
     {},
     true,
     128 + SIGINT},

    {"InterruptInTheKeyLoop", &kInput, {{"", "\x03", ""}}, "", {}, true, 128 + SIGINT},

    {"OutputKeySequencesAreIgnoredAndALoneEscDoesNothing",
     &kOutput,
     {{"", kKeySequences + "\x1b", ""}, {"", "T", "Set Tamper  Ok\n"}, {"", "\x1bx", kExit}},
     "Set Tamper  Ok\n" + kExit,
     {"55 55 02 FF 00 0D"}},

    {"InputKeySequencesAreIgnoredAndALoneEscDoesNothing",
     &kInput,
     {{"", kKeySequences + "\x1bo", "Reset GPIO0  Ok\n"}, {"", "\x1b\x1bOQX", kExit}},
     "Reset GPIO0  Ok\n" + kExit,
     {"55 55 03 00 00 0D"}},

    {"OutputReportsInPiecesAmongGarbageArePrintedOnce",
     &kOutput,
     {{"gpio 0 high", "", "Set GPIO0\n"},
      {"gpio 1 low", "", "Rst GPIO1\n"},
      {"gpio 1 0x01", "", "Err GPIO1"},
      {"", "T", "Set Tamper  Ok\n"},
      // Split between the sync bytes.
      {"raw 55", "", ""},
      {"raw 55 03", "", ""},
      {"raw FF 00 0D", "", "Set GPIO0\n"},
      // A lone sync byte among garbage, then a report.
      {Raw({{0x12, 0x55, 0x34}, kGpio1Low}), "", "Rst GPIO1\n"},
      // Seven bytes where a report has six: dropped once it holds 20 bytes,
      // and the byte that finds it full starts the next report...
      {Raw({Frame(0x03, {0xFF, 0xFF}), kZeros13, Frame(0x03, {0x00})}), "", "Rst GPIO0\n"},
      // ...until then it swallows whatever follows, a whole report included.
      {Raw({Frame(0x04, {0xFF, 0xFF}), kGpio0High, kZeros7, kGpio1Low}), "", "Rst GPIO1\n"},
      // Frames this program takes silently, in one write with a report.
      {Raw({Frame(0x0A, {0x00}), Frame(0x0B, {0x00}), Frame(0x09, {0x01, 0x02}), kTamperOn,
            kGpio0High}),
       "", "Set GPIO0\n"},
      // More than one read's worth of garbage before a report.
      {Raw({Bytes(300, 0x12), kGpio1Low}), "", "Rst GPIO1\n"},
      {"", "x", kExit}},
     "Set GPIO0\nRst GPIO1\nErr GPIO1Set Tamper  Ok\nSet GPIO0\nRst GPIO1\nRst GPIO0\n"
     "Rst GPIO1\nSet GPIO0\nRst GPIO1\n" +
         kExit,
     {"55 55 02 FF 00 0D"},
     true,
     0,
     {},
     {"converter->host 55 55 0A 00 00 0D 55 55 0B 00 00 0D 55 55 09 01 02 00 0D 55 55 02 FF 00 "
      "0D 55 55 03 FF 00 0D (raw: reset; eeprom dump request; frame code 0x09; tamper on; "
      "gpio0 high)",
      "converter->host 12 55 34 55 55 04 00 00 0D (raw: unframed 3 bytes; gpio1 low)"}},

    {"InputReportsAreDecodedAndKeysSendTheirFrames",
     &kInput,
     {{"badge 12 345", "", "Parity Bits OK.\n\n"},
      {"badge 12 345 bad-even", "", "Parity Bit Even Error.\n\n"},
      {"badge 12 345 bad-odd", "", "Parity Bit Odd Error.\n\n"},
      {"badge 255 65535 bad-parity", "", "Parity Bits Error.\n\n"},
      {"tamper on", "", "Set Tamper\n"},
      {"tamper off", "", "Rst Tamper\n"},
      {"tamper 80", "", "Err Tamper"},
      {"bits 1011001110001111000011110000111100", "", "0D \n\n"},
      // Data bytes of 0x0D: only the one at byte 20 ends the report.
      {Raw({{0x55, 0x55, 0x01, 0x22, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D}, Bytes(10, 0x00), {0x0D}}), "",
       "0D \n\n"},
      {Raw({Frame(0x02, {0xFF, 0xFF}), kTamperOn, kZeros7, kTamperOff}), "", "Rst Tamper\n"},
      {Raw({Frame(0x03, {0xFF}), Frame(0x04, {0x00}), kTamperOn}), "", "Set Tamper\n"},
      {"", "O", "Set GPIO0  Ok\n"},
      {"", "o", "Reset GPIO0  Ok\n"},
      {"", "P", "Set GPIO1  Ok\n"},
      {"", "p", "Reset GPIO1  Ok\n"},
      {"", "D", "Dump Request    Ok\n" + Dump(ftdisim::ConverterMode::kInput)},
      // After the dump, as above.
      {"", "Twr", "Reset request   Ok\n"},  // 'T' and 'w' are not wg_input's keys
      {"", "H", kInputHelp},
      {"", "X", kExit}},
     Badge("1A 06 00 AC 80", "Facility Code=12, Badge ID=345", "Parity Bits OK.") +
         Badge("1A 86 00 AC 80", "Facility Code=12, Badge ID=345", "Parity Bit Even Error.") +
         Badge("1A 06 00 AC C0", "Facility Code=12, Badge ID=345", "Parity Bit Odd Error.") +
         Badge("1A FF FF FF 80", "Facility Code=255, Badge ID=65535", "Parity Bits Error.") +
         "Set Tamper\nRst Tamper\nErr Tamper" + Report("22 B3 8F 0F 0F 00", "") +
         Report("22 0D 0D 0D 0D 0D", "") +
         "Rst Tamper\nSet Tamper\nSet GPIO0  Ok\nReset GPIO0  Ok\nSet GPIO1  Ok\n"
         "Reset GPIO1  Ok\nEEPROM Dump Request    Ok\n" +
         Dump(ftdisim::ConverterMode::kInput) + "Reset request   Ok\n" + kInputHelp + kExit,
     {"55 55 03 FF 00 0D", "55 55 03 00 00 0D", "55 55 04 FF 00 0D", "55 55 04 00 00 0D",
      "55 55 0B 00 00 0D", "55 55 0A 00 00 0D"}},

    // The unplug is noticed once; keys go on, their commands fail.
    {"OutputUnplugIsNoticedOnce",
     &kOutput,
     {{"", "T", "Set Tamper  Ok\n"},
      {"unplug", "", kGone},
      {"", "rdT", "Set Tamper  Nok\n"},
      {"", "x", kExit}},
     "Set Tamper  Ok\n" + kGone +
         "Reset request   Nok\nEEPROM Dump Request    Nok\nSet Tamper  Nok\n" + kExit,
     {"55 55 02 FF 00 0D"}},

    {"InputUnplugIsNoticedOnce",
     &kInput,
     {{"unplug", "", kGone}, {"", "O", "Set GPIO0  Nok\n"}, {"", "x", kExit}},
     kGone + "Set GPIO0  Nok\n" + kExit,
     {}},

    StopAndContinue("StopAndContinueUnderDash", kDash),
    StopAndContinue("StopAndContinueUnderBash", kBash),

    // A kernel driver holds the interface: the device is listed without a
    // serial number and cannot be opened; every command fails, and no
    // unplug is reported for a device that was never open.
    {"DeviceThatCannotBeOpenedLeavesEveryCommandFailing",
     &kOutput,
     {{"", "1\n", kOutputHelp}, {"", "T", "Set Tamper  Nok\n"}, {"", "x", kExit}},
     "1\nErro! Error code 2 (USB Device  isn't plug to USB port)\n\r" + kOutputHelp +
         "Set Tamper  Nok\n" + kExit,
     {},
     false,
     0,
     {"--kernel-driver"},
     {},
     {""}},

    // A serial number of 16 characters fills the library's buffer whole.
    {"SixteenCharacterSerialNumber",
     &kOutput,
     {{"", "1\n", kOutputHelp}, {"", "x", kExit}},
     "1\n\n Connected to device SN=ABCDEFGHIJKLMNOP\n" + kOutputHelp + kExit,
     {},
     false,
     0,
     {"-s", "ABCDEFGHIJKLMNOP"},
     {},
     {"ABCDEFGHIJKLMNOP"}},
};

// The terminal is as the program found it: modes, flags and every control
// character.
bool SameTerminal(const struct termios &a, const struct termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Whether `shown` is `screen`, each kShell in it standing for any text.
bool ShowsScreen(const std::string &shown, const std::string &screen) {
    std::vector<std::string> parts;
    for (std::size_t from = 0;;) {
        const std::size_t at = screen.find(kShell, from);
        parts.push_back(screen.substr(from, at - from));
        if (at == std::string::npos) break;
        from = at + kShell.size();
    }
    if (shown.compare(0, parts.front().size(), parts.front()) != 0) return false;
    std::size_t at = parts.front().size();
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        const std::size_t found = last ? shown.size() - std::min(shown.size(), parts[i].size())
                                       : shown.find(parts[i], at);
        if (found == std::string::npos || found < at) return false;
        if (shown.compare(found, parts[i].size(), parts[i]) != 0) return false;
        at = found + parts[i].size();
    }
    return parts.size() > 1 || at == shown.size();
}

// The state letters (R, S, T...) of every process below `root`.
std::vector<char> DescendantStates(pid_t root) {
    std::map<pid_t, std::vector<std::pair<pid_t, char>>> children;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return {};
    while (const dirent *entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        const std::string stat = ReadFile("/proc/" + std::string(entry->d_name) + "/stat");
        const std::size_t end = stat.rfind(')');
        if (end == std::string::npos || end + 4 > stat.size()) continue;
        const char state = stat[end + 2];
        const pid_t parent = static_cast<pid_t>(std::atoi(stat.c_str() + end + 4));
        children[parent].push_back({pid, state});
    }
    closedir(proc);
    std::vector<char> states;
    std::vector<pid_t> todo = {root};
    while (!todo.empty()) {
        const pid_t parent = todo.back();
        todo.pop_back();
        for (const auto &[pid, state] : children[parent]) {
            states.push_back(state);
            todo.push_back(pid);
        }
    }
    return states;
}

bool JobStopped(pid_t shell) {
    const std::vector<char> states = DescendantStates(shell);
    return !states.empty() &&
           std::all_of(states.begin(), states.end(), [](char c) { return c == 'T'; });
}

bool JobRunning(pid_t shell) {
    const std::vector<char> states = DescendantStates(shell);
    return !states.empty() &&
           std::none_of(states.begin(), states.end(), [](char c) { return c == 'T'; });
}

bool InKeyMode(const struct termios &t) {
    return (t.c_lflag & (ICANON | ECHO)) == 0;
}

std::string ShellWord(const std::string &word) {
    std::string quoted = "'";
    quoted += word;
    quoted += '\'';
    return quoted;
}

void PrintTo(const Scenario &scenario, std::ostream *os) {
    *os << scenario.name;
}

class ProgramScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(ProgramScenario, ShowsExactlyItsScreenAndSendsItsFrames) {
    const Scenario &sc = GetParam();
    const Program &program = *sc.program;
    TempFile transcript;
    ControlPipe control;
    std::vector<std::string> args = {"-m",        program.mode,  "-t", transcript.path(),
                                     "--control", control.path()};
    args.insert(args.end(), sc.options.begin(), sc.options.end());
    args.insert(args.end(), {"--", program.path});
    Session s(!sc.shell.empty() ? sc.shell : Launcher(args));
    struct termios shellMode = s.InitialAttributes();
    std::string start;
    if (!sc.shell.empty()) {
        ASSERT_TRUE(s.WaitFor("$ ")) << s.Output();
        shellMode = s.Attributes();
        std::string command = ShellWord(FTDISIM_RUN);
        for (const std::string &a : args) {
            command += ' ';
            command += ShellWord(a);
        }
        s.Type(command + "\n");
        start = kShell;
    }
    ASSERT_TRUE(s.WaitFor(") :")) << s.Output();
    start += BannerAndList(program.modeLine, sc.listed);
    if (sc.choose) {
        s.Type("1\n");
        ASSERT_TRUE(s.WaitFor(program.help)) << s.Output();
        // Keys are read one by one, without echo.
        EXPECT_EQ(s.Attributes().c_lflag & (ICANON | ECHO), 0u);
        start += "1\n" + kConnected + program.help;
    }
    for (const Step &step : sc.steps) {
        if (!step.control.empty()) control.Send(step.control);
        if (!step.keys.empty()) s.Type(step.keys);
        ASSERT_TRUE(s.WaitFor(step.shows)) << "after \"" << step.control << step.keys << "\":\n"
                                           << s.Output();
        switch (step.job) {
            case Job::kAsIs:
                break;
            case Job::kStopped:
                ASSERT_TRUE(WaitUntil([&] { return JobStopped(s.Pid()); })) << s.Output();
                EXPECT_TRUE(SameTerminal(shellMode, s.Attributes())) << s.Output();
                break;
            case Job::kRunning:
                ASSERT_TRUE(WaitUntil([&] { return JobRunning(s.Pid()); })) << s.Output();
                break;
            case Job::kRunningInKeyMode:
                ASSERT_TRUE(WaitUntil([&] {
                    return JobRunning(s.Pid()) && InKeyMode(s.Attributes());
                })) << s.Output();
                break;
        }
    }
    if (!sc.shell.empty()) {
        // The shell's prompt is back once the program has ended.
        ASSERT_TRUE(s.WaitFor("$ ")) << s.Output();
        s.Type("exit\n");
    }
    EXPECT_EQ(s.Finish(), sc.status) << s.Output();
    if (!sc.shell.empty()) {
        EXPECT_TRUE(ShowsScreen(s.Output(), start + sc.screen)) << s.Output();
    } else {
        EXPECT_EQ(s.Output(), start + sc.screen);
    }
    EXPECT_TRUE(
        SameTerminal(!sc.shell.empty() ? shellMode : s.InitialAttributes(), s.Attributes()));

    const std::string log = ReadFile(transcript.path());
    EXPECT_EQ(TranscriptBytes(log, "host->converter"), sc.sent) << log;
    for (const std::string &line : sc.transcriptHas) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\nin\n" << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramScenario, ::testing::ValuesIn(kScenarios),
                         [](const auto &p) { return std::string(p.param.name); });

// Ten devices are listed at most (in the order the bus gives), the prompt's
// bound is ten, and the tenth listed opens.
TEST(Programs, TenOfElevenDevicesAreListedAndTheTenthOpens) {
    Session s(Launcher({"-m", "input", "-n", "11", "--", WG_INPUT}));
    ASSERT_TRUE(s.WaitFor("\n Choose from (1-10) :")) << s.Output();
    std::vector<std::string> listed;
    std::istringstream lines(s.Output());
    for (std::string line; std::getline(lines, line);) {
        const std::string number = std::to_string(listed.size() + 1) + ") SN=";
        if (line.rfind(number, 0) == 0) listed.push_back(line.substr(number.size()));
    }
    ASSERT_EQ(listed.size(), 10u) << s.Output();
    for (std::string &serial : listed) {
        ASSERT_EQ(serial.back(), ' ');
        serial.pop_back();
        EXPECT_EQ(std::count(listed.begin(), listed.end(), serial), 1);
        EXPECT_EQ(serial.substr(0, 6), "TWC000") << serial;
    }
    s.Type("11\n");
    ASSERT_TRUE(s.WaitFor("\n Choose from (1-10) :")) << s.Output();
    s.Type("10\n");
    ASSERT_TRUE(s.WaitFor(" Connected to device SN=" + listed[9] + "\n" + kInputHelp))
        << s.Output();
    s.Type("x");
    EXPECT_EQ(s.Finish(), 0);
}

// The launcher's timed scenario plays its events and starts over at its
// restart (the demo runs on this).
TEST(Launcher, ScenarioRepeatsAfterRestart) {
    TempFile script("0.05 gpio 0 high\n0.1 gpio 1 low\n0.15 restart\n");
    Session s(Launcher({"--script", script.path(), "--", WG_OUTPUT}));
    ASSERT_TRUE(s.WaitFor(kChoose)) << s.Output();
    s.Type("1\n");
    const std::string round = "Set GPIO0\nRst GPIO1\n";
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(s.WaitFor(round)) << s.Output();
    s.Type("x");
    ASSERT_TRUE(s.WaitFor(kExit)) << s.Output();
    EXPECT_EQ(s.Finish(), 0);
}

// The launcher's exit status is the program's, 128 + the signal that killed
// it, or its own for what kept the program from running.
TEST(Launcher, ExitStatusTellsWhatHappened) {
    TempFile badScript("1 badge 1 2\n2 gpio 0 high\n");
    TempFile notFifo;
    const struct {
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {
        {{"--", PROBE_CHILD, "exit", "7"}, 7, ""},
        {{"--", PROBE_CHILD, "signal", "15"}, 128 + SIGTERM, ""},
        {{"--", "no-such-program-here"}, 127, "no-such-program-here: command not found"},
        {{"--", notFifo.path()}, 126, ""},
        {{"--mode", "sideways", "--", "true"}, 125, "--mode: 'output' or 'input'"},
        {{"-m", "input", "--script", badScript.path(), "--", "true"},
         125,
         "line 2: 'gpio' needs a converter in output mode"},
        {{"--control", notFifo.path(), "--", "true"}, 125, "is not a named pipe"},
    };
    for (const auto &c : cases) {
        Session s(Launcher(c.args));
        EXPECT_EQ(s.Finish(), c.status) << c.args[1] << "\n" << s.Output();
        EXPECT_NE(s.Output().find(c.says), std::string::npos) << s.Output();
    }
}

// Keyboard signals sent to the launcher alone are the program's business;
// SIGTERM is passed on to the program.
TEST(Launcher, LeavesKeyboardSignalsAndForwardsSigterm) {
    TempFile transcript;
    Session s(Launcher({"-t", transcript.path(), "--", PROBE_CHILD, "listen", "60"}));
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadFile(transcript.path()).find("starting") != std::string::npos; }));
    s.Signal(SIGINT);
    s.Signal(SIGQUIT);
    s.Signal(SIGTERM);
    EXPECT_EQ(s.Finish(), 128 + SIGTERM) << s.Output();
    EXPECT_NE(ReadFile(transcript.path()).find("program killed by signal 15"), std::string::npos);
}

// A program killed at any moment, even in the middle of a request to the
// chip, leaves the terminal to itself: nothing of the emulation shows. Each
// round kills a program that is never long out of a request.
TEST(Launcher, AProgramKilledMidRequestLeavesNothingOnTheScreen) {
    for (int round = 0; round < 10; ++round) {
        Session s(Launcher({"--", PROBE_CHILD, "busy", "60"}));
        ASSERT_TRUE(s.WaitFor("busy\n")) << s.Output();
        s.Signal(SIGTERM);
        EXPECT_EQ(s.Finish(), 128 + SIGTERM) << s.Output();
        EXPECT_EQ(s.Output(), "busy\n") << "round " << round;
    }
}

// Traffic at the wrong line settings reaches the converter garbled, and
// several devices get counted serial numbers.
TEST(Launcher, GarblesWrongLineSettingsAndCountsSerialNumbers) {
    TempFile transcript;
    Session garbled(
        Launcher({"-t", transcript.path(), "--", PROBE_CHILD, "--divisor", "809C", "reset"}));
    EXPECT_EQ(garbled.Finish(), 1) << garbled.Output();
    const std::string log = ReadFile(transcript.path());
    EXPECT_NE(log.find("(garbled: line at 19200 8N1)"), std::string::npos) << log;
    EXPECT_EQ(log.find("converter->host"), std::string::npos) << log;

    Session three(
        Launcher({"-n", "3", "-f", "FT2232H", "-s", "DEV07", "--", PROBE_CHILD, "devices"}));
    EXPECT_EQ(three.Finish(), 0) << three.Output();
    for (const char *serial : {"DEV07", "DEV08", "DEV09"}) {
        EXPECT_NE(three.Output().find(std::string("0403:6010 bcd 0700 serial ") + serial),
                  std::string::npos)
            << three.Output();
    }
}

// The demo script shows the build's progress on one line and, when the build
// fails, the end of its log. cmake and dpkg-query are stand-ins here.
TEST(RunDemo, ShowsBuildProgressAndTheLogsEndOnFailure) {
    char dir[] = "/tmp/wg-e2e-demo-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string bin = dir;
    auto tool = [&](const char *name, const std::string &body) {
        const std::string path = bin + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0755);
    };
    tool("dpkg-query", "echo 'install ok installed'\n");
    tool("cmake",
         "case \"$*\" in *--build*) ;; *) exit 0 ;; esac\n"
         "for p in 5 40 100; do echo \"[ $p%] Building CXX object x$p.o\"; done\n"
         "echo 'x.cpp:1:1: error: broken'\nexit 1\n");
    Session s({"/usr/bin/env", "PATH=" + bin + ":" + std::getenv("PATH"),
               "RUN_DEMO_BUILD_DIR=" + bin + "/build", "bash", SOURCE_DIR "/scripts/run-demo.sh"});
    EXPECT_EQ(s.Finish(), 1) << s.Output();
    const std::string out = s.Output();
    for (const char *shown :
         {"\rrun-demo: building wg_output          5%\rrun-demo: building wg_output         40%"
          "\rrun-demo: building wg_output        100%\n",
          "x.cpp:1:1: error: broken\n", "run-demo: the build failed"}) {
        EXPECT_NE(out.find(shown), std::string::npos) << shown << "\nin\n" << out;
    }
    std::system(("rm -rf " + bin).c_str());
}

}  // namespace
