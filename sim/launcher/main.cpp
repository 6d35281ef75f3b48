// ftdisim-run: runs a program against simulated FTDI chips with a Tavrin
// Wiegand converter wired to each, on the caller's terminal; a JTAG chain,
// an SPI flash or outside pin levels may be wired to the chips' pins.
//
//   ftdisim-run [options] -- program [args...]
//
// The launcher owns the simulation (umockdev testbed, chips, converters,
// scenario) and starts the program as its child with what the child needs
// to reach the simulated chips through the real libusb: umockdev's preload,
// the event-loop shim and the shim's inherited descriptors. The child stays
// in the launcher's process group, so it keeps the terminal's foreground and
// gets the keys; the launcher ignores the terminal's SIGINT, SIGQUIT and
// SIGTSTP (the child gets them itself), stops itself when the child has
// stopped (so a shell sees the job stop only once the child has), forwards
// SIGTERM and SIGHUP to the child, and exits with the child's status (128 +
// signal number when it was killed).
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "converter/converter_script.h"
#include "demo_scripts.h"
#include "ftdisim.h"
#include "script_runner.h"
#include "transcript.h"

namespace ftdisim {
namespace {

constexpr const char kProgram[] = "ftdisim-run";
// Exit statuses of the launcher itself (as env(1) and timeout(1) use them).
constexpr int kSetupFailure = 125;
constexpr int kCannotExecute = 126;
constexpr int kNotFound = 127;
constexpr int kMaxDevices = 16;
// The longest text a USB string descriptor holds.
constexpr size_t kMaxSerial = 126;

// The child being waited for; read by the signal handler.
std::atomic<pid_t> g_child{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

extern "C" void ForwardSignal(int sig) {
    const pid_t child = g_child.load();
    if (child > 0) kill(child, sig);
}

struct Options {
    std::string family = "FT232R";
    std::string serial = "TWC00001";
    int devices = 1;
    ConverterMode mode = ConverterMode::kOutput;
    std::optional<std::string> script_file;
    bool demo = false;
    std::optional<std::string> transcript_file;
    std::optional<std::string> control_file;
    std::optional<std::chrono::milliseconds> unplug_after;
    bool kernel_driver = false;
    bool verbose = false;
    // Pin devices, each on an interface (0-based).
    std::optional<std::vector<JtagTapSpec>> jtag;
    int jtag_interface = 0;
    std::optional<uint32_t> spi_flash;
    int spi_interface = 0;
    std::optional<std::string> spi_image;
    std::vector<std::pair<int, uint8_t>> pins;  // interface, outside levels
    std::vector<char *> command;                // program and its arguments
};

void Usage(std::FILE *out) {
    std::fprintf(out,
                 "Usage: %s [options] -- program [args...]\n"
                 "Runs a program against simulated FTDI USB serial chips, each wired to a\n"
                 "simulated Tavrin Wiegand converter.\n"
                 "\n"
                 "  -f, --family NAME       chip family (default FT232R; see --list-families)\n"
                 "  -s, --serial TEXT       serial number (default TWC00001); with several\n"
                 "                          devices its trailing number counts up\n"
                 "  -n, --devices N         number of chips, 1 to %d (default 1)\n"
                 "  -m, --mode output|input converter mode (default output)\n"
                 "      --script FILE       play the scenario in FILE while the program runs\n"
                 "      --demo              play the built-in scenario for the mode\n"
                 "      --control FIFO      play each action line written to the named pipe\n"
                 "                          FIFO at once (scenario lines without the time)\n"
                 "  -t, --transcript FILE   write every frame in both directions to FILE\n"
                 "      --unplug-after SEC  unplug every device SEC seconds after the start\n"
                 "      --kernel-driver     a kernel driver holds interface 0 (claims fail)\n"
                 "      --jtag IDS[@I]      a JTAG chain on the MPSSE JTAG pins: IDCODEs nearest\n"
                 "                          TDO first, each with an optional :IRLEN (default 4),\n"
                 "                          e.g. 0x4BA00477,0x06413041:5; @I the interface\n"
                 "                          letter (default A)\n"
                 "      --spi-flash ID[@I]  an SPI flash with this JEDEC ID (e.g. 0xEF4018) on\n"
                 "                          the MPSSE SPI pins, CS on pin 3\n"
                 "      --spi-flash-image FILE  the flash's contents from address 0\n"
                 "      --pins LEVELS[@I]   levels of the low-byte pins nothing drives\n"
                 "                          (default 0xFF, pulled up)\n"
                 "      --list-families     print the chip families and exit\n"
                 "  -v, --verbose           describe the simulated devices on stderr\n"
                 "  -h, --help              print this help and exit\n"
                 "\n"
                 "Exit status: the program's, 128+N if signal N killed it, %d when the\n"
                 "simulation could not be set up, %d/%d when the program could not be run.\n",
                 kProgram, kMaxDevices, kSetupFailure, kCannotExecute, kNotFound);
}

// A failure to set up the simulation; reported by main, after the
// simulation built so far has been taken down.
struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string &message) {
    throw SetupError(message);
}

// umockdev redirects device and sysfs access only in processes that run
// with its preload library; the simulation must live in such a process.
void StartUnderUmockdev(char **argv) {
    // AddressSanitizer would otherwise refuse to start behind the preload;
    // ThreadSanitizer needs to know about glib's and umockdev's own races.
    const char *asan = std::getenv("ASAN_OPTIONS");
    if (asan == nullptr || std::strstr(asan, "verify_asan_link_order") == nullptr) {
        std::string opts = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
        setenv("ASAN_OPTIONS", (opts + "verify_asan_link_order=0").c_str(), 1);
    }
#if defined(__SANITIZE_THREAD__) && defined(FTDISIM_TSAN_SUPPRESSIONS)
    const char *tsan = std::getenv("TSAN_OPTIONS");
    if (tsan == nullptr || std::strstr(tsan, "suppressions=") == nullptr) {
        std::string opts = tsan != nullptr && *tsan != '\0' ? std::string(tsan) + ":" : "";
        setenv("TSAN_OPTIONS", (opts + "suppressions=" FTDISIM_TSAN_SUPPRESSIONS).c_str(), 1);
    }
#endif
    if (!EnsureUmockdevPreload(argv)) Fail("cannot re-execute with umockdev's preload");
}

bool ParseInt(const char *s, int lo, int hi, int *out) {
    const char *end = s + std::strlen(s);
    int v = 0;
    const auto [p, ec] = std::from_chars(s, end, v);
    if (ec != std::errc() || p != end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// "VALUE@B" -> "VALUE" with interface 1; without '@', interface 0.
std::string Placed(const char *arg, const char *option, int *iface) {
    std::string text = arg;
    const size_t at = text.rfind('@');
    *iface = 0;
    if (at == std::string::npos) return text;
    const std::string letter = text.substr(at + 1);
    if (letter.size() != 1 || std::toupper(static_cast<unsigned char>(letter[0])) < 'A' ||
        std::toupper(static_cast<unsigned char>(letter[0])) > 'H') {
        Fail(std::string(option) + ": '@" + letter + "' is not an interface letter A to H");
    }
    *iface = std::toupper(static_cast<unsigned char>(letter[0])) - 'A';
    return text.substr(0, at);
}

uint32_t ParseByteValue(const std::string &text, uint32_t max, const char *what) {
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || v > max || text[0] == '-') Fail(what);
    return static_cast<uint32_t>(v);
}

Options ParseOptions(int argc, char **argv) {
    enum {
        kScript = 256,
        kDemo,
        kControl,
        kUnplugAfter,
        kKernelDriver,
        kListFamilies,
        kJtag,
        kSpiFlash,
        kSpiImage,
        kPins
    };
    static const option kLong[] = {
        {"family", required_argument, nullptr, 'f'},
        {"serial", required_argument, nullptr, 's'},
        {"devices", required_argument, nullptr, 'n'},
        {"mode", required_argument, nullptr, 'm'},
        {"script", required_argument, nullptr, kScript},
        {"demo", no_argument, nullptr, kDemo},
        {"control", required_argument, nullptr, kControl},
        {"transcript", required_argument, nullptr, 't'},
        {"unplug-after", required_argument, nullptr, kUnplugAfter},
        {"kernel-driver", no_argument, nullptr, kKernelDriver},
        {"list-families", no_argument, nullptr, kListFamilies},
        {"jtag", required_argument, nullptr, kJtag},
        {"spi-flash", required_argument, nullptr, kSpiFlash},
        {"spi-flash-image", required_argument, nullptr, kSpiImage},
        {"pins", required_argument, nullptr, kPins},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    int c;
    // '+': stop at the program's name, so its own options stay its own.
    while ((c = getopt_long(argc, argv, "+f:s:n:m:t:vh", kLong, nullptr)) != -1) {
        switch (c) {
            case 'f':
                o.family = optarg;
                break;
            case 's':
                o.serial = optarg;
                if (o.serial.empty() || o.serial.size() > kMaxSerial) {
                    Fail("--serial: 1 to " + std::to_string(kMaxSerial) + " characters");
                }
                break;
            case 'n':
                if (!ParseInt(optarg, 1, kMaxDevices, &o.devices)) {
                    Fail("--devices: a number from 1 to " + std::to_string(kMaxDevices));
                }
                break;
            case 'm':
                if (std::strcmp(optarg, "output") == 0) {
                    o.mode = ConverterMode::kOutput;
                } else if (std::strcmp(optarg, "input") == 0) {
                    o.mode = ConverterMode::kInput;
                } else {
                    Fail("--mode: 'output' or 'input'");
                }
                break;
            case kScript:
                o.script_file = optarg;
                break;
            case kDemo:
                o.demo = true;
                break;
            case kControl:
                o.control_file = optarg;
                break;
            case 't':
                o.transcript_file = optarg;
                break;
            case kUnplugAfter: {
                char *end = nullptr;
                const double s = std::strtod(optarg, &end);
                if (end == optarg || *end != '\0' || !std::isfinite(s) || s < 0 || s > 1e6) {
                    Fail("--unplug-after: a number of seconds");
                }
                o.unplug_after = std::chrono::milliseconds(std::llround(s * 1000));
                break;
            }
            case kKernelDriver:
                o.kernel_driver = true;
                break;
            case kJtag: {
                std::string error;
                const std::string text = Placed(optarg, "--jtag", &o.jtag_interface);
                o.jtag = JtagChain::Parse(text, &error);
                if (!o.jtag) Fail("--jtag: " + error);
                break;
            }
            case kSpiFlash:
                o.spi_flash = ParseByteValue(Placed(optarg, "--spi-flash", &o.spi_interface),
                                             0xFFFFFF, "--spi-flash: a JEDEC ID of 3 bytes");
                break;
            case kSpiImage:
                o.spi_image = optarg;
                break;
            case kPins: {
                int iface = 0;
                const uint32_t v = ParseByteValue(Placed(optarg, "--pins", &iface), 0xFF,
                                                  "--pins: a byte of pin levels");
                o.pins.emplace_back(iface, static_cast<uint8_t>(v));
                break;
            }
            case kListFamilies:
                for (const std::string &name : ChipSpec::FamilyNames()) std::puts(name.c_str());
                std::puts("raw:0xNNNN");
                std::exit(0);
            case 'v':
                o.verbose = true;
                break;
            case 'h':
                Usage(stdout);
                std::exit(0);
            default:
                Usage(stderr);
                std::exit(kSetupFailure);
        }
    }
    if (o.script_file && o.demo) Fail("--script and --demo exclude each other");
    if (o.spi_image && !o.spi_flash) Fail("--spi-flash-image needs --spi-flash");
    if (o.jtag && o.spi_flash && o.jtag_interface == o.spi_interface) {
        Fail("--jtag and --spi-flash share pins 0-3: put them on different interfaces");
    }
    if (optind >= argc) {
        Usage(stderr);
        std::exit(kSetupFailure);
    }
    o.command.assign(argv + optind, argv + argc);
    o.command.push_back(nullptr);
    return o;
}

// Serial number of device `index` (0-based): the base for one device; with
// several, the base's trailing number counted up (keeping its width), or a
// number appended.
std::string SerialFor(const std::string &base, int index, int count) {
    if (count == 1) return base;
    size_t digits = base.size();
    while (digits > 0 && base[digits - 1] >= '0' && base[digits - 1] <= '9') --digits;
    const std::string stem = base.substr(0, digits);
    const std::string number = base.substr(digits);
    if (number.empty() || number.size() > 9) return base + std::to_string(index + 1);
    std::string n = std::to_string(std::stoul(number) + static_cast<unsigned long>(index));
    if (n.size() < number.size()) n.insert(0, number.size() - n.size(), '0');
    return stem + n;
}

ConverterScript LoadScript(const Options &o) {
    std::string text;
    std::string origin;
    if (o.script_file) {
        std::ifstream in(*o.script_file, std::ios::binary);
        if (!in) Fail("cannot read script " + *o.script_file + ": " + std::strerror(errno));
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        origin = *o.script_file;
    } else if (o.demo) {
        text = o.mode == ConverterMode::kInput ? kDemoInputScript : kDemoOutputScript;
        origin = "demo scenario";
    }
    ConverterScript script;
    std::string error;
    if (!ParseConverterScript(text, o.mode, o.devices, &script, &error)) {
        Fail(origin + ": " + error);
    }
    return script;
}

// The program's path as execve needs it, found through PATH in the parent
// (searching after fork would not be async-signal-safe).
std::optional<std::string> FindProgram(const char *name) {
    if (std::strchr(name, '/') != nullptr) return std::string(name);
    const char *path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const size_t colon = dirs.find(':');
        const std::string_view entry = dirs.substr(0, colon);
        const std::string dir(entry.empty() ? std::string_view(".") : entry);
        const std::string candidate = dir + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (colon == std::string_view::npos) return std::nullopt;
        dirs.remove_prefix(colon + 1);
    }
}

// Wires the pin devices the options ask for to one chip.
void WirePins(const Options &o, Chip &chip, const std::vector<uint8_t> &image,
              std::vector<std::unique_ptr<PinDevice>> &owned) {
    for (const auto &[iface, levels] : o.pins) chip.If(iface).SetPins(levels);
    if (o.jtag) {
        owned.push_back(std::make_unique<JtagChain>(*o.jtag));
        chip.If(o.jtag_interface).AttachPins(owned.back().get());
    }
    if (o.spi_flash) {
        auto flash = std::make_unique<SpiFlash>(*o.spi_flash);
        flash->Load(0, std::span(image.data(), std::min(image.size(), flash->Size())));
        chip.If(o.spi_interface).AttachPins(flash.get());
        owned.push_back(std::move(flash));
    }
    if (o.verbose) {
        if (o.jtag) {
            std::fprintf(stderr, "%s: JTAG chain of %zu TAPs on interface %c\n", kProgram,
                         o.jtag->size(), 'A' + o.jtag_interface);
        }
        if (o.spi_flash) {
            std::fprintf(stderr, "%s: SPI flash %06X on interface %c\n", kProgram, *o.spi_flash,
                         'A' + o.spi_interface);
        }
    }
}

int StatusOf(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return kSetupFailure;
}

int Run(int argc, char **argv) {
    // Before any thread exists: SIGTERM and SIGHUP stay blocked in every
    // thread; the main one takes them and forwards them once the child runs.
    sigset_t forwarded;
    sigemptyset(&forwarded);
    sigaddset(&forwarded, SIGTERM);
    sigaddset(&forwarded, SIGHUP);
    sigset_t original;
    pthread_sigmask(SIG_BLOCK, &forwarded, &original);

    const Options o = ParseOptions(argc, argv);
    const std::optional<ChipSpec> base_spec = ChipSpec::ByName(o.family);
    if (!base_spec) Fail("--family: unknown family '" + o.family + "' (see --list-families)");
    const ConverterScript script = LoadScript(o);
    const std::optional<std::string> program = FindProgram(o.command[0]);
    if (!program) {
        std::fprintf(stderr, "%s: %s: command not found\n", kProgram, o.command[0]);
        return kNotFound;
    }
    // Opened for writing too, so that it never reads end of file between two
    // writers, and without blocking until one comes.
    int control_fd = -1;
    if (o.control_file) {
        control_fd = open(o.control_file->c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        struct stat st;
        if (control_fd == -1 || fstat(control_fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
            if (control_fd != -1) close(control_fd);
            Fail("--control: " + *o.control_file + " is not a named pipe (see mkfifo)");
        }
    }
    std::FILE *transcript_file = nullptr;
    if (o.transcript_file) {
        transcript_file = std::fopen(o.transcript_file->c_str(), "we");
        if (transcript_file == nullptr) {
            Fail("cannot write transcript " + *o.transcript_file + ": " + std::strerror(errno));
        }
    }

    // Destroyed in reverse: the runner stops first, then the chips go (and
    // detach their converters), then the converters, then the transcript
    // their observers write to.
    std::optional<Transcript> transcript;
    std::vector<SimDevice> devices;
    std::vector<std::unique_ptr<PinDevice>> pin_devices;  // wired to the chips' pins
    std::unique_ptr<Testbed> testbed;
    std::optional<ScriptRunner> runner;
    const auto start = std::chrono::steady_clock::now();
    transcript.emplace(transcript_file, start, o.devices > 1);

    std::vector<uint8_t> image;
    if (o.spi_image) {
        std::ifstream in(*o.spi_image, std::ios::binary);
        if (!in) Fail("cannot read " + *o.spi_image + ": " + std::strerror(errno));
        image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (const auto &[iface, levels] : o.pins) {
        if (iface >= base_spec->interfaces) Fail("--pins: the chip has no such interface");
    }
    if ((o.jtag && o.jtag_interface >= base_spec->interfaces) ||
        (o.spi_flash && o.spi_interface >= base_spec->interfaces)) {
        Fail("--jtag/--spi-flash: the chip has no such interface");
    }

    std::vector<std::string> env_strings;
    ChildEnvironment child_env;
    try {
        testbed = std::make_unique<Testbed>();
        for (int i = 0; i < o.devices; ++i) {
            ChipSpec spec = *base_spec;
            SimDevice d;
            d.serial = SerialFor(o.serial, i, o.devices);
            if (spec.serial) spec.serial = d.serial;
            d.chip = &testbed->AddChip(spec);
            d.converter = std::make_unique<WiegandConverter>(o.mode);
            d.converter->SetFrameObserver([&t = *transcript, serial = d.serial](
                                              const LinkRecord &r) { t.Record(serial, r); });
            d.chip->If(0).Attach(d.converter.get());
            if (o.kernel_driver) d.chip->SetKernelDriverBound(0, true);
            WirePins(o, *d.chip, image, pin_devices);
            if (o.verbose) {
                std::fprintf(stderr, "%s: %s serial %s at %s, %s-mode converter on interface 0\n",
                             kProgram, o.family.c_str(), spec.serial ? d.serial.c_str() : "(none)",
                             d.chip->DevNode().c_str(),
                             o.mode == ConverterMode::kInput ? "input" : "output");
            }
            devices.push_back(std::move(d));
        }
        child_env = testbed->ChildEnv();
        env_strings = child_env.Environ();
    } catch (const SetupError &) {
        throw;
    } catch (const std::exception &e) {
        Fail(std::string("cannot set up the simulation: ") + e.what());
    }
    std::vector<char *> envp;
    for (std::string &s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);

    int exec_error[2];
    if (pipe2(exec_error, O_CLOEXEC) != 0) Fail(std::string("pipe: ") + std::strerror(errno));
    // The terminal's keyboard signals go to the whole foreground group; the
    // child decides what they mean.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction old_int {};
    struct sigaction old_quit {};
    struct sigaction old_tstp {};
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    sigaction(SIGTSTP, &ignore, &old_tstp);

    transcript->Note("", std::string("starting ") + *program);
    const pid_t pid = fork();
    if (pid < 0) Fail(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        // Only async-signal-safe calls from here to execve.
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        sigaction(SIGTSTP, &old_tstp, nullptr);
        sigprocmask(SIG_SETMASK, &original, nullptr);
        child_env.ApplyInChild();
        execve(program->c_str(), o.command.data(), envp.data());
        const int e = errno;
        // Straight to the kernel: umockdev's preload library wraps write()
        // with a mutex, and a thread of ours (glib's wake-ups write to an
        // eventfd) may have held it at the fork, which this child would wait
        // for forever, and the launcher for the child.
        [[maybe_unused]] const long n = syscall(SYS_write, exec_error[1], &e, sizeof e);
        _exit(e == ENOENT ? kNotFound : kCannotExecute);
    }
    close(exec_error[1]);
    int child_errno = 0;
    ssize_t got;
    do {
        got = read(exec_error[0], &child_errno, sizeof child_errno);
    } while (got < 0 && errno == EINTR);
    close(exec_error[0]);

    int wait_status = 0;
    if (got == static_cast<ssize_t>(sizeof child_errno)) {
        while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
        }
        std::fprintf(stderr, "%s: cannot run %s: %s\n", kProgram, program->c_str(),
                     std::strerror(child_errno));
        return child_errno == ENOENT ? kNotFound : kCannotExecute;
    }

    g_child.store(pid);
    runner.emplace(script, o.unplug_after, *testbed, devices, *transcript, start, control_fd);
    // SIGTERM and SIGHUP stay blocked and are taken synchronously here, not
    // by a handler: no async-signal context, and sanitizer runtimes that
    // defer handlers while a thread sits in waitpid cannot hold them back.
    // Each turn also looks at the child, so its exit is seen within a tick.
    const timespec tick{0, 50 * 1000 * 1000};
    for (;;) {
        const pid_t done = waitpid(pid, &wait_status, WNOHANG | WUNTRACED);
        if (done == pid && WIFSTOPPED(wait_status)) {
            // The child has stopped (and given back the terminal as it
            // does): the launcher follows with the same signal, and both go
            // on when the shell continues the process group.
            const int stop = WSTOPSIG(wait_status);
            if (stop == SIGTSTP) sigaction(SIGTSTP, &old_tstp, nullptr);
            raise(stop);
            if (stop == SIGTSTP) sigaction(SIGTSTP, &ignore, nullptr);
            continue;
        }
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            std::fprintf(stderr, "%s: waitpid: %s\n", kProgram, std::strerror(errno));
            return kSetupFailure;
        }
        siginfo_t info{};
        const int sig = sigtimedwait(&forwarded, &info, &tick);
        if (sig > 0) ForwardSignal(sig);
    }
    g_child.store(0);
    runner.reset();
    // The program's files closed with its end, but umockdev hears of it only
    // a moment later; the testbed must not go before it has (whatever way the
    // program ended, a signal included), or umockdev prints a warning.
    testbed->WaitForFilesClosed(std::chrono::seconds(5));
    const int status = StatusOf(wait_status);
    if (WIFSIGNALED(wait_status)) {
        transcript->Note("", "program killed by signal " + std::to_string(WTERMSIG(wait_status)));
    } else {
        transcript->Note("", "program exited with status " + std::to_string(status));
    }
    return status;
}

}  // namespace
}  // namespace ftdisim

int main(int argc, char **argv) {
    try {
        ftdisim::StartUnderUmockdev(argv);
        return ftdisim::Run(argc, argv);
    } catch (const ftdisim::SetupError &e) {
        std::fprintf(stderr, "%s: %s\n", ftdisim::kProgram, e.what());
        return ftdisim::kSetupFailure;
    }
}
