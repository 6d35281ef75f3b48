// ftdisim-run end to end: a plain libusb program (probe_child) runs under
// the launcher and reaches the simulated chip and converter through the real
// libusb, the scenario's events reach it, unplugs reach its event loop, its
// exit status comes back, and the transcript records the traffic.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using namespace std::chrono_literals;

std::string Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Binaries of the build tree: the tests live in <build>/tests/sim, the
// launcher and the probe in <build>/sim/launcher. FTDISIM_RUN and
// FTDISIM_PROBE_CHILD override.
std::string BuildFile(const char *env, const char *name) {
    if (const char *p = std::getenv(env); p != nullptr && *p != '\0') return p;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return name;
    std::string dir(self, static_cast<size_t>(n));
    dir.erase(dir.rfind('/'));
    return dir + "/../../sim/launcher/" + name;
}

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

class Launcher : public ::testing::Test {
  protected:
    void SetUp() override {
        run_ = BuildFile("FTDISIM_RUN", "ftdisim-run");
        probe_ = BuildFile("FTDISIM_PROBE_CHILD", "probe_child");
        ASSERT_EQ(access(run_.c_str(), X_OK), 0) << run_ << " missing: build ftdisim-run";
        ASSERT_EQ(access(probe_.c_str(), X_OK), 0) << probe_ << " missing: build probe_child";
        char tmpl[] = "/tmp/ftdisim-launcher-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    std::string Path(const std::string &name) const { return dir_ + "/" + name; }

    std::string WriteFile(const std::string &name, const std::string &text) const {
        std::ofstream(Path(name)) << text;
        return Path(name);
    }

    // Starts the launcher with `options`, then "--", then `command`; its
    // output goes to files of the test directory.
    pid_t Start(const std::vector<std::string> &options, const std::vector<std::string> &command) {
        std::vector<std::string> args = {run_};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("--");
        args.insert(args.end(), command.begin(), command.end());
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, Path("stdout").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, Path("stderr").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, run_.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        EXPECT_EQ(rc, 0);
        return rc == 0 ? pid : -1;
    }

    // Waits at most `limit` (a generous bound: only a hung launcher reaches
    // it, and is then killed).
    Result Wait(pid_t pid, std::chrono::seconds limit = 60s) {
        Result r;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int ws = 0;
        while (waitpid(pid, &ws, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &ws, 0);
                ADD_FAILURE() << "launcher did not finish in " << limit.count() << " s";
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        r.out = Slurp(Path("stdout"));
        r.err = Slurp(Path("stderr"));
        return r;
    }

    Result Run(const std::vector<std::string> &options, const std::vector<std::string> &command) {
        const pid_t pid = Start(options, command);
        if (pid < 0) return {};
        return Wait(pid);
    }

    std::vector<std::string> Probe(std::vector<std::string> args) const {
        args.insert(args.begin(), probe_);
        return args;
    }

    // The value of "name=<number>" in the probe's output.
    static std::optional<double> Number(const std::string &out, const std::string &name) {
        const size_t at = out.find(" " + name + "=");
        const size_t start = at == std::string::npos ? out.find(name + "=") : at + 1;
        if (start == std::string::npos) return std::nullopt;
        const char *p = out.c_str() + start + name.size() + 1;
        char *end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p) return std::nullopt;
        return v;
    }

    // Whether the transcript has a line "<seconds>.<milliseconds> <rest>".
    static bool HasStampedLine(const std::string &transcript, const std::string &rest) {
        size_t pos = 0;
        while (pos < transcript.size()) {
            size_t nl = transcript.find('\n', pos);
            if (nl == std::string::npos) nl = transcript.size();
            const std::string line = transcript.substr(pos, nl - pos);
            pos = nl + 1;
            const size_t dot = line.find('.');
            const size_t space = line.find(' ');
            if (dot == std::string::npos || dot == 0 || space != dot + 4) continue;
            const bool digits = line.find_first_not_of("0123456789") == dot &&
                                line.find_first_not_of("0123456789", dot + 1) == space;
            if (digits && line.substr(space + 1) == rest) return true;
        }
        return false;
    }

    std::string run_, probe_, dir_;
};

TEST_F(Launcher, ChildReachesTheConverterThroughRealLibusb) {
    const Result r = Run({"--transcript", Path("t.txt")}, Probe({"reset"}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("reply: 55 55 0A 00 00 0D"), std::string::npos) << r.out;
    const std::string t = Slurp(Path("t.txt"));
    EXPECT_TRUE(HasStampedLine(t, "host->converter 55 55 0A 00 00 0D (reset)")) << t;
    EXPECT_TRUE(HasStampedLine(t, "converter->host 55 55 0A 00 00 0D (reset)")) << t;
    EXPECT_NE(t.find("program exited with status 0"), std::string::npos) << t;
}

TEST_F(Launcher, ExitStatusIsTheChilds) {
    EXPECT_EQ(Run({}, Probe({"exit", "7"})).status, 7);
    EXPECT_EQ(Run({}, Probe({"exit", "0"})).status, 0);
    EXPECT_EQ(Run({}, Probe({"signal", "15"})).status, 128 + SIGTERM);
    EXPECT_EQ(Run({}, Probe({"signal", "9"})).status, 128 + SIGKILL);
    // Any program, found through PATH, with its own options left alone.
    EXPECT_EQ(Run({}, {"sh", "-c", "exit 3"}).status, 3);

    Result r = Run({}, {"no-such-program-here"});
    EXPECT_EQ(r.status, 127);
    EXPECT_NE(r.err.find("no-such-program-here: command not found"), std::string::npos) << r.err;
    r = Run({}, {WriteFile("not-executable", "")});
    EXPECT_EQ(r.status, 126);
    r = Run({"--mode", "sideways"}, Probe({"exit", "0"}));
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(r.err.find("--mode"), std::string::npos) << r.err;
    r = Run({"--family", "FT9999"}, Probe({"exit", "0"}));
    EXPECT_EQ(r.status, 125);
}

TEST_F(Launcher, ScriptedBadgesAndTamperReachTheChild) {
    const std::string script = WriteFile("s.txt",
                                         "# reader events\n"
                                         "0.3 badge 12 345\n"
                                         "0.6 badge 12 345 bad-even\n"
                                         "0.9 tamper on\n"
                                         "1.2 raw 55\n"
                                         "1.3 raw 55 02 00 00 0D\n");
    const Result r = Run({"--mode", "input", "--script", script, "--transcript", Path("t.txt")},
                         Probe({"listen", "2.5"}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("frame: 55 55 01 1A 06 00 AC 80 00 00 00 00 00 00 00 00 00 00 00 0D"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("frame: 55 55 01 1A 86 00 AC 80 00 00 00 00 00 00 00 00 00 00 00 0D"),
              std::string::npos)
        << r.out;
    // The tamper report, then the one split over two writes.
    const size_t on = r.out.find("frame: 55 55 02 FF 00 0D");
    const size_t off = r.out.find("frame: 55 55 02 00 00 0D");
    EXPECT_NE(on, std::string::npos) << r.out;
    EXPECT_NE(off, std::string::npos) << r.out;
    EXPECT_LT(on, off);
    EXPECT_EQ(Number(r.out, "frames"), 4.0);

    const std::string t = Slurp(Path("t.txt"));
    EXPECT_NE(t.find("script line 2: 0.3 badge 12 345"), std::string::npos) << t;
    EXPECT_NE(t.find("(wiegand 26 bits facility 12 badge 345 parity ok)"), std::string::npos);
    EXPECT_NE(t.find("(wiegand 26 bits facility 12 badge 345 even parity wrong)"),
              std::string::npos);
    EXPECT_NE(t.find("converter->host 55 55 02 FF 00 0D (tamper on)"), std::string::npos) << t;
    EXPECT_NE(t.find("converter->host 55 (raw: unframed 1 bytes)"), std::string::npos) << t;
}

TEST_F(Launcher, OutputModeDemoReportsGpioChanges) {
    const Result r = Run({"--demo"}, Probe({"listen", "4.5"}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("frame: 55 55 03 FF 00 0D"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("frame: 55 55 04 FF 00 0D"), std::string::npos) << r.out;
}

TEST_F(Launcher, ScenarioRepeatsAfterRestart) {
    const std::string script = WriteFile("s.txt", "0.2 gpio 0 high\n0.3 gpio 0 low\n0.5 restart\n");
    const Result r =
        Run({"--script", script, "--transcript", Path("t.txt")}, Probe({"listen", "2"}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // Rounds start at 0, 0.5, 1.0 and 1.5 s: at least three whole rounds
    // happen while the probe listens.
    EXPECT_GE(Number(r.out, "frames").value_or(0), 6.0) << r.out;
    const std::string t = Slurp(Path("t.txt"));
    size_t rounds = 0;
    for (size_t p = t.find("script line 1:"); p != std::string::npos;
         p = t.find("script line 1:", p + 1)) {
        ++rounds;
    }
    EXPECT_GE(rounds, 3u) << t;
}

TEST_F(Launcher, SeveralDevicesGetCountedSerialNumbers) {
    Result r =
        Run({"--devices", "3", "--family", "FT2232H", "--serial", "DEV07"}, Probe({"devices"}));
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char *serial : {"DEV07", "DEV08", "DEV09"}) {
        EXPECT_NE(r.out.find(std::string("device 0403:6010 bcd 0700 serial ") + serial),
                  std::string::npos)
            << r.out;
    }
    // Each has its own converter; the transcript names the device.
    r = Run({"--devices", "2", "--serial", "DEV07", "--transcript", Path("t.txt")},
            Probe({"--serial", "DEV08", "reset"}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string t = Slurp(Path("t.txt"));
    EXPECT_NE(t.find(" DEV08 converter->host 55 55 0A 00 00 0D (reset)"), std::string::npos) << t;
    EXPECT_EQ(t.find(" DEV07 host->converter"), std::string::npos) << t;
}

TEST_F(Launcher, UnplugReachesTheChildsEventLoop) {
    Result r = Run({"--unplug-after", "0.5"}, Probe({"unplug", "20"}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("device gone"), std::string::npos) << r.out;
    EXPECT_LT(Number(r.out, "elapsed_ms").value_or(1e9), 15000.0) << r.out;

    const std::string script = WriteFile("s.txt", "0.5 unplug\n");
    r = Run({"--script", script, "--transcript", Path("t.txt")}, Probe({"unplug", "20"}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(Slurp(Path("t.txt")).find("script line 1: 0.5 unplug"), std::string::npos);
}

TEST_F(Launcher, IdleEventLoopDoesNotSpin) {
    // No transfer in flight: libusb's poll() must sleep.
    Result r = Run({}, Probe({"idle", "3"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::optional<double> idle = Number(r.out, "cpu_percent");
    ASSERT_TRUE(idle.has_value()) << r.out;
    // One bulk-IN transfer kept in flight: the chip answers it once per
    // latency period (16 ms), as a real one does.
    r = Run({}, Probe({"listen", "3"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::optional<double> listening = Number(r.out, "cpu_percent");
    ASSERT_TRUE(listening.has_value()) << r.out;
    std::cout << "[ measured ] child CPU, idle event loop: " << *idle
              << " %; with one bulk-IN transfer in flight: " << *listening << " % of one core\n";
    RecordProperty("idle_cpu_percent", std::to_string(*idle));
    RecordProperty("listening_cpu_percent", std::to_string(*listening));
    // A spin detector, not a speed goal: a spinning loop takes a whole core.
    EXPECT_LT(*idle, 30.0);
    EXPECT_LT(*listening, 30.0);
    EXPECT_GT(Number(r.out, "completions").value_or(0), 10.0) << "status packets expected";
}

TEST_F(Launcher, TerminalSignalsAreLeftToTheChildAndSigtermIsForwarded) {
    const pid_t pid = Start({"--transcript", Path("t.txt")}, Probe({"listen", "60"}));
    ASSERT_GT(pid, 0);
    // Wait until the child runs.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (Slurp(Path("t.txt")).find("starting") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    // SIGINT and SIGQUIT sent to the launcher alone change nothing.
    kill(pid, SIGINT);
    kill(pid, SIGQUIT);
    std::this_thread::sleep_for(300ms);
    int ws = 0;
    EXPECT_EQ(waitpid(pid, &ws, WNOHANG), 0) << "the launcher died of a terminal signal";
    // SIGTERM ends the child, and the launcher reports how.
    kill(pid, SIGTERM);
    const Result r = Wait(pid, 30s);
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_NE(Slurp(Path("t.txt")).find("program killed by signal 15"), std::string::npos);
}

TEST_F(Launcher, BadScriptsStopTheLaunchBeforeTheProgramRuns) {
    const std::string marker = Path("ran");
    const std::string script = WriteFile("s.txt", "1 badge 1 2\n2 gpio 0 high\n");
    Result r = Run({"--mode", "input", "--script", script}, {"touch", marker});
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(r.err.find("line 2: 'gpio' needs a converter in output mode"), std::string::npos)
        << r.err;
    r = Run({"--script", Path("missing.txt")}, {"touch", marker});
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the program ran";
}

TEST_F(Launcher, WrongLineSettingsGarbleTheLink) {
    // 19200 baud: the converter hears garbage and does not answer.
    const Result r = Run({"--transcript", Path("t.txt")}, Probe({"--divisor", "809C", "reset"}));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const std::string t = Slurp(Path("t.txt"));
    EXPECT_NE(t.find("(garbled: line at 19200 8N1)"), std::string::npos) << t;
    EXPECT_EQ(t.find("converter->host"), std::string::npos) << t;
}

TEST_F(Launcher, KernelDriverMakesTheClaimFail) {
    const Result r = Run({"--kernel-driver"}, Probe({"reset"}));
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("cannot claim interface 0"), std::string::npos) << r.err;
}

}  // namespace
