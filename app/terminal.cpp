#include "terminal.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>

namespace {

// One mode of standard input: its attributes (when it is a terminal) and its
// file status flags (when they could be read).
struct TerminalMode {
    struct termios attributes {};
    bool isTerminal = false;
    int flags = -1;
};

// Every mode the program uses, by TerminalModeId, written once by
// InstallTerminalGuard before gCurrentMode first becomes valid (a release
// store; every reader loads gCurrentMode first, with acquire) and never
// changed after. The handlers may run on any thread of the process, the
// library's included, so what they share with the main thread is atomic.
constexpr int kModeCount = 3;
TerminalMode gModes[kModeCount];
// The mode the terminal is in, as an index into gModes; -1 before the guard.
// Set before a mode is applied, so a stop and continue in between bring back
// the new mode, not the one it replaces.
std::atomic<int> gCurrentMode{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used from signal handlers");

// A prompt waits for its answer: a signal that ends or stops the program
// then ends the prompt's line first, so that what is printed next starts on
// a line of its own.
std::atomic<bool> gAtPrompt{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from signal handlers");

// The thread that runs the program and changes the terminal's mode; written
// before the handlers are installed. A stop or continue is handled there
// alone, so that it never runs beside a change of mode.
pthread_t gMainThread;

// Hands a signal that reached another thread (one of the library's) on to
// the main thread; true when it did, and the caller returns at once.
bool HandOnToMainThread(int sig) {
    if (pthread_equal(pthread_self(), gMainThread)) return false;
    pthread_kill(gMainThread, sig);
    return true;
}

// Changes from one mode to the other only what differs: within the key loop
// the key modes differ in their flags alone, so a key poll costs no change of
// the terminal's attributes.
void ChangeMode(const TerminalMode &from, const TerminalMode &to) {
    const bool sameAttributes = from.isTerminal == to.isTerminal &&
                                (!to.isTerminal || std::memcmp(&from.attributes, &to.attributes,
                                                               sizeof to.attributes) == 0);
    if (to.isTerminal && !sameAttributes) tcsetattr(STDIN_FILENO, TCSANOW, &to.attributes);
    if (to.flags != -1 && to.flags != from.flags) fcntl(STDIN_FILENO, F_SETFL, to.flags);
}

// Only async-signal-safe calls: the handlers use it too.
void ApplyMode(const TerminalMode &mode) {
    if (mode.isTerminal) tcsetattr(STDIN_FILENO, TCSANOW, &mode.attributes);
    if (mode.flags != -1) fcntl(STDIN_FILENO, F_SETFL, mode.flags);
}

void EndPromptLine() {
    if (gAtPrompt.load()) {
        [[maybe_unused]] const ssize_t n = write(STDOUT_FILENO, "\n", 1);
    }
}

void RestoreTerminalOnSignal(int sig) {
    const int savedErrno = errno;
    EndPromptLine();
    if (gCurrentMode.load(std::memory_order_acquire) >= 0) ApplyMode(gModes[0]);
    errno = savedErrno;
    // SA_RESETHAND has put back the default action; it takes effect as soon as
    // this handler returns and the signal is unblocked.
    raise(sig);
}

void StopOnSignal(int sig);

// Sets `handler` (or SIG_DFL) for `sig`, with nothing masked while it runs.
void SetHandler(int sig, void (*handler)(int), int flags) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(sig, &action, nullptr);
}

void InstallStopHandler() {
    // No SA_RESTART: a blocked read returns EINTR, which the prompt takes as
    // "read again". Sanitizer runtimes run a handler only once the call it
    // came in has returned, so a restarted read would hold it back for good.
    SetHandler(SIGTSTP, StopOnSignal, 0);
}

// The suspend key: the terminal goes back to the mode found at start before
// the process stops, so the shell gets it as it was. The shell may already
// have taken the terminal back when this runs (it sees another process of the
// job stop first): SIGTTOU is held off meanwhile, so that putting the mode
// back still happens and does not stop the process half-way.
void StopOnSignal(int sig) {
    const int savedErrno = errno;
    if (HandOnToMainThread(sig)) {
        errno = savedErrno;
        return;
    }
    EndPromptLine();
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &ttou, &before);
    if (gCurrentMode.load(std::memory_order_acquire) >= 0) ApplyMode(gModes[0]);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);

    // Stop for real: the default action, with the signal unblocked here.
    SetHandler(sig, SIG_DFL, 0);
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
void ResumeOnSignal(int sig) {
    const int savedErrno = errno;
    if (HandOnToMainThread(sig)) {
        errno = savedErrno;
        return;
    }
    const int mode = gCurrentMode.load(std::memory_order_acquire);
    if (mode >= 0) ApplyMode(gModes[mode]);
    errno = savedErrno;
}

}  // namespace

void SetAtPrompt(bool atPrompt) {
    gAtPrompt.store(atPrompt);
}

struct termios KeyAttributes(const struct termios &line) {
    struct termios key = line;
    key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    key.c_cc[VMIN] = 1;
    key.c_cc[VTIME] = 0;
    return key;
}

void InstallTerminalGuard() {
    TerminalMode found;
    found.isTerminal = tcgetattr(STDIN_FILENO, &found.attributes) == 0;
    found.flags = fcntl(STDIN_FILENO, F_GETFL);
    TerminalMode keys = found;
    if (keys.isTerminal) keys.attributes = KeyAttributes(found.attributes);
    TerminalMode rawKeys = keys;
    if (rawKeys.flags != -1) rawKeys.flags |= O_NONBLOCK;
    gModes[static_cast<int>(TerminalModeId::kFound)] = found;
    gModes[static_cast<int>(TerminalModeId::kKeys)] = keys;
    gModes[static_cast<int>(TerminalModeId::kRawKeys)] = rawKeys;
    gAtPrompt.store(false);
    gMainThread = pthread_self();
    gCurrentMode.store(static_cast<int>(TerminalModeId::kFound), std::memory_order_release);

    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SetHandler(sig, RestoreTerminalOnSignal, SA_RESETHAND);
    }
    InstallStopHandler();
    SetHandler(SIGCONT, ResumeOnSignal, 0);
}

TerminalModeScope::TerminalModeScope(TerminalModeId mode) {
    previous_ = gCurrentMode.load(std::memory_order_acquire);
    if (previous_ < 0) return;
    const int next = static_cast<int>(mode);
    gCurrentMode.store(next, std::memory_order_release);
    ChangeMode(gModes[previous_], gModes[next]);
}

TerminalModeScope::~TerminalModeScope() {
    if (previous_ < 0) return;
    const int current = gCurrentMode.load(std::memory_order_acquire);
    gCurrentMode.store(previous_, std::memory_order_release);
    ChangeMode(gModes[current], gModes[previous_]);
}

RawKeyInput::RawKeyInput() : scope_(TerminalModeId::kRawKeys) {}

KeyModeTerminal::KeyModeTerminal() : scope_(TerminalModeId::kKeys) {}

LineModeForPrompt::LineModeForPrompt() : scope_(TerminalModeId::kFound) {}
