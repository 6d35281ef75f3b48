// What the programs' end-to-end tests share: a program run on a
// pseudo-terminal under ftdisim-run, scratch files for the launcher's scenario
// and transcript, the reading of that transcript, and the texts every run of
// the programs shows.
#ifndef WG_TESTS_E2E_SESSION_H
#define WG_TESTS_E2E_SESSION_H

#include <sys/types.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

// Generous: the simulated chip runs under umockdev on a shared machine.
inline constexpr std::chrono::seconds kPatience{60};

// A file under /tmp holding `contents`, removed with the object. The path is
// empty when the contents could not be written.
class TempFile {
  public:
    explicit TempFile(const std::string &contents = "");
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// A named pipe under /tmp for the launcher's --control option, removed with
// the object. Each Send is one action line, played by the launcher at once.
class ControlPipe {
  public:
    ControlPipe();
    ~ControlPipe();
    ControlPipe(const ControlPipe &) = delete;
    ControlPipe &operator=(const ControlPipe &) = delete;
    const std::string &path() const { return path_; }
    void Send(const std::string &action);

  private:
    std::string path_;
    int fd_ = -1;
};

// Polls `done` until it holds or the patience runs out; true when it held.
bool WaitUntil(const std::function<bool()> &done);

// "55 55 0A": the bytes as two-digit upper-case hexadecimal, blank-separated.
std::string Hex(const std::vector<std::uint8_t> &bytes);

// The launcher's command line: ftdisim-run, then `args`.
std::vector<std::string> Launcher(std::vector<std::string> args);

// One command run on a pseudo-terminal (argv[0] is its path), as its
// controlling terminal. The terminal's attributes
// are taken before the child exists, so they are the ones the program found
// at start whatever it does later. A session not finished when it goes kills
// the command.
class Session {
  public:
    explicit Session(std::vector<std::string> argv);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    // Waits until `text` shows after the previous match; true when it did.
    bool WaitFor(const std::string &text);

    // Waits until every one of `texts` has shown after the previous match,
    // in any order; does not move past them.
    bool WaitForAll(const std::vector<std::string> &texts);

    // Types `keys` on the terminal; a short write fails the test.
    void Type(const std::string &keys);

    // Sends `sig` to the command itself (not to the terminal's group).
    void Signal(int sig);

    // Reads until the program has gone and returns the launcher's exit status
    // (the program's, or 128 + the signal that ended it); -1 when it did not
    // end within the patience, in which case the destructor kills it.
    int Finish();

    // What the terminal showed, with its line ends ("\r\n") back to "\n".
    std::string Output() const;

    struct termios Attributes() const;
    const struct termios &InitialAttributes() const { return initial_; }

  private:
    bool Readable() const;
    // Reads what is there within `ms`; false once the terminal has closed.
    bool Pump(int ms);

    pid_t pid_ = -1;
    int master_ = -1;
    bool finished_ = false;
    std::size_t cursor_ = 0;  // where the next WaitFor starts looking in Output()
    std::string raw_;
    struct termios initial_ {};
};

// The whole file at `path`; empty when it cannot be read.
std::string ReadFile(const std::string &path);

// The launcher transcript's lines in one direction ("host->converter" or
// "converter->host"): the bytes of each as "55 55 ...", in order.
std::vector<std::string> TranscriptBytes(const std::string &transcript, const std::string &dir);

// What the programs show up to and including the first device-choice prompt,
// for a mode line such as "Example 2 - Output mode" and the listed serial
// numbers.
std::string BannerAndList(const std::string &modeLine, const std::vector<std::string> &serials);

inline const std::string kConnected = "\n Connected to device SN=TWC00001\n";

inline const std::string kOutputHelp =
    "\n\n"
    "Press 'r' or 'R' to send a Reset device\n"
    "Press 'd' or 'D' to read the device EEPROM\n"
    "Press 'x' or 'X' to exit\n"
    "\n\n";

inline const std::string kInputHelp =
    "\n\n"
    "Press 'O' to set GPIO0 to high level\n"
    "Press 'o' to set GPIO0 to low level\n"
    "Press 'P' to set GPIO1 to high level\n"
    "Press 'p' to set GPIO1 to low level\n"
    "Press 'r' or 'R' to send a Reset device\n"
    "Press 'd' or 'D' to read the device EEPROM\n"
    "Press 'x' or 'X' to exit\n"
    "\n\n";

}  // namespace e2e

#endif  // WG_TESTS_E2E_SESSION_H
