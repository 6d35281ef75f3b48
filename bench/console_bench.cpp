// What the console programs cost while they wait for a key, and how fast a key
// press becomes a frame at the converter, each against a minimal program on
// the same simulated chip, measured in the same run.
//
//   bench_console [idle-seconds [presses]]   (default 10 and 20)
//
// Every program runs under ftdisim-run on a pseudo-terminal, as a user runs
// it. The launcher, with the simulated chip and converter, is a process of its
// own: the CPU figures are the program's process alone (the launcher's are
// shown beside them).
//
// Idle: after the device is chosen (wg_output, wg_input) or set up
// (idle_baseline: the same open and 9600 8N1, then sleep), the process's
// utime+stime from /proc/<pid>/stat over the window, and, finer grained, the
// sum of its threads' run time from /proc/<pid>/task/*/schedstat.
//
// Key press: 'T' (the tamper frame 55 55 02 FF 00 0D) written into the
// terminal, timed on this process's monotonic clock up to
//   - the launcher's transcript line for the frame reaching the file, seen
//     through inotify. The launcher writes and flushes that line from the
//     converter's receive call, so this bounds the frame's arrival at the
//     converter from above. The transcript's own stamps are not used: they
//     count milliseconds from the launcher's start, which is not visible here;
//   - "  Ok" showing on the terminal (FT_Write has returned).
// The floor is key_baseline, which blocks in read(2) on the terminal and
// writes the frame with one FT_Write.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Generous: the simulated chip runs under umockdev on a shared machine.
constexpr auto kPatience = 60s;
// Longest wait for one key press to show both of its effects.
constexpr auto kPressPatience = 5s;
// Left to the program after it is ready, before a window opens.
constexpr auto kSettle = 500ms;

const std::string kSerial = "TWC00001";
const std::string kTamperFrame = "host->converter 55 55 02 FF 00 0D";
const std::string kTamperOk = "Set Tamper  Ok";

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Owns a file descriptor.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ != -1) close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

class TempFile {
  public:
    TempFile() {
        char name[] = "/tmp/bench-console-XXXXXX";
        const int fd = mkstemp(name);
        if (fd != -1) {
            close(fd);
            path_ = name;
        }
    }
    ~TempFile() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// The fields of /proc/<pid>/stat this benchmark needs.
struct ProcStat {
    pid_t ppid = 0;
    unsigned long long ticks = 0;  // utime + stime
};

std::optional<ProcStat> ReadStat(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return std::nullopt;
    // The command name may hold blanks and parentheses: fields count from the
    // last ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 2));
    std::vector<std::string> f;
    for (std::string w; fields >> w;) f.push_back(w);
    // f[0] is field 3 (state); ppid is field 4, utime 14, stime 15.
    if (f.size() < 13) return std::nullopt;
    ProcStat s;
    s.ppid = static_cast<pid_t>(std::stol(f[1]));
    s.ticks = std::stoull(f[11]) + std::stoull(f[12]);
    return s;
}

// Run time of every live thread of `pid`, in nanoseconds.
unsigned long long SchedNs(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    unsigned long long total = 0;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return 0;
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + e->d_name + "/schedstat");
        unsigned long long ns = 0;
        if (in >> ns) total += ns;
    }
    closedir(d);
    return total;
}

// The program the launcher started: its only child.
pid_t ChildOf(pid_t parent) {
    DIR *d = opendir("/proc");
    if (d == nullptr) return -1;
    pid_t found = -1;
    while (const dirent *e = readdir(d)) {
        char *end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0') continue;
        const std::optional<ProcStat> s = ReadStat(static_cast<pid_t>(pid));
        if (s && s->ppid == parent) {
            found = static_cast<pid_t>(pid);
            break;
        }
    }
    closedir(d);
    return found;
}

