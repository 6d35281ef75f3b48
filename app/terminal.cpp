#include "terminal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>

namespace {

// The modes in force, outermost first: gModes[0] is the mode found at start,
// each scope adds one. Entries below gModeDepth are published and never
// change while they are; a new one is written before gModeDepth covers it.
// So a signal handler, which reads only published entries, always sees whole
// ones. Written by the main thread alone.
constexpr int kMaxModes = 4;
TerminalMode gModes[kMaxModes];
volatile sig_atomic_t gModeDepth = 0;

// A prompt waits for its answer: a signal that ends or stops the program
// then ends the prompt's line first, so that what is printed next starts on
// a line of its own.
volatile sig_atomic_t gAtPrompt = 0;

bool SameMode(const TerminalMode &a, const TerminalMode &b) {
    if (a.isTerminal != b.isTerminal || a.flags != b.flags) return false;
    return !a.isTerminal || std::memcmp(&a.attributes, &b.attributes, sizeof a.attributes) == 0;
}

// Only async-signal-safe calls: the handlers use it too.
void ApplyMode(const TerminalMode &mode) {
    if (mode.isTerminal) tcsetattr(STDIN_FILENO, TCSANOW, &mode.attributes);
    if (mode.flags != -1) fcntl(STDIN_FILENO, F_SETFL, mode.flags);
}

void EndPromptLine() {
    if (gAtPrompt != 0) {
        [[maybe_unused]] const ssize_t n = write(STDOUT_FILENO, "\n", 1);
    }
}

void RestoreTerminalOnSignal(int sig) {
    const int savedErrno = errno;
    EndPromptLine();
    if (gModeDepth > 0) ApplyMode(gModes[0]);
    errno = savedErrno;
    // SA_RESETHAND has put back the default action; it takes effect as soon as
    // this handler returns and the signal is unblocked.
    raise(sig);
}

void StopOnSignal(int sig);

void InstallStopHandler() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = StopOnSignal;
    sigemptyset(&action.sa_mask);
    // A prompt's read goes on after the continue instead of failing.
    action.sa_flags = SA_RESTART;
    sigaction(SIGTSTP, &action, nullptr);
}

// The suspend key: the terminal goes back to the mode found at start before
// the process stops, so the shell gets it as it was. The shell may already
// have taken the terminal back when this runs (it sees another process of the
// job stop first): SIGTTOU is held off meanwhile, so that putting the mode
// back still happens and does not stop the process half-way.
void StopOnSignal(int sig) {
    const int savedErrno = errno;
    EndPromptLine();
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &ttou, &before);
    if (gModeDepth > 0) ApplyMode(gModes[0]);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);

    // Stop for real: the default action, with the signal unblocked here.
    struct sigaction dflt;
    std::memset(&dflt, 0, sizeof dflt);
    dflt.sa_handler = SIG_DFL;
    sigemptyset(&dflt.sa_mask);
    sigaction(sig, &dflt, nullptr);
    sigset_t self;
    sigemptyset(&self);
    sigaddset(&self, sig);
    pthread_sigmask(SIG_UNBLOCK, &self, nullptr);
    raise(sig);
    // Continued: SIGCONT's handler has put the program's mode back.
    InstallStopHandler();
    errno = savedErrno;
}

// Continued after a stop, of whatever kind: the terminal goes back into the
// mode the program was in.
void ResumeOnSignal(int) {
    const int savedErrno = errno;
    const int depth = gModeDepth;
    if (depth > 0) ApplyMode(gModes[depth - 1]);
    errno = savedErrno;
}

}  // namespace

void SetAtPrompt(bool atPrompt) {
    gAtPrompt = atPrompt ? 1 : 0;
}

void InstallTerminalGuard() {
    TerminalMode found;
    found.isTerminal = tcgetattr(STDIN_FILENO, &found.attributes) == 0;
    found.flags = fcntl(STDIN_FILENO, F_GETFL);
    gModes[0] = found;
    gModeDepth = 1;
    gAtPrompt = 0;

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = RestoreTerminalOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &action, nullptr);

    InstallStopHandler();
    struct sigaction resume;
    std::memset(&resume, 0, sizeof resume);
    resume.sa_handler = ResumeOnSignal;
    sigemptyset(&resume.sa_mask);
    resume.sa_flags = SA_RESTART;
    sigaction(SIGCONT, &resume, nullptr);
}

TerminalMode CurrentTerminalMode() {
    if (gModeDepth == 0) {
        TerminalMode now;
        now.isTerminal = tcgetattr(STDIN_FILENO, &now.attributes) == 0;
        now.flags = fcntl(STDIN_FILENO, F_GETFL);
        return now;
    }
    return gModes[gModeDepth - 1];
}

TerminalMode StartupTerminalMode() {
    return gModeDepth == 0 ? CurrentTerminalMode() : gModes[0];
}

TerminalModeScope::TerminalModeScope(const TerminalMode &mode) {
    // Without the guard (or nested deeper than the program ever goes) the
    // mode is not tracked and is left as it is.
    if (gModeDepth == 0 || gModeDepth >= kMaxModes) return;
    const int depth = gModeDepth;
    const bool changes = !SameMode(gModes[depth - 1], mode);
    gModes[depth] = mode;
    // Published before it is applied: a stop and continue in between bring
    // back this mode, not the one it replaces.
    gModeDepth = depth + 1;
    pushed_ = true;
    if (changes) ApplyMode(mode);
}

TerminalModeScope::~TerminalModeScope() {
    if (!pushed_) return;
    const int depth = gModeDepth - 1;
    gModeDepth = depth;
    if (!SameMode(gModes[depth], gModes[depth - 1])) ApplyMode(gModes[depth - 1]);
}

struct termios KeyAttributes(const struct termios &line) {
    struct termios key = line;
    key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    key.c_cc[VMIN] = 1;
    key.c_cc[VTIME] = 0;
    return key;
}

namespace {

TerminalMode RawKeyMode() {
    TerminalMode mode = CurrentTerminalMode();
    if (mode.isTerminal) mode.attributes = KeyAttributes(mode.attributes);
    if (mode.flags != -1) mode.flags |= O_NONBLOCK;
    return mode;
}

TerminalMode KeyMode() {
    TerminalMode mode = CurrentTerminalMode();
    if (mode.isTerminal) mode.attributes = KeyAttributes(mode.attributes);
    return mode;
}

TerminalMode PromptMode() {
    TerminalMode mode = CurrentTerminalMode();
    const TerminalMode startup = StartupTerminalMode();
    mode.attributes = startup.attributes;
    mode.isTerminal = startup.isTerminal;
    return mode;
}

}  // namespace

RawKeyInput::RawKeyInput() : scope_(RawKeyMode()) {}

KeyModeTerminal::KeyModeTerminal() : scope_(KeyMode()) {}

LineModeForPrompt::LineModeForPrompt() : scope_(PromptMode()) {}
