#include "e2e_session.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {

using namespace std::chrono_literals;

namespace {

std::string Replace(std::string text, const std::string &from, const std::string &to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

}  // namespace

TempFile::TempFile(const std::string &contents) {
    char name[] = "/tmp/wg-e2e-XXXXXX";
    const int fd = mkstemp(name);
    if (fd == -1) return;
    path_ = name;
    if (!contents.empty() && write(fd, contents.data(), contents.size()) < 0) {
        unlink(name);
        path_.clear();
    }
    close(fd);
}

TempFile::~TempFile() {
    if (!path_.empty()) unlink(path_.c_str());
}

ControlPipe::ControlPipe() {
    char dir[] = "/tmp/wg-e2e-ctl-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    const std::string path = std::string(dir) + "/control";
    if (mkfifo(path.c_str(), 0600) != 0) return;
    path_ = path;
    // Read-write: opening never blocks and writes never fail for want of a
    // reader before the launcher has opened its end.
    fd_ = open(path_.c_str(), O_RDWR | O_CLOEXEC);
}

ControlPipe::~ControlPipe() {
    if (fd_ != -1) close(fd_);
    if (path_.empty()) return;
    unlink(path_.c_str());
    rmdir(path_.substr(0, path_.rfind('/')).c_str());
}

void ControlPipe::Send(const std::string &action) {
    const std::string line = action + "\n";
    ASSERT_EQ(write(fd_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
}

bool WaitUntil(const std::function<bool()> &done) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string Hex(const std::vector<std::uint8_t> &bytes) {
    std::string text;
    char group[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(group, sizeof group, "%02X ", b);
        text += group;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

std::vector<std::string> Launcher(std::vector<std::string> args) {
    args.insert(args.begin(), FTDISIM_RUN);
    return args;
}

Session::Session(std::vector<std::string> argv) {
    std::vector<char *> cargv;
    for (std::string &a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    int slave = -1;
    if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) {
        master_ = -1;
        return;
    }
    tcgetattr(master_, &initial_);
    pid_ = fork();
    if (pid_ == 0) {
        close(master_);
        if (login_tty(slave) != 0) _exit(126);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    close(slave);
}

Session::~Session() {
    if (pid_ > 0 && !finished_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ != -1) close(master_);
}

bool Session::WaitFor(const std::string &text) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
        const std::string shown = Output();
        const std::size_t at = shown.find(text, cursor_);
        if (at != std::string::npos) {
            cursor_ = at + text.size();
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline || !Pump(100)) return false;
    }
}

bool Session::WaitForAll(const std::vector<std::string> &texts) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
        const std::string shown = Output().substr(cursor_);
        bool all = true;
        for (const std::string &t : texts) all = all && shown.find(t) != std::string::npos;
        if (all) return true;
        if (std::chrono::steady_clock::now() > deadline || !Pump(100)) return false;
    }
}

void Session::Type(const std::string &keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

void Session::Signal(int sig) {
    if (pid_ > 0 && !finished_) kill(pid_, sig);
}

int Session::Finish() {
    if (!Started()) return -1;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    int status = 0;
    for (;;) {
        const pid_t got = waitpid(pid_, &status, WNOHANG);
        if (got == pid_) break;
        if (got == -1 || std::chrono::steady_clock::now() > deadline) return -1;
        // A closed terminal answers at once; do not spin on it while the
        // launcher finishes its transcript.
        if (!Pump(100)) std::this_thread::sleep_for(10ms);
    }
    finished_ = true;
    // What the program wrote last may still wait in the terminal.
    while (Pump(50) && Readable()) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Session::Output() const {
    return Replace(raw_, "\r\n", "\n");
}

struct termios Session::Attributes() const {
    struct termios t {};
    tcgetattr(master_, &t);
    return t;
}

bool Session::Readable() const {
    struct pollfd p = {master_, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

bool Session::Pump(int ms) {
    struct pollfd p = {master_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return true;
    char buf[4096];
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) return false;
    raw_.append(buf, static_cast<std::size_t>(n));
    return true;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> TranscriptBytes(const std::string &transcript, const std::string &dir) {
    std::istringstream in(transcript);
    std::vector<std::string> lines;
    const std::string marker = " " + dir + " ";
    for (std::string l; std::getline(in, l);) {
        if (l.empty() || l[0] == '#') continue;
        const std::size_t at = l.find(marker);
        if (at == std::string::npos) continue;
        const std::size_t start = at + marker.size();
        lines.push_back(l.substr(start, l.find(" (", start) - start));
    }
    return lines;
}

std::string BannerAndList(const std::string &modeLine, const std::vector<std::string> &serials) {
    const std::string rule(76, '#');
    std::string listed;
    for (std::size_t i = 0; i < serials.size(); ++i) {
        listed += std::to_string(i + 1) + ") SN=" + serials[i] + " \n";
    }
    return "\n\n" + rule +
           "\n"
           "In Linux, the VCP driver and D2XX driver are incompatible with each other.\n"
           "To correctly execute this application the VCP driver must be unloaded:\n"
           "Execute \"sudo rmmod ftdi_sio\"\n"
           "Execute \"sudo rmmod usbserial\"\n"
           "When the FTDI device is power cycled or reset the VCP driver will be reloaded.\n"
           "The rmmod process must be repeated each time this occurs.\n" +
           rule + "\n\n" + "Quillmark\nTavrin Wiegand Converters Application\n" + modeLine +
           "\n\n\n List of avaiable devices: \n\n" + listed + "\n Choose from (1-" +
           std::to_string(serials.size()) + ") :";
}

}  // namespace e2e
