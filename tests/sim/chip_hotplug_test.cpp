// Unplugging and replugging, claims, kernel drivers, refused opens, and a
// child process using a chip of its parent's testbed.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "chip_test_fixture.h"

namespace ftdisim::testing {
namespace {

TEST_F(ChipTest, UnplugEndsTransfersAsNoDeviceAndTheDeviceLeavesTheBus) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    libusb_device_handle *h = OpenClaimed(chip);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(VendorOut(h, 9, 200, 0), 0);  // slow status packets: transfers stay in flight
    StartEvents();
    InTransfer a(h, 0x81, 4096);
    InTransfer b(h, 0x81, 4096);
    ASSERT_EQ(a.Submit(), 0);
    ASSERT_EQ(b.Submit(), 0);
    const uint8_t old_address = chip.Address();

    Bed().Unplug(chip);
    EXPECT_FALSE(chip.Plugged());
    ASSERT_TRUE(a.Wait());
    ASSERT_TRUE(b.Wait());
    EXPECT_EQ(a.Status(), LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(b.Status(), LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(VendorOut(h, 9, 2, 0), LIBUSB_ERROR_NO_DEVICE);
    InTransfer c(h, 0x81, 4096);
    EXPECT_EQ(c.Submit(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(WaitUntil([&] { return Find(chip) == nullptr; }));

    // Back on the same port with a new address and power-on settings; the
    // old handle stays dead.
    Bed().Replug(chip);
    EXPECT_TRUE(chip.Plugged());
    EXPECT_NE(chip.Address(), old_address);
    EXPECT_TRUE(WaitUntil([&] { return Find(chip) != nullptr; }));
    EXPECT_EQ(libusb_get_port_number(Find(chip)), chip.Port());
    EXPECT_EQ(chip.If(0).State().latency_ms, 16);
    libusb_device_handle *again = OpenClaimed(chip);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(VendorOut(again, 9, 3, 0), 0);
    EXPECT_EQ(VendorOut(h, 9, 2, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(chip.If(0).State().latency_ms, 3);
    // The records span both lives of the chip.
    EXPECT_EQ(chip.VendorRequests().front().wValue, 200);
}

TEST_F(ChipTest, AKernelDriverOrAnotherFileHoldingTheInterfaceMakesTheClaimBusy) {
    Chip &chip = Bed().AddChip(ChipSpec::FT2232H());
    chip.SetKernelDriverBound(1, true);
    libusb_device_handle *h = Open(chip);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(h, 1), 1);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_claim_interface(h, 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_detach_kernel_driver(h, 1), 0);
    EXPECT_FALSE(chip.KernelDriverBound(1));
    EXPECT_EQ(libusb_claim_interface(h, 1), 0);
    EXPECT_TRUE(chip.If(1).State().claimed);

    libusb_device_handle *other = Open(chip);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(libusb_claim_interface(other, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_release_interface(h, 0), 0);
    EXPECT_FALSE(chip.If(0).State().claimed);
    EXPECT_EQ(libusb_claim_interface(other, 0), 0);
    EXPECT_EQ(libusb_detach_kernel_driver(h, 0), LIBUSB_ERROR_NOT_FOUND);  // none bound
}

TEST_F(ChipTest, ClosingAFileReleasesItsClaims) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    libusb_device *dev = Find(chip);
    ASSERT_NE(dev, nullptr);
    libusb_device_handle *first = nullptr;
    ASSERT_EQ(libusb_open(dev, &first), 0);
    ASSERT_EQ(libusb_claim_interface(first, 0), 0);
    EXPECT_TRUE(WaitUntil([&] { return chip.OpenNow() == 1; }));
    libusb_close(first);  // the file goes without a release
    EXPECT_TRUE(WaitUntil([&] { return chip.OpenNow() == 0; }));
    EXPECT_FALSE(chip.If(0).State().claimed);
    libusb_device_handle *second = OpenClaimed(chip);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(chip.OpenCount(), 2u);
}

TEST_F(ChipTest, AChipThatRefusesToOpenIsStillListed) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    chip.SetOpenDenied(true);
    libusb_device *dev = Find(chip);
    ASSERT_NE(dev, nullptr);
    libusb_device_descriptor dd{};
    EXPECT_EQ(libusb_get_device_descriptor(dev, &dd), 0);
    libusb_device_handle *h = nullptr;
    EXPECT_EQ(libusb_open(dev, &h), LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(chip.OpenCount(), 0u);
    chip.SetOpenDenied(false);
    ASSERT_EQ(libusb_open(dev, &h), 0);
    libusb_close(h);
}

// The child side of the test below: a plain libusb user in a process
// without a testbed, started with the parent's child environment.
TEST(ChildSide, DISABLED_Probe) {
    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device_handle *h = libusb_open_device_with_vid_pid(ctx, 0x0403, 0x6001);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    {
        EventThread events(ctx);
        InTransfer first(h, 0x81, 4096);
        ASSERT_EQ(first.Submit(), 0);
        ASSERT_TRUE(first.Wait());
        EXPECT_EQ(first.Data(), (std::vector<uint8_t>{0x01, 0x60, 'h', 'i'}));
        uint8_t ready[] = {'r', 'e', 'a', 'd', 'y'};
        int n = 0;
        ASSERT_EQ(libusb_bulk_transfer(h, 0x02, ready, 5, &n, 1000), 0);
        // Status packets keep coming until the parent unplugs the chip.
        libusb_transfer_status last = LIBUSB_TRANSFER_COMPLETED;
        for (int i = 0; i < 2000 && last == LIBUSB_TRANSFER_COMPLETED; i++) {
            InTransfer t(h, 0x81, 4096);
            const int r = t.Submit();
            if (r == LIBUSB_ERROR_NO_DEVICE) {
                last = LIBUSB_TRANSFER_NO_DEVICE;
                break;
            }
            ASSERT_EQ(r, 0);
            if (!t.Wait()) break;
            last = t.Status();
        }
        EXPECT_EQ(last, LIBUSB_TRANSFER_NO_DEVICE);
    }
    libusb_close(h);
    libusb_exit(ctx);
}

TEST_F(ChipTest, AChildProcessUsesTheChipThroughItsEnvironment) {
    Chip &chip = Bed().AddChip(ChipSpec::FT232R());
    chip.If(0).InjectRx("hi");
    const ChildEnvironment env = Bed().ChildEnv();

    // The environment names the shim first, then umockdev's preload.
    ASSERT_FALSE(env.vars.empty());
    std::string preload, shim_fd, dir;
    for (const auto &[name, value] : env.vars) {
        if (name == "LD_PRELOAD") preload = value;
        if (name == "FTDISIM_SHIM_FD") shim_fd = value;
        if (name == "UMOCKDEV_DIR") dir = value;
    }
    EXPECT_EQ(preload.rfind(Testbed::PollShimPath() + ":libumockdev-preload.so.0", 0), 0u);
    EXPECT_EQ(dir, Bed().RootDir());
    ASSERT_FALSE(shim_fd.empty());
    EXPECT_EQ(env.keep_fds.size(), 2u);  // the table and the chip's eventfd
    EXPECT_EQ(env.keep_fds[0], std::stoi(shim_fd));

    std::vector<std::string> envp_strings = env.Environ();
    envp_strings.push_back("FTDISIM_CHILD=1");
    std::vector<char *> envp;
    for (std::string &s : envp_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=ChildSide.DISABLED_Probe";
    std::string disabled = "--gtest_also_run_disabled_tests";
    std::string self = "/proc/self/exe";
    char *argv[] = {self.data(), filter.data(), disabled.data(), nullptr};

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        env.ApplyInChild();
        execve("/proc/self/exe", argv, envp.data());
        _exit(127);
    }
    const bool ready = WaitUntil(
        [&] {
            const std::vector<uint8_t> out = chip.If(0).OutBytes();
            return std::string(out.begin(), out.end()) == "ready";
        },
        std::chrono::seconds(20));
    EXPECT_TRUE(ready);
    Bed().Unplug(chip);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace ftdisim::testing
