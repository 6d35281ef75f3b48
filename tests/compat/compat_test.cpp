// Runs each compatibility client as a program of its own against simulated
// chips: an FT232R "CPT00001" wired in loopback with CTS and DSR raised, and
// an FT2232H "CPT00002" (two devices). A client exits 0 when every call it
// made answered as a D2XX program expects; afterwards the chip shows what
// the client set.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "ftdisim.h"

namespace {

using ftdisim::ChipSpec;

enum class Kind { kLister, kSerial, kEeprom };
struct Client {
    const char *name;
    Kind kind;
};

void PrintTo(const Client &c, std::ostream *os) {
    *os << c.name;
}

ChipSpec Named(ChipSpec spec, const char *serial) {
    spec.serial = serial;
    return spec;
}

// Runs the client with the testbed's environment and these arguments (the
// null ones left out); its wait status.
int RunClient(const ftdisim::Testbed &bed, const std::string &path, const char *arg,
              const char *second = nullptr, const char *third = nullptr) {
    const ftdisim::ChildEnvironment env = bed.ChildEnv();
    std::vector<std::string> env_strings = env.Environ();
    std::vector<char *> envp;
    for (std::string &s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> arguments = {path, arg};
    for (const char *extra : {second, third}) {
        if (extra) arguments.emplace_back(extra);
    }
    std::vector<char *> argv;
    for (std::string &a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        env.ApplyInChild();
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int status = -1;
    if (pid > 0) waitpid(pid, &status, 0);
    // umockdev hears of the files the client's end closed a moment later.
    EXPECT_TRUE(bed.WaitForFilesClosed(std::chrono::seconds(30)));
    return status;
}

class CompatTest : public ::testing::TestWithParam<Client> {};

TEST_P(CompatTest, ClientRunsUnchanged) {
    ftdisim::Loopback loopback;  // outlives the chips it is wired to
    ftdisim::Testbed bed;
    ftdisim::Chip &uart = bed.AddChip(Named(ChipSpec::FT232R(), "CPT00001"));
    bed.AddChip(Named(ChipSpec::FT2232H(), "CPT00002"));
    uart.If(0).Attach(&loopback);
    uart.If(0).SetModemLines(0x30);
    uart.SetEepromWord(0x10, 0x1234);
    uart.FailRequest(0x92, ftdisim::FaultMode::Stall, 1);

    const int status =
        RunClient(bed, std::string(COMPAT_CLIENT_DIR "/") + GetParam().name, "CPT00001");
    ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);

    if (GetParam().kind == Kind::kSerial) {
        const ftdisim::InterfaceState state = uart.If(0).State();
        EXPECT_NEAR(state.line.baud, 115200, 115200 * 3 / 100);
        EXPECT_EQ(state.line.data_bits, 8);
        EXPECT_EQ(state.line.parity, 0);
        EXPECT_EQ(state.line.stop_bits, 0);
        EXPECT_EQ(state.flow_mode, 0x0100);
    } else if (GetParam().kind == Kind::kEeprom) {
        EXPECT_EQ(uart.EepromWord(0x21), 0xCAFE);
        EXPECT_EQ(uart.EepromWord(0x20), 0xFFFF);
    }
}

const Client kClients[] = {
    {"compat_lister_c99", Kind::kLister},        {"compat_lister_c11", Kind::kLister},
    {"compat_lister_win32", Kind::kLister},      {"compat_serial_cxx98", Kind::kSerial},
    {"compat_serial_cxx11", Kind::kSerial},      {"compat_serial_cxx17", Kind::kSerial},
    {"compat_own_types_c99", Kind::kEeprom},     {"compat_own_types_c11", Kind::kEeprom},
    {"compat_macro_types_c99", Kind::kSerial},   {"compat_macro_types_c11", Kind::kSerial},
    {"compat_macro_types_cxx98", Kind::kSerial}, {"compat_macro_types_cxx11", Kind::kSerial},
};
std::string ClientName(const ::testing::TestParamInfo<Client> &p) {
    return p.param.name;
}
INSTANTIATE_TEST_SUITE_P(Clients, CompatTest, ::testing::ValuesIn(kClients), ClientName);

// A program that returns from main while other threads are blocked in reads,
// a write, a comm-event wait and status polls ends cleanly every time: the
// library's finaliser ends those calls and lets nothing of libusb run after
// it has ended libusb. The exit is a race, so it is run many times; every
// run must end with status 0. A thread whose control request the chip never
// answers outlasts the finaliser's wait: the exit is still clean.
TEST(ExitWithThreads, EveryRunEndsCleanly) {
    ftdisim::Testbed bed;
    ftdisim::Chip &held = bed.AddChip(Named(ChipSpec::FT232R(), "EXT00001"));
    bed.AddChip(Named(ChipSpec::FT232R(), "EXT00002"));
    held.If(0).HoldOut(true);                              // writers stay inside FT_Write
    held.FailRequest(3, ftdisim::FaultMode::Timeout, -1);  // set baud rate: no answer
    constexpr int kRuns = 30, kStuckRuns = 3;
    int clean = 0;
    for (int run = 0; run < kRuns + kStuckRuns; ++run) {
        const int status = RunClient(bed, COMPAT_CLIENT_DIR "/compat_exit_with_threads", "EXT00001",
                                     "EXT00002", run < kStuckRuns ? "stuck" : nullptr);
        const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        EXPECT_TRUE(ok) << "run " << run << ": wait status " << status;
        clean += ok;
    }
    EXPECT_EQ(clean, kRuns + kStuckRuns);
}

}  // namespace
