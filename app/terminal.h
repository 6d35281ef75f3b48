// The terminal on standard input: the mode the program found it in, the key
// mode of the key loop, the line mode of a prompt, and what signals do to
// them. The modes nest as scopes; the innermost one is what the terminal is
// in, and what a continue after a stop brings back.
#ifndef WG_TERMINAL_H
#define WG_TERMINAL_H

#include <termios.h>

// Remembers the terminal's attributes and standard input's status flags as
// found, and installs the handlers: an interrupt, termination or hang-up puts
// both back and ends the program; a stop (the suspend key, Ctrl-Z) puts them
// back and stops; a continue brings back the mode of the innermost scope.
// Either end first ends the line of a prompt that waits for its answer.
void InstallTerminalGuard();

// Marks whether a prompt waits for its answer; set before the prompt shows,
// since a signal may come as soon as it does.
void SetAtPrompt(bool atPrompt);

// The modes the program puts the terminal in.
enum class TerminalModeId {
    kFound,    // as found at start: the terminal's own line mode
    kKeys,     // single keys, no echo
    kRawKeys,  // single keys, no echo, reads that do not block
};

// A mode for the lifetime of the object; the enclosing one comes back after.
// Without InstallTerminalGuard first, it changes nothing.
class TerminalModeScope {
  public:
    explicit TerminalModeScope(TerminalModeId mode);
    ~TerminalModeScope();
    TerminalModeScope(const TerminalModeScope &) = delete;
    TerminalModeScope &operator=(const TerminalModeScope &) = delete;

  private:
    int previous_ = -1;
};

// Attributes for reading single keys: no line editing, no echo, and a read
// that does not report end of file just because no key waits.
struct termios KeyAttributes(const struct termios &line);

// Standard input switched to single, unechoed, non-blocking key reads.
class RawKeyInput {
  public:
    RawKeyInput();
    RawKeyInput(const RawKeyInput &) = delete;
    RawKeyInput &operator=(const RawKeyInput &) = delete;

  private:
    TerminalModeScope scope_;
};

// For the whole key loop the terminal stays in key mode, not only while a key
// is polled: a key pressed at any moment of a pass (while received reports are
// printed, during the EEPROM dump's wait) is then neither echoed nor held back
// until Enter.
class KeyModeTerminal {
  public:
    KeyModeTerminal();
    KeyModeTerminal(const KeyModeTerminal &) = delete;
    KeyModeTerminal &operator=(const KeyModeTerminal &) = delete;

  private:
    TerminalModeScope scope_;
};

// The terminal's own line mode for one prompt's answer, inside the key loop;
// outside it the terminal is in that mode already.
class LineModeForPrompt {
  public:
    LineModeForPrompt();
    LineModeForPrompt(const LineModeForPrompt &) = delete;
    LineModeForPrompt &operator=(const LineModeForPrompt &) = delete;

  private:
    TerminalModeScope scope_;
};

#endif  // WG_TERMINAL_H
