// The performance table: each figure of the library against a baseline
// measured in the same process, in alternating rounds (ours, baseline,
// baseline, ours, ...), on the simulated chip where a chip is involved.
//
//   bench_perf_table [rounds [idle-seconds [group]]]   (default 7 rounds, 1 s)
//
// `group` (parser, open, list, idle or receive) runs only that part.
//
// Every figure prints the median over the rounds and the spread (lowest and
// highest round) of ours and of the baseline, the ratio of the medians and
// the target:
//   - parser: ProcessBulkInData into the ring against memcpy of the same
//     bytes into the same ring, MB/s of transfer bytes (ratio ours/memcpy);
//   - open + close of one chip (FT_Open(0), FT_Close) against plain libusb:
//     open, claim, the same 10 vendor requests, release, close;
//   - the information list per device for 1, 4, 8 and 16 chips against plain
//     libusb doing what a listing needs (open, claim, language id, serial and
//     product strings, release, close);
//   - idle process CPU with 1, 4 and 16 chips open against plain libusb
//     keeping four 4 KiB transfers in flight per chip;
//   - sustained receive at 4, 16 and 64 KiB transfers (FT_SetUSBParameters)
//     against a plain libusb reader with the same transfer size, every byte
//     checked against the sent sequence (a mismatch is reported and fails
//     the run).
#include <libusb.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ftd2xx-private.h"
#include "ftd2xx.h"
#include "ftdisim.h"

namespace {

using Clock = std::chrono::steady_clock;

double Now() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

double ProcessCpu() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool g_failed = false;
const char *g_only = nullptr;

bool Want(const char *group) {
    return !g_only || std::strcmp(g_only, group) == 0;
}

// Runs `rounds` alternating rounds of two measurements and prints a row.
void Row(const char *figure, const char *unit, const char *target, int rounds, bool higher_better,
         const std::function<double()> &ours, const std::function<double()> &base) {
    std::vector<double> a, b;
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == 0) {
            a.push_back(ours());
            b.push_back(base());
        } else {
            b.push_back(base());
            a.push_back(ours());
        }
    }
    const double ma = Median(a), mb = Median(b);
    (void)higher_better;
    const double ratio = ma / mb;
    std::printf("| %-34s | %9.3g %-5s [%.3g-%.3g] | %9.3g %-5s [%.3g-%.3g] | %6.3f | %-8s |\n",
                figure, ma, unit, *std::min_element(a.begin(), a.end()),
                *std::max_element(a.begin(), a.end()), mb, unit,
                *std::min_element(b.begin(), b.end()), *std::max_element(b.begin(), b.end()), ratio,
                target);
    std::fflush(stdout);
}

// --- parser -----------------------------------------------------------------

struct ParserBench {
    d2xx::DeviceExtension device;
    std::vector<uint8_t> transfer;
    std::unique_ptr<uint8_t[]> ring = std::make_unique<uint8_t[]>(d2xx::kRxCapacity);
    uint32_t at = 0;

    ParserBench(uint32_t size, uint32_t packet) : transfer(size) {
        device.rx_data = std::make_unique<uint8_t[]>(d2xx::kRxCapacity);
        device.packet_size = packet;
        device.alive = true;
        for (uint32_t i = 0; i < size; ++i) {
            transfer[i] = i % packet == 0   ? 0x01
                          : i % packet == 1 ? 0x60
                                            : static_cast<uint8_t>(i * 7);
        }
    }
    // MB/s of transfer bytes over about 50 ms.
    double Ours() {
        const double t0 = Now();
        uint64_t bytes = 0;
        const uint32_t per_ring = d2xx::kRxCapacity / static_cast<uint32_t>(transfer.size()) - 1;
        do {
            for (uint32_t i = 0; i < per_ring; ++i) {
                d2xx::ProcessBulkInData(&device, transfer.data(),
                                        static_cast<uint32_t>(transfer.size()),
                                        device.rx_purge_count.load());
            }
            bytes += uint64_t{per_ring} * transfer.size();
            std::scoped_lock lock(device.rx_mutex);  // a reader takes everything
            device.rx_read_index = device.rx_write_index;
            device.rx_free = device.rx_capacity;
        } while (Now() - t0 < 0.05);
        return static_cast<double>(bytes) / (Now() - t0) / 1e6;
    }
    double Memcpy() {
        const double t0 = Now();
        uint64_t bytes = 0;
        const auto size = static_cast<uint32_t>(transfer.size());
        do {
            for (int i = 0; i < 64; ++i) {
                if (at + size > d2xx::kRxCapacity) at = 0;
                std::memcpy(ring.get() + at, transfer.data(), size);
                at += size;
            }
            bytes += 64ull * size;
            asm volatile("" : : "r"(ring.get()) : "memory");
        } while (Now() - t0 < 0.05);
        return static_cast<double>(bytes) / (Now() - t0) / 1e6;
    }
};