// One program run under the launcher on a pseudo-terminal.
class Session {
  public:
    explicit Session(const std::vector<std::string> &launcherArgs) {
        std::vector<std::string> argv = {FTDISIM_RUN};
        argv.insert(argv.end(), launcherArgs.begin(), launcherArgs.end());
        std::vector<char *> cargv;
        for (std::string &a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            execv(cargv[0], cargv.data());
            _exit(127);
        }
    }
    ~Session() {
        if (pid_ > 0 && !finished_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ != -1) close(master_);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    bool Started() const { return pid_ > 0 && master_ != -1; }
    pid_t Launcher() const { return pid_; }
    int Terminal() const { return master_; }

    // Reads what the terminal has within `ms`; false once it has closed.
    bool Pump(int ms) {
        struct pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return true;
        char buf[4096];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return false;
        shown_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    // Whether `text` has shown since the previous match; moves past it.
    bool Consume(const std::string &text) {
        const std::size_t at = shown_.find(text, cursor_);
        if (at == std::string::npos) return false;
        cursor_ = at + text.size();
        return true;
    }

    bool WaitFor(const std::string &text) {
        const auto deadline = Clock::now() + kPatience;
        while (!Consume(text)) {
            if (Clock::now() > deadline || !Pump(100)) return false;
        }
        return true;
    }

    // Keeps the terminal drained for `d`.
    void Idle(Clock::duration d) {
        const auto until = Clock::now() + d;
        for (auto now = Clock::now(); now < until; now = Clock::now()) {
            const int ms = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count());
            if (!Pump(std::max(ms, 1))) std::this_thread::sleep_until(until);
        }
    }

    bool Type(std::string_view keys) {
        return write(master_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    }

    // Waits for the launcher to end; its exit status, or -1 when it had to be
    // killed.
    int Finish() {
        const auto deadline = Clock::now() + kPatience;
        while (Clock::now() < deadline && Pump(100)) {
        }
        // The terminal closes as the last process lets it go, a moment before
        // the launcher can be reaped.
        int status = 0;
        pid_t reaped;
        while ((reaped = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        finished_ = true;
        if (reaped != pid_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    const std::string &Shown() const { return shown_; }

  private:
    pid_t pid_ = -1;
    int master_ = -1;
    bool finished_ = false;
    std::size_t cursor_ = 0;
    std::string shown_;
};

// How a program under test is started and told to stop.
struct Subject {
    std::string name;
    std::string mode;                  // the converter's
    std::vector<std::string> command;  // program and arguments
    bool console = false;              // wg_output/wg_input: choose, then 'x'
    std::string ready = "ready";       // shown once the device is set up
};

// Brings the program to its idle state: device chosen or set up.
bool BringUp(Session &s, const Subject &subject) {
    if (!s.Started()) return false;
    if (subject.console) {
        if (!s.WaitFor("Choose from (1-1) :") || !s.Type("1\n")) return false;
        return s.WaitFor("Press 'x' or 'X' to exit");
    }
    return s.WaitFor(subject.ready);
}

struct IdleResult {
    bool ok = false;
    double programStat = 0;   // % of one core, from utime+stime
    double programSched = 0;  // % of one core, from schedstat
    double launcherStat = 0;
};

IdleResult MeasureIdle(const Subject &subject, Clock::duration window) {
    IdleResult r;
    std::vector<std::string> args = {"-m", subject.mode, "--"};
    args.insert(args.end(), subject.command.begin(), subject.command.end());
    Session s(args);
    if (!BringUp(s, subject)) {
        std::fprintf(stderr, "%s did not come up:\n%s\n", subject.name.c_str(), s.Shown().c_str());
        return r;
    }
    const pid_t program = ChildOf(s.Launcher());
    if (program <= 0) {
        std::fprintf(stderr, "%s: no program process under the launcher\n", subject.name.c_str());
        return r;
    }
    s.Idle(kSettle);

    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    const std::optional<ProcStat> p0 = ReadStat(program);
    const std::optional<ProcStat> l0 = ReadStat(s.Launcher());
    const unsigned long long n0 = SchedNs(program);
    const auto t0 = Clock::now();
    s.Idle(window);
    const std::optional<ProcStat> p1 = ReadStat(program);
    const std::optional<ProcStat> l1 = ReadStat(s.Launcher());
    const unsigned long long n1 = SchedNs(program);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();

    if (subject.console) s.Type("x");
    const int status = s.Finish();
    if (!p0 || !p1 || !l0 || !l1 || status != 0) {
        std::fprintf(stderr, "%s: measurement failed (exit status %d)\n", subject.name.c_str(),
                     status);
        return r;
    }
    r.programStat = 100.0 * static_cast<double>(p1->ticks - p0->ticks) / tick / seconds;
    r.launcherStat = 100.0 * static_cast<double>(l1->ticks - l0->ticks) / tick / seconds;
    r.programSched = 100.0 * static_cast<double>(n1 - n0) / 1e9 / seconds;
    r.ok = true;
    return r;
}

struct KeyResult {
    bool ok = false;
    std::vector<double> toConverter;  // ms
    std::vector<double> toOk;         // ms
};

// Appends what was added to the transcript since the last call.
void ReadAppended(int fd, std::string &into) {
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
        into.append(buf, static_cast<std::size_t>(n));
    }
}

// Whether a complete transcript line in `pending` records the tamper frame;
// drops what it has looked at.
bool TakeTamperLine(std::string &pending) {
    for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
        // Notes start with '#'; a scenario note may quote bytes too.
        const bool found =
            pending[0] != '#' && pending.substr(0, eol).find(kTamperFrame) != std::string::npos;
        pending.erase(0, eol + 1);
        if (found) return true;
    }
    return false;
}

KeyResult MeasureKeys(const Subject &subject, int presses) {
    KeyResult r;
    TempFile transcript;
    if (transcript.path().empty()) return r;
    std::vector<std::string> args = {"-m", subject.mode, "-t", transcript.path(), "--"};
    args.insert(args.end(), subject.command.begin(), subject.command.end());
    Session s(args);
    if (!BringUp(s, subject)) {
        std::fprintf(stderr, "%s did not come up:\n%s\n", subject.name.c_str(), s.Shown().c_str());
        return r;
    }
    const Fd notify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    const Fd file(open(transcript.path().c_str(), O_RDONLY | O_CLOEXEC));
    if (notify.get() == -1 || file.get() == -1 ||
        inotify_add_watch(notify.get(), transcript.path().c_str(), IN_MODIFY) == -1) {
        std::perror("transcript");
        return r;
    }
    s.Idle(kSettle);
    std::string pending;
    ReadAppended(file.get(), pending);
    pending.clear();

    unsigned jitter = 12345;
    for (int i = 0; i < presses; ++i) {
        // Presses come at uneven gaps, so none falls in step with the
        // program's or the chip's periodic work.
        jitter = jitter * 1103515245u + 12345u;
        s.Idle(100ms + std::chrono::milliseconds((jitter >> 16) % 100));

        std::optional<Clock::time_point> atConverter;
        std::optional<Clock::time_point> atOk;
        const auto pressed = Clock::now();
        if (!s.Type("T")) break;
        const auto deadline = pressed + kPressPatience;
        while ((!atConverter || !atOk) && Clock::now() < deadline) {
            struct pollfd p[2] = {{s.Terminal(), POLLIN, 0}, {notify.get(), POLLIN, 0}};
            if (poll(p, 2, 100) <= 0) continue;
            const auto now = Clock::now();
            if ((p[0].revents & (POLLIN | POLLHUP)) != 0) {
                if (!s.Pump(0)) break;
                if (!atOk && s.Consume(kTamperOk)) atOk = now;
            }
            if ((p[1].revents & POLLIN) != 0) {
                char events[4096];
                while (read(notify.get(), events, sizeof events) > 0) {
                }
                ReadAppended(file.get(), pending);
                if (!atConverter && TakeTamperLine(pending)) atConverter = now;
            }
        }
        if (!atConverter || !atOk) {
            std::fprintf(stderr, "%s: press %d: %s\n", subject.name.c_str(), i + 1,
                         atOk ? "the frame never reached the converter" : "\"  Ok\" never showed");
            return r;
        }
        r.toConverter.push_back(Ms(*atConverter - pressed));
        r.toOk.push_back(Ms(*atOk - pressed));
    }
    // Both wg_output and key_baseline exit on 'x'.
    s.Type("x");
    const int status = s.Finish();
    if (status != 0) {
        std::fprintf(stderr, "%s: exit status %d\n", subject.name.c_str(), status);
        return r;
    }
    r.ok = static_cast<int>(r.toOk.size()) == presses;
    return r;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Max(const std::vector<double> &v) {
    return *std::max_element(v.begin(), v.end());
}

double Ratio(double ours, double floor) {
    return floor > 0 ? ours / floor : 0;
}

}  // namespace

int main(int argc, char **argv) {
    const double idleSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int presses = argc > 2 ? std::atoi(argv[2]) : 20;
    if (idleSeconds <= 0 || presses <= 0) {
        std::fprintf(stderr, "usage: %s [idle-seconds [presses]]\n", argv[0]);
        return 2;
    }
    const auto window =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(idleSeconds));
    // The floor sleeps through the settling time and the window, then closes.
    const std::string floorSleep = std::to_string(idleSeconds + 1.5);

    const Subject idleFloor{"idle_baseline", "output", {IDLE_BASELINE, kSerial, floorSleep}};
    const Subject output{"wg_output", "output", {WG_OUTPUT}, true};
    const Subject input{"wg_input", "input", {WG_INPUT}, true};
    const Subject keyFloor{"key_baseline", "output", {KEY_BASELINE, kSerial}};

    std::printf("Idle CPU over %.1f s after the device is set up (%% of one core)\n", idleSeconds);
    std::printf("  %-24s %12s %16s %22s\n", "program", "utime+stime", "thread run time",
                "launcher (sim. chip)");
    bool ok = true;
    IdleResult idle[3];
    const Subject *idleSubjects[3] = {&idleFloor, &output, &input};
    for (int i = 0; i < 3; ++i) {
        idle[i] = MeasureIdle(*idleSubjects[i], window);
        ok = ok && idle[i].ok;
        if (!idle[i].ok) continue;
        std::printf("  %-24s %10.2f %% %14.3f %% %20.2f %%\n",
                    (idleSubjects[i]->name + (i == 0 ? " (floor)" : "")).c_str(),
                    idle[i].programStat, idle[i].programSched, idle[i].launcherStat);
        std::fflush(stdout);
    }
    if (ok) {
        for (int i = 1; i < 3; ++i) {
            std::printf("  %-24s %10.1fx %14.1fx\n", (idleSubjects[i]->name + " / floor").c_str(),
                        Ratio(idle[i].programStat, idle[0].programStat),
                        Ratio(idle[i].programSched, idle[0].programSched));
        }
    }

    std::printf(
        "\nKey 'T' to the tamper frame 55 55 02 FF 00 0D, %d presses (ms from the key's write "
        "into the terminal)\n",
        presses);
    std::printf("  %-24s %26s %26s\n", "", "frame at the converter", "\"  Ok\" on the terminal");
    std::printf("  %-24s %12s %12s  %12s %12s\n", "program", "median", "max", "median", "max");
    const KeyResult floorKeys = MeasureKeys(keyFloor, presses);
    const KeyResult ourKeys = MeasureKeys(output, presses);
    ok = ok && floorKeys.ok && ourKeys.ok;
    const std::pair<const char *, const KeyResult *> rows[] = {{"key_baseline (floor)", &floorKeys},
                                                               {"wg_output", &ourKeys}};
    for (const auto &[name, k] : rows) {
        if (!k->ok) continue;
        std::printf("  %-24s %12.3f %12.3f  %12.3f %12.3f\n", name, Median(k->toConverter),
                    Max(k->toConverter), Median(k->toOk), Max(k->toOk));
    }
    if (floorKeys.ok && ourKeys.ok) {
        std::printf("  %-24s %11.2fx %11.2fx  %11.2fx %11.2fx\n", "wg_output / floor",
                    Ratio(Median(ourKeys.toConverter), Median(floorKeys.toConverter)),
                    Ratio(Max(ourKeys.toConverter), Max(floorKeys.toConverter)),
                    Ratio(Median(ourKeys.toOk), Median(floorKeys.toOk)),
                    Ratio(Max(ourKeys.toOk), Max(floorKeys.toOk)));
    }
    std::printf(
        "\n\"Frame at the converter\" is when the launcher's transcript line for the frame,\n"
        "written from the converter's receive call, reached the file (an upper bound).\n");
    return ok ? 0 : 1;
}
