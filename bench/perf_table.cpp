// The performance table: each figure of the library against a baseline
// measured in the same process, on the simulated chip where a chip is
// involved.
//
//   bench_perf_table [rounds [idle-seconds [group [stream-seconds]]]]
//
// Defaults: 7 rounds, 1 s, every group, 30 s. `group` (parser, open, list,
// idle, receive, echo or stream) runs only that part. Each round measures
// ours and its baseline back to back (ours first in even rounds), and each
// row prints the median of ours, of the baseline and of the per-round ratios
// ours/baseline, with the lowest and highest per-round ratio, and the
// target. The load average is printed at the start and at the end.
//   - parser: ProcessBulkInData into the ring against memcpy of the same
//     bytes into the same ring, MB/s of transfer bytes (ratio ours/memcpy);
//   - open + close of one chip (FT_Open(0), FT_Close) against plain libusb:
//     open, claim, the same 10 vendor requests, release, close;
//   - the information list per device for 1, 4, 8 and 16 chips against plain
//     libusb doing what a listing needs (open, claim, language id, serial and
//     product strings, release, close);
//   - idle process CPU with 1, 4 and 16 chips open against plain libusb
//     keeping four 4 KiB transfers in flight per chip;
//   - receive of 1 MiB at 4, 16 and 64 KiB transfers (FT_SetUSBParameters)
//     against a plain libusb reader with the same transfer size, every byte
//     checked against the sent sequence (a mismatch is reported and fails
//     the run);
//   - echo: request/response on a chip wired to a loopback, 6 and 64 bytes
//     each way, FT_Write + FT_Read against one bulk-out transfer and bulk-in
//     transfers until the echo is back, both with a 16 ms latency timer;
//   - stream: `stream-seconds` of the high-speed chip's receive FIFO kept
//     full, read by FT_Read asking for what FT_GetQueueStatus reports,
//     against a plain libusb reader with four 64 KiB transfers in flight;
//     rate, process CPU per MB and the bytes lost or wrong (every byte is
//     checked). One round unless the group is named.
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
#include "perf_common.h"

using namespace bench;

namespace {

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

}  // namespace

int main(int argc, char **argv) {
    if (!ftdisim::EnsureUmockdevPreload(argv)) return 2;
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
    const double idle_s = argc > 2 ? std::max(0.2, atof(argv[2])) : 1.0;
    if (argc > 3) SetOnlyGroup(argv[3]);
    const double stream_s = argc > 4 ? std::max(1.0, atof(argv[4])) : 30.0;
    PrintLoad("start");
    std::printf(
        "%d rounds; ours and baseline: medians; ratio: median of the per-round ratios "
        "[lowest-highest]\n\n",
        rounds);
    std::printf("| %-36s | %-15s | %-15s | %-22s | %-8s |\n", "figure", "ours", "baseline", "ratio",
                "target");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(38, '-').c_str(), std::string(17, '-').c_str(),
                std::string(17, '-').c_str(), std::string(24, '-').c_str(),
                std::string(10, '-').c_str());

    if (Want("parser")) {
        ParserBench full(4096, 64), high(65536, 512);
        Row(
            "parser, 4 KiB of 64-byte packets", "MB/s", ">= 0.7", rounds,
            [&] { return full.Ours(); }, [&] { return full.Memcpy(); });
        Row(
            "parser, 64 KiB of 512-byte packets", "MB/s", ">= 0.8", rounds,
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
        Row("open + close of one chip", "ms", "<= 1.3", rounds, ours, base);
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
        const std::string name =
            "information list, " + std::to_string(n) + (n == 1 ? " chip" : " chips") + ", per chip";
        Row(name.c_str(), "ms", "<= 2.5", rounds, ours,
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
            const std::string name =
                "idle CPU, " + std::to_string(n) + (n == 1 ? " chip" : " chips") + " open";
            Row(name.c_str(), "%", "<= 1.15", rounds, ours, base);
        }
    }
    if (Want("receive")) {
        Bed bed(1, ftdisim::ChipSpec::FT232H());
        PlainContext plain;
        for (uint32_t size : {4096u, 16384u, 65536u}) {
            const size_t bytes = 1u << 20;
            const std::string name = "receive, " + std::to_string(size / 1024) + " KiB transfers";
            Row(
                name.c_str(), "MB/s", ">= 0.95", rounds,
                [&] { return OursReceive(*bed.chips[0], size, bytes); },
                [&] { return PlainReceive(plain, *bed.chips[0], size, bytes); });
        }
    }
    if (Want("echo")) EchoRows(rounds);
    // Long: one round unless the group is named.
    if (Want("stream")) StreamRows(OnlyGroupNamed() ? rounds : 1, stream_s);
    std::printf(
        "\nratio: ours / baseline (parser, receive and stream rates: throughput; others: "
        "time or CPU)\n");
    PrintLoad("end");
    if (g_failed) std::printf("FAILED: a step did not give what it should (see above)\n");
    return g_failed ? 1 : 0;
}