// --- plain libusb ------------------------------------------------------------

struct PlainContext {
    libusb_context *ctx = nullptr;
    std::atomic<bool> stop{false};
    std::thread events;
    PlainContext() {
        libusb_init(&ctx);
        events = std::thread([this] {
            while (!stop) {
                timeval tv{0, 100000};
                libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
            }
        });
    }
    ~PlainContext() {
        stop = true;
        libusb_interrupt_event_handler(ctx);
        events.join();
        libusb_exit(ctx);
    }
    // Devices in location order, as the library numbers them.
    std::vector<libusb_device *> Devices(libusb_device ***list) const {
        const ssize_t n = libusb_get_device_list(ctx, list);
        std::vector<libusb_device *> out((*list), (*list) + std::max<ssize_t>(n, 0));
        std::sort(out.begin(), out.end(), [](libusb_device *a, libusb_device *b) {
            return libusb_get_device_address(a) < libusb_get_device_address(b);
        });
        return out;
    }
};

// The requests an open sends: reset, six receive purges and a transmit
// purge, modem status, latency timer.
void OpenRequests(libusb_device_handle *h) {
    unsigned char b[2];
    libusb_control_transfer(h, 0x40, 0, 0, 0, nullptr, 0, 1000);
    for (int p = 0; p < 6; ++p) libusb_control_transfer(h, 0x40, 0, 1, 0, nullptr, 0, 1000);
    libusb_control_transfer(h, 0x40, 0, 2, 0, nullptr, 0, 1000);
    libusb_control_transfer(h, 0xC0, 5, 0, 0, b, 2, 1000);
    libusb_control_transfer(h, 0xC0, 10, 0, 0, b, 1, 1000);
}

double PlainOpenCloseMs(PlainContext &plain) {
    libusb_device **list = nullptr;
    const auto devices = plain.Devices(&list);
    const double t0 = Now();
    libusb_device_handle *h = nullptr;
    if (!devices.empty() && libusb_open(devices[0], &h) == 0) {
        if (libusb_claim_interface(h, 0) == 0) {
            OpenRequests(h);
            libusb_release_interface(h, 0);
        }
        libusb_close(h);
    }
    const double ms = (Now() - t0) * 1e3;
    libusb_free_device_list(list, 1);
    return ms;
}

// What a listing needs per device, in ms per device.
double PlainListMsPerDevice(PlainContext &plain) {
    libusb_device **list = nullptr;
    const double t0 = Now();
    const auto devices = plain.Devices(&list);
    for (libusb_device *d : devices) {
        libusb_device_descriptor desc{};
        libusb_get_device_descriptor(d, &desc);
        libusb_device_handle *h = nullptr;
        if (libusb_open(d, &h) != 0) continue;
        if (libusb_claim_interface(h, 0) == 0) {
            unsigned char lang[4], text[255];
            libusb_get_string_descriptor(h, 0, 0, lang, sizeof lang);
            const uint16_t id = static_cast<uint16_t>(lang[2] | lang[3] << 8);
            libusb_get_string_descriptor(h, desc.iSerialNumber, id, text, sizeof text);
            libusb_get_string_descriptor(h, desc.iProduct, id, text, sizeof text);
            libusb_release_interface(h, 0);
        }
        libusb_close(h);
    }
    const double ms = (Now() - t0) * 1e3;
    libusb_free_device_list(list, 1);
    return devices.empty() ? 0 : ms / static_cast<double>(devices.size());
}

// Four bulk-in transfers in flight on interface 0 of a chip; with a
// `check`, every payload byte is checked and counted.
struct PlainReceiver {
    libusb_device_handle *h = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<int> inflight{0};
    std::vector<libusb_transfer *> transfers;
    std::vector<std::vector<unsigned char>> buffers;
    uint32_t packet = 64;
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> mismatches{0};
    bool check = false;

