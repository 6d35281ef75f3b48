// The figures of the performance table that move data through a chip for a
// while: request/response on a loopback and the sustained stream.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <span>
#include <thread>
#include <vector>

#include "ftd2xx-private.h"
#include "ftd2xx.h"
#include "perf_common.h"

namespace bench {
namespace {

// --- request/response ---------------------------------------------------------

// The latency timer both sides run the echo with (the chip's default).
constexpr uint8_t kEchoLatencyMs = 16;
constexpr int kExchanges = 100;

// Milliseconds per exchange: `n` bytes written with FT_Write and their echo
// read back with FT_Read, on a chip wired to a loopback.
double OursEcho(size_t n) {
    FT_HANDLE h = nullptr;
    if (FT_Open(0, &h) != FT_OK) {
        g_failed = true;
        return 0;
    }
    FT_SetLatencyTimer(h, kEchoLatencyMs);
    FT_SetTimeouts(h, 2000, 2000);
    const uint8_t *out = Pattern(0);
    std::vector<uint8_t> in(n);
    bool ok = true;
    double t0 = 0;
    for (int i = -1; i < kExchanges && ok; ++i) {  // exchange -1 warms up
        if (i == 0) t0 = Now();
        uint32_t written = 0;
        ok = FT_Write(h, const_cast<uint8_t *>(out), static_cast<uint32_t>(n), &written) == FT_OK &&
             written == n;
        size_t got = 0;
        while (ok && got < n) {
            uint32_t r = 0;
            ok = FT_Read(h, in.data() + got, static_cast<uint32_t>(n - got), &r) == FT_OK && r > 0;
            got += r;
        }
        ok = ok && std::memcmp(in.data(), out, n) == 0;
    }
    const double ms = (Now() - t0) * 1e3 / kExchanges;
    FT_Close(h);
    if (!ok) {
        std::printf("  ours: the echo of %zu bytes did not come back whole\n", n);
        g_failed = true;
    }
    return ms;
}

// The same with plain libusb: one bulk-out transfer, then bulk-in transfers
// of the library's default size until the echo is back.
double PlainEcho(PlainContext &plain, size_t n, uint32_t packet) {
    libusb_device **list = nullptr;
    const auto devices = plain.Devices(&list);
    libusb_device_handle *h = nullptr;
    bool ok = !devices.empty() && libusb_open(devices[0], &h) == 0;
    const bool claimed = ok && libusb_claim_interface(h, 0) == 0;
    ok = claimed && libusb_control_transfer(h, 0x40, 9, kEchoLatencyMs, 0, nullptr, 0, 1000) == 0;
    const uint8_t *out = Pattern(0);
    std::vector<uint8_t> in(n), buffer(4096);
    double t0 = 0;
    for (int i = -1; i < kExchanges && ok; ++i) {
        if (i == 0) t0 = Now();
        int written = 0;
        ok = libusb_bulk_transfer(h, 0x02, const_cast<uint8_t *>(out), static_cast<int>(n),
                                  &written, 2000) == 0 &&
             written == static_cast<int>(n);
        size_t got = 0;
        while (ok && got < n) {
            int len = 0;
            ok = libusb_bulk_transfer(h, 0x81, buffer.data(), static_cast<int>(buffer.size()), &len,
                                      2000) == 0;
            for (int at = 0; ok && at < len; at += static_cast<int>(packet)) {
                const int end = std::min(len, at + static_cast<int>(packet));
                for (int k = at + 2; k < end && got < n; ++k) in[got++] = buffer[k];
            }
        }
        ok = ok && std::memcmp(in.data(), out, n) == 0;
    }
    const double ms = (Now() - t0) * 1e3 / kExchanges;
    if (claimed) libusb_release_interface(h, 0);
    if (h) libusb_close(h);
    libusb_free_device_list(list, 1);
    if (!ok) {
        std::printf("  plain libusb: the echo of %zu bytes did not come back whole\n", n);
        g_failed = true;
    }
    return ms;
}

// --- sustained stream ---------------------------------------------------------

// Keeps the chip's receive FIFO topped up with the stream from byte 0 on, so
// that the chip always has data for the next IN transfer: the rate is then
// whatever the host side takes.
class Feeder {
  public:
    explicit Feeder(ftdisim::Interface &port) : port_(port) {
        thread_ = std::thread([this] {
            constexpr size_t kChunk = 256 * 1024;
            while (!stop_) {
                if (port_.RxPending() < 4 * kChunk) {
                    port_.InjectRx(std::span<const uint8_t>(Pattern(sent_), kChunk));
                    sent_ += kChunk;
                } else {
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                }
            }
        });
    }
    // Stops feeding; returns the bytes sent.
    uint64_t Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return sent_;
    }
    ~Feeder() { Stop(); }

