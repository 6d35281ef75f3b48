// What the data path costs when nothing happens, and how long opening and
// closing take, against a plain libusb program doing the same USB work on
// the same simulated chip in the same run.
//
//   bench_data_path [seconds-of-idle]   (default 5)
#include <libusb.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ftd2xx-private.h"
#include "ftd2xx.h"
#include "ftdisim.h"

namespace {

using Clock = std::chrono::steady_clock;

double ProcessCpu() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double ThreadCpu(pthread_t t) {
    clockid_t id;
    if (pthread_getcpuclockid(t, &id) != 0) return -1;
    timespec ts{};
    clock_gettime(id, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The baseline: a plain libusb program keeping four bulk-in transfers in
// flight on the chip, with its own event thread, as the library does.
struct PlainReceiver {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<int> inflight{0};
    std::thread events;
    libusb_transfer *transfers[4] = {};
    unsigned char buffers[4][4096];

    static void LIBUSB_CALL Done(libusb_transfer *t) {
        auto *self = static_cast<PlainReceiver *>(t->user_data);
        if (t->status == LIBUSB_TRANSFER_COMPLETED && !self->stop) {
            if (libusb_submit_transfer(t) == 0) return;
        }
        --self->inflight;
    }

    bool Open() {
        if (libusb_init(&ctx) != 0) return false;
        h = libusb_open_device_with_vid_pid(ctx, 0x0403, 0x6001);
        if (!h || libusb_claim_interface(h, 0) != 0) return false;
        events = std::thread([this] {
            while (!stop || inflight > 0) {
                timeval tv{0, 100000};
                libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
            }
        });
        return true;
    }
    void Start() {
        for (int i = 0; i < 4; ++i) {
            transfers[i] = libusb_alloc_transfer(0);
            libusb_fill_bulk_transfer(transfers[i], h, 0x81, buffers[i], sizeof buffers[i], Done,
                                      this, 5000);
            if (libusb_submit_transfer(transfers[i]) == 0) ++inflight;
        }
    }
    void StopAndClose() {
        stop = true;
        for (auto *t : transfers) {
            if (t) libusb_cancel_transfer(t);
        }
        while (inflight > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        libusb_interrupt_event_handler(ctx);
        events.join();
        for (auto *&t : transfers) {
            libusb_free_transfer(t);
            t = nullptr;
        }
        libusb_release_interface(h, 0);
        libusb_close(h);
        libusb_exit(ctx);
    }
};

// Baseline for building the information list: open, claim, the same
// requests an open sends (reset, seven purges, modem status, latency),
// release and close, for every chip.
double PlainOpenCloseAll() {
    libusb_context *ctx = nullptr;
    libusb_init(&ctx);
    const auto t0 = Clock::now();
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_handle *h = nullptr;
        if (libusb_open(list[i], &h) != 0) continue;
        if (libusb_claim_interface(h, 0) == 0) {
            unsigned char b[2];
            libusb_control_transfer(h, 0x40, 0, 0, 0, nullptr, 0, 1000);
            for (int p = 0; p < 6; ++p) libusb_control_transfer(h, 0x40, 0, 1, 0, nullptr, 0, 1000);
            libusb_control_transfer(h, 0x40, 0, 2, 0, nullptr, 0, 1000);
            libusb_control_transfer(h, 0xC0, 5, 0, 0, b, 2, 1000);
            libusb_control_transfer(h, 0xC0, 10, 0, 0, b, 1, 1000);
            libusb_release_interface(h, 0);
        }
        libusb_close(h);
    }
    libusb_free_device_list(list, 1);
    const double ms = Ms(Clock::now() - t0);
    libusb_exit(ctx);
    return ms;
}

}  // namespace

int main(int argc, char **argv) {
    const char *preload = getenv("LD_PRELOAD");
    if (!preload || !strstr(preload, "libumockdev-preload")) {
        std::string value = "libumockdev-preload.so.0";
        if (preload && *preload) value += std::string(":") + preload;
        setenv("LD_PRELOAD", value.c_str(), 1);
        execv("/proc/self/exe", argv);
        perror("bench: re-exec");
        return 2;
    }
    const int idle_s = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    ftdisim::Testbed bed;
    std::vector<ftdisim::Chip *> chips;
    for (int i = 0; i < 4; ++i) {
        ftdisim::ChipSpec spec = ftdisim::ChipSpec::FT232R();
        spec.serial = "FTBENCH" + std::to_string(i);
        chips.push_back(&bed.AddChip(spec));
    }
    if (!d2xx::ReinitialiseLibusb()) return 1;

    // 1. A thread blocked in FT_Read while nothing arrives.
    FT_HANDLE h = nullptr;
    if (FT_OpenEx(const_cast<char *>("FTBENCH0"), FT_OPEN_BY_SERIAL_NUMBER, &h) != FT_OK) return 1;
    std::atomic<bool> returned{false};
    pthread_t reader_id{};
    std::thread reader([&] {
        reader_id = pthread_self();
        uint8_t buf[10];
        uint32_t n = 0;
        FT_Read(h, buf, 10, &n);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double reader0 = ThreadCpu(reader_id);
    const double ours0 = ProcessCpu();
    std::this_thread::sleep_for(std::chrono::seconds(idle_s));
    const double ours_cpu = ProcessCpu() - ours0;
    const double reader_cpu = ThreadCpu(reader_id) - reader0;
    const auto t_release = Clock::now();
    chips[0]->If(0).InjectRx(std::string(10, 'x'));
    reader.join();
    const double wake_ms = Ms(Clock::now() - t_release);

    // 2. FT_Close.
    std::vector<double> closes;
    {
        const auto t0 = Clock::now();
        FT_Close(h);
        closes.push_back(Ms(Clock::now() - t0));
    }
    for (int i = 0; i < 9; ++i) {
        FT_HANDLE again = nullptr;
        if (FT_OpenEx(const_cast<char *>("FTBENCH0"), FT_OPEN_BY_SERIAL_NUMBER, &again) != FT_OK)
            return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto t0 = Clock::now();
        FT_Close(again);
        closes.push_back(Ms(Clock::now() - t0));
    }

    // 3. The information list of four chips.
    std::vector<double> lists;
    for (int i = 0; i < 5; ++i) {
        uint32_t n = 0;
        const auto t0 = Clock::now();
        FT_CreateDeviceInfoList(&n);
        lists.push_back(Ms(Clock::now() - t0));
        if (n != 4) fprintf(stderr, "bench: listed %u devices\n", n);
    }
    d2xx::FinaliseLibusb();

    // Baselines on the same chips.
    PlainReceiver plain;
    if (!plain.Open()) return 1;
    plain.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double base0 = ProcessCpu();
    std::this_thread::sleep_for(std::chrono::seconds(idle_s));
    const double base_cpu = ProcessCpu() - base0;
    const auto tc = Clock::now();
    plain.StopAndClose();
    const double base_close = Ms(Clock::now() - tc);
    std::vector<double> base_lists;
    for (int i = 0; i < 5; ++i) base_lists.push_back(PlainOpenCloseAll());

    printf("idle %d s, a thread blocked in FT_Read:\n", idle_s);
    printf("  reader thread CPU            %.4f s (%.3f %% of a core)\n", reader_cpu,
           100.0 * reader_cpu / idle_s);
    printf(
        "  whole process CPU            %.4f s  (plain libusb, 4 transfers: %.4f s) ratio %.2f\n",
        ours_cpu, base_cpu, base_cpu > 0 ? ours_cpu / base_cpu : 0.0);
    printf("  read returned %.2f ms after the bytes were sent\n", wake_ms);
    printf("FT_Close median %.2f ms (plain libusb cancel+close %.2f ms) ratio %.2f\n",
           Median(closes), base_close, Median(closes) / base_close);
    printf(
        "FT_CreateDeviceInfoList, 4 devices: median %.1f ms, %.1f ms per device "
        "(plain libusb open+requests+close %.1f ms) ratio %.2f\n",
        Median(lists), Median(lists) / 4, Median(base_lists), Median(lists) / Median(base_lists));
    return returned ? 0 : 1;
}