    static void LIBUSB_CALL Done(libusb_transfer *t) {
        auto *self = static_cast<PlainReceiver *>(t->user_data);
        if (t->status == LIBUSB_TRANSFER_COMPLETED) {
            if (self->check) {
                uint64_t n = self->received;
                for (int at = 0; at < t->actual_length; at += static_cast<int>(self->packet)) {
                    const int end = std::min(t->actual_length, at + static_cast<int>(self->packet));
                    for (int i = at + 2; i < end; ++i, ++n) {
                        if (t->buffer[i] != static_cast<uint8_t>(n * 13 + (n >> 8)))
                            ++self->mismatches;
                    }
                }
                self->received = n;
            }
            if (!self->stop && libusb_submit_transfer(t) == 0) return;
        }
        --self->inflight;
    }
    bool Start(libusb_device *d, uint32_t size, uint32_t packet_size) {
        packet = packet_size;
        if (libusb_open(d, &h) != 0) return false;
        if (libusb_claim_interface(h, 0) != 0) return false;
        for (int i = 0; i < 4; ++i) {
            buffers.emplace_back(size);
            transfers.push_back(libusb_alloc_transfer(0));
            libusb_fill_bulk_transfer(transfers.back(), h, 0x81, buffers.back().data(),
                                      static_cast<int>(size), Done, this, 5000);
            if (libusb_submit_transfer(transfers.back()) == 0) ++inflight;
        }
        return true;
    }
    void Stop() {
        stop = true;
        for (auto *t : transfers) libusb_cancel_transfer(t);
        while (inflight > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (auto *t : transfers) libusb_free_transfer(t);
        if (h) {
            libusb_release_interface(h, 0);
            libusb_close(h);
        }
    }
};

std::string Sequence(uint64_t from, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        const uint64_t k = from + i;
        s[i] = static_cast<char>(static_cast<uint8_t>(k * 13 + (k >> 8)));
    }
    return s;
}

// Receives `bytes` (injected in one go) and returns MB/s.
double OursReceive(ftdisim::Chip &chip, uint32_t size, size_t bytes) {
    FT_HANDLE h = nullptr;
    if (FT_Open(0, &h) != FT_OK) {
        g_failed = true;
        return 0;
    }
    FT_SetUSBParameters(h, size, 0);
    FT_Purge(h, FT_PURGE_RX);
    const std::string data = Sequence(0, bytes);
    std::vector<uint8_t> got(bytes);
    const double t0 = Now();
    chip.If(0).InjectRx(data);
    size_t have = 0;
    FT_SetTimeouts(h, 5000, 0);
    while (have < bytes) {
        uint32_t n = 0;
        // Requests well below the ring's size, so each returns as soon as
        // its bytes are there.
        const auto chunk = static_cast<uint32_t>(std::min<size_t>(bytes - have, 65536));
        if (FT_Read(h, got.data() + have, chunk, &n) != FT_OK || n == 0) break;
        have += n;
    }
    const double s = Now() - t0;
    FT_Close(h);
    if (have != bytes || std::memcmp(got.data(), data.data(), bytes) != 0) {
        size_t first = 0;
        while (first < have && got[first] == static_cast<uint8_t>(data[first])) ++first;
        std::printf("  ours at %u: %zu of %zu bytes, first difference at %zu\n", size, have, bytes,
                    first);
        g_failed = true;
    }
    return static_cast<double>(bytes) / s / 1e6;
}

double PlainReceive(PlainContext &plain, ftdisim::Chip &chip, uint32_t size, size_t bytes) {
    libusb_device **list = nullptr;
    const auto devices = plain.Devices(&list);
    PlainReceiver r;
    r.check = true;
    r.Start(devices[0], size, chip.Spec().PacketSize());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double t0 = Now();
    r.received = 0;
    chip.If(0).InjectRx(Sequence(0, bytes));
    while (r.received < bytes && Now() - t0 < 10) std::this_thread::yield();
    const double s = Now() - t0;
    r.Stop();
    libusb_free_device_list(list, 1);
    if (r.received != bytes || r.mismatches) {
        std::printf("  plain libusb at %u: %llu of %zu bytes, %llu wrong\n", size,
                    static_cast<unsigned long long>(r.received.load()), bytes,
                    static_cast<unsigned long long>(r.mismatches.load()));
        g_failed = true;
    }
    return static_cast<double>(bytes) / s / 1e6;
}

// A testbed of `n` chips with the library's libusb context started.
struct Bed {
    std::unique_ptr<ftdisim::Testbed> bed = std::make_unique<ftdisim::Testbed>();
    std::vector<ftdisim::Chip *> chips;
    Bed(int n, const ftdisim::ChipSpec &base) {
        for (int i = 0; i < n; ++i) {
            ftdisim::ChipSpec spec = base;
            spec.serial = "FTB" + std::to_string(1000 + i);
            chips.push_back(&bed->AddChip(spec));
        }
        if (!d2xx::ReinitialiseLibusb()) std::exit(1);
    }
    ~Bed() {
        d2xx::FinaliseLibusb();
        bed.reset();
    }
};

}  // namespace