  private:
    ftdisim::Interface &port_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
    std::thread thread_;
};

struct StreamResult {
    double mb_per_s = 0;
    double cpu_ms_per_mb = 0;  // process CPU, the simulated chip's own work included
    uint64_t lost = 0;         // bytes sent that never came, or came wrong
};

uint64_t ReportStream(const char *who, uint64_t sent, uint64_t received, uint64_t wrong) {
    const uint64_t lost = sent > received ? sent - received : 0;
    if (lost != 0 || wrong != 0) {
        std::printf("  %s: %llu bytes sent, %llu lost, %llu wrong\n", who,
                    static_cast<unsigned long long>(sent), static_cast<unsigned long long>(lost),
                    static_cast<unsigned long long>(wrong));
        g_failed = true;
    }
    return lost + wrong;
}

// `seconds` of the stream into FT_Read with `size`-byte transfers; the
// reader asks for what FT_GetQueueStatus says is there (for one byte, which
// blocks until data comes, when nothing is). After the feeding stops, the
// rest is read until every byte sent has come.
StreamResult OursStream(ftdisim::Chip &chip, uint32_t size, double seconds) {
    FT_HANDLE h = nullptr;
    if (FT_Open(0, &h) != FT_OK) {
        g_failed = true;
        return {};
    }
    FT_SetUSBParameters(h, size, 0);
    FT_SetTimeouts(h, 1000, 0);
    FT_Purge(h, FT_PURGE_RX);
    std::vector<uint8_t> buffer(d2xx::kRxCapacity);
    uint64_t received = 0, wrong = 0, sent = 0;
    const double c0 = ProcessCpu(), t0 = Now();
    {
        Feeder feeder(chip.If(0));
        bool feeding = true;
        for (;;) {
            if (feeding && Now() - t0 >= seconds) {
                sent = feeder.Stop();
                feeding = false;
            }
            if (!feeding && received >= sent) break;
            uint32_t queued = 0, n = 0;
            if (FT_GetQueueStatus(h, &queued) != FT_OK) break;
            const uint32_t want = std::clamp<uint32_t>(queued, 1, d2xx::kRxCapacity);
            if (FT_Read(h, buffer.data(), want, &n) != FT_OK) break;
            if (n == 0 && !feeding) break;  // a whole read time-out with nothing
            wrong += Mismatches(buffer.data(), n, received);
            received += n;
        }
    }
    const double s = Now() - t0, cpu = ProcessCpu() - c0;
    FT_Close(h);
    const uint64_t lost = ReportStream("ours", sent, received, wrong);
    return {static_cast<double>(received) / s / 1e6,
            cpu * 1e3 / (static_cast<double>(received) / 1e6), lost};
}

// The same stream into a plain libusb reader keeping four `size`-byte
// transfers in flight, checking every byte in its completion.
StreamResult PlainStream(PlainContext &plain, ftdisim::Chip &chip, uint32_t size, double seconds) {
    libusb_device **list = nullptr;
    const auto devices = plain.Devices(&list);
    PlainReceiver r;
    r.check = true;
    r.Start(devices[0], size, chip.Spec().PacketSize());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    r.received = 0;
    uint64_t sent = 0;
    const double c0 = ProcessCpu(), t0 = Now();
    {
        Feeder feeder(chip.If(0));
        while (Now() - t0 < seconds) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sent = feeder.Stop();
    }
    const double drain = Now();
    while (r.received < sent && Now() - drain < 5) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double s = Now() - t0, cpu = ProcessCpu() - c0;
    const uint64_t received = r.received;
    r.Stop();
    libusb_free_device_list(list, 1);
    const uint64_t lost = ReportStream("plain libusb", sent, received, r.mismatches);
    return {static_cast<double>(received) / s / 1e6,
            cpu * 1e3 / (static_cast<double>(received) / 1e6), lost};
}

}  // namespace

void EchoRows(int rounds) {
    Bed bed(1, ftdisim::ChipSpec::FT232R());
    ftdisim::Loopback loopback;
    bed.chips[0]->If(0).Attach(&loopback);
    PlainContext plain;
    for (size_t n : {size_t{6}, size_t{64}}) {
        const std::string name = "request/response, " + std::to_string(n) + " bytes each way";
        Row(
            name.c_str(), "ms", "<= 1.2", rounds, [n] { return OursEcho(n); },
            [&] { return PlainEcho(plain, n, bed.chips[0]->Spec().PacketSize()); });
    }
    bed.chips[0]->If(0).Attach(nullptr);
}

void StreamRows(int rounds, double seconds) {
    Bed bed(1, ftdisim::ChipSpec::FT232H());
    PlainContext plain;
    constexpr uint32_t kSize = 65536;
    std::vector<double> rate[2], cpu[2];
    uint64_t lost[2] = {0, 0};
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < 2; ++k) {
            const bool ours = (k == 0) == (r % 2 == 0);
            const StreamResult got = ours ? OursStream(*bed.chips[0], kSize, seconds)
                                          : PlainStream(plain, *bed.chips[0], kSize, seconds);
            rate[ours ? 0 : 1].push_back(got.mb_per_s);
            cpu[ours ? 0 : 1].push_back(got.cpu_ms_per_mb);
            lost[ours ? 0 : 1] += got.lost;
        }
    }
    const std::string secs = std::to_string(static_cast<int>(seconds));
    PrintRow(("stream " + secs + " s, 64 KiB transfers").c_str(), "MB/s", ">= 0.95", rate[0],
             rate[1]);
    PrintRow(("stream " + secs + " s, CPU per MB").c_str(), "ms", "-", cpu[0], cpu[1]);
    std::printf("| %-36s | %15llu | %15llu | %-22s | %-8s |\n", "stream, bytes lost or wrong",
                static_cast<unsigned long long>(lost[0]), static_cast<unsigned long long>(lost[1]),
                "-", "0");
}

}  // namespace bench