int main(int argc, char **argv) {
    if (!ftdisim::EnsureUmockdevPreload(argv)) return 2;
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
    const double idle_s = argc > 2 ? std::max(0.2, atof(argv[2])) : 1.0;
    if (argc > 3) g_only = argv[3];
    std::printf("%d rounds, median [lowest-highest round]\n\n", rounds);
    std::printf("| %-34s | %-29s | %-29s | %-6s | %-8s |\n", "figure", "ours", "baseline", "ratio",
                "target");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(31, '-').c_str(),
                std::string(31, '-').c_str(), std::string(8, '-').c_str(),
                std::string(10, '-').c_str());

    if (Want("parser")) {
        ParserBench full(4096, 64), high(65536, 512);
        Row(
            "parser, 4 KiB of 64-byte packets", "MB/s", ">= 0.5", rounds, true,
            [&] { return full.Ours(); }, [&] { return full.Memcpy(); });
        Row(
            "parser, 64 KiB of 512-byte packets", "MB/s", ">= 0.5", rounds, true,
            [&] { return high.Ours(); }, [&] { return high.Memcpy(); });
    }
    if (Want("open")) {
        Bed bed(1, ftdisim::ChipSpec::FT232R());
        PlainContext plain;
        auto ours = [] {
            std::vector<double> ms;
            for (int i = 0; i < 5; ++i) {
                FT_HANDLE h = nullptr;
                const double t0 = Now();
                if (FT_Open(0, &h) != FT_OK) g_failed = true;
                FT_Close(h);
                ms.push_back((Now() - t0) * 1e3);
            }
            return Median(ms);
        };
        auto base = [&] {
            std::vector<double> ms;
            for (int i = 0; i < 5; ++i) ms.push_back(PlainOpenCloseMs(plain));
            return Median(ms);
        };
        Row("open + close of one chip", "ms", "<= 1.3", rounds, false, ours, base);
    }
    for (int n : {1, 4, 8, 16}) {
        if (!Want("list")) break;
        Bed bed(n, ftdisim::ChipSpec::FT232R());
        PlainContext plain;
        auto ours = [n] {
            uint32_t count = 0;
            const double t0 = Now();
            FT_CreateDeviceInfoList(&count);
            const double ms = (Now() - t0) * 1e3;
            if (count != static_cast<uint32_t>(n)) g_failed = true;
            return ms / n;
        };
        const std::string name = "information list, " + std::to_string(n) + " chips, per chip";
        Row(name.c_str(), "ms", "<= 2.5", rounds, false, ours,
            [&] { return PlainListMsPerDevice(plain); });
    }
    if (Want("idle")) {
        Bed bed(16, ftdisim::ChipSpec::FT232R());
        PlainContext plain;
        for (int n : {1, 4, 16}) {
            auto window = [idle_s] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                const double c0 = ProcessCpu();
                std::this_thread::sleep_for(std::chrono::duration<double>(idle_s));
                return (ProcessCpu() - c0) / idle_s * 100;  // % of a core
            };
            auto ours = [&] {
                std::vector<FT_HANDLE> handles(static_cast<size_t>(n));
                for (int i = 0; i < n; ++i) {
                    if (FT_Open(i, &handles[static_cast<size_t>(i)]) != FT_OK) g_failed = true;
                }
                const double cpu = window();
                for (FT_HANDLE h : handles) FT_Close(h);
                return cpu;
            };
            auto base = [&] {
                libusb_device **list = nullptr;
                const auto devices = plain.Devices(&list);
                std::vector<std::unique_ptr<PlainReceiver>> receivers;
                for (int i = 0; i < n; ++i) {
                    receivers.push_back(std::make_unique<PlainReceiver>());
                    receivers.back()->Start(devices[static_cast<size_t>(i)], 4096, 64);
                }
                const double cpu = window();
                for (auto &r : receivers) r->Stop();
                libusb_free_device_list(list, 1);
                return cpu;
            };
            const std::string name = "idle CPU, " + std::to_string(n) + " chips open";
            Row(name.c_str(), "%", "<= 1.15", rounds, false, ours, base);
        }
    }
    if (Want("receive")) {
        Bed bed(1, ftdisim::ChipSpec::FT232H());
        PlainContext plain;
        for (uint32_t size : {4096u, 16384u, 65536u}) {
            const size_t bytes = 1u << 20;
            const std::string name = "receive, " + std::to_string(size / 1024) + " KiB transfers";
            Row(
                name.c_str(), "MB/s", "parity", rounds, true,
                [&] { return OursReceive(*bed.chips[0], size, bytes); },
                [&] { return PlainReceive(plain, *bed.chips[0], size, bytes); });
        }
    }
    std::printf("\nratio: ours / baseline (parser and receive: throughput; others: time or CPU)\n");
    if (g_failed) std::printf("FAILED: a step did not give what it should (see above)\n");
    return g_failed ? 1 : 0;
}
