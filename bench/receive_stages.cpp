// Where a bulk-in transfer's time goes on its way through the receive
// engine, against a plain libusb reader on the same simulated chip.
//
//   bench_receive_stages [rounds]   (default 5)
//
// Built over a copy of the library compiled with FTD2XX_RX_STAGES, so that
// the engine stamps each slot as it passes a stage (rx_stages.h). For 4, 16
// and 64 KiB transfers it receives 1 MiB through FT_Read and prints, per
// stage, the median time from the slot's previous stage, the mean number of
// transfers libusb holds, and the throughput; then the same for a plain
// libusb reader that resubmits in its completion callback.
#include <libusb.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ftd2xx-private.h"
#include "ftd2xx.h"
#include "ftdisim.h"
#include "rx_stages.h"

namespace {

using Clock = std::chrono::steady_clock;

double ProcessCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Mark {
    int64_t t;
    int slot;
    int stage;
};

// Marks of the run under way; written by the engine's threads.
std::vector<Mark> g_marks(1u << 20);
std::atomic<size_t> g_count{0};
std::atomic<bool> g_recording{false};

void Record(int slot, int stage) {
    if (!g_recording) return;
    const size_t at = g_count.fetch_add(1);
    if (at < g_marks.size()) g_marks[at] = Mark{NowNs(), slot, stage};
}

double MedianUs(std::vector<int64_t> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return static_cast<double>(v[v.size() / 2]) / 1e3;
}

std::vector<Mark> TakeMarks() {
    g_recording = false;
    std::vector<Mark> out(g_marks.begin(), g_marks.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                 g_count.load(), g_marks.size())));
    g_count = 0;
    std::sort(out.begin(), out.end(), [](const Mark &a, const Mark &b) { return a.t < b.t; });
    return out;
}

// Time-weighted mean of transfers held by libusb: +1 at `up`, -1 at `down`;
// all four are held when the data starts to flow.
double MeanInFlight(const std::vector<Mark> &marks, int up, int down, int64_t from, int64_t to) {
    int n = 4;
    double area = 0;
    int64_t last = from;
    for (const Mark &m : marks) {
        if (m.t < from || m.t > to) continue;
        area += static_cast<double>(n) * static_cast<double>(m.t - last);
        last = m.t;
        if (m.stage == up) n = std::min(4, n + 1);
        if (m.stage == down) n = std::max(0, n - 1);
    }
    area += static_cast<double>(n) * static_cast<double>(to - last);
    return to > from ? area / static_cast<double>(to - from) : 0;
}

std::string Sequence(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(static_cast<uint8_t>(i * 13 + (i >> 8)));
    return s;
}

struct Run {
    double mbps = 0;
    std::vector<std::vector<int64_t>> deltas =
        std::vector<std::vector<int64_t>>(d2xx::kRxStageCount);
    double in_flight = 0;
    double cpu_ms = 0;  // process CPU over the MiB (the simulator's included)
};

constexpr size_t kBytes = 1u << 20;

Run Ours(ftdisim::Chip &chip, uint32_t size) {
    Run run;
    FT_HANDLE h = nullptr;
    if (FT_Open(0, &h) != FT_OK) std::exit(1);
    FT_SetUSBParameters(h, size, 0);
    FT_SetTimeouts(h, 5000, 0);
    FT_Purge(h, FT_PURGE_RX);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string data = Sequence(kBytes);
    std::vector<uint8_t> got(kBytes);
    g_count = 0;
    g_recording = true;
    const double c0 = ProcessCpuMs();
    const int64_t t0 = NowNs();
    chip.If(0).InjectRx(data);
    size_t have = 0;
    while (have < kBytes) {
        uint32_t n = 0;
        const auto chunk = static_cast<uint32_t>(std::min<size_t>(kBytes - have, 65536));
        if (FT_Read(h, got.data() + have, chunk, &n) != FT_OK || n == 0) break;
        have += n;
    }
    const int64_t t1 = NowNs();
    run.cpu_ms = ProcessCpuMs() - c0;
    const std::vector<Mark> marks = TakeMarks();
    FT_Close(h);
    if (have != kBytes || std::memcmp(got.data(), data.data(), kBytes) != 0) {
        std::printf("  ours at %u: wrong data\n", size);
        std::exit(1);
    }
    run.mbps = static_cast<double>(kBytes) / (static_cast<double>(t1 - t0) / 1e9) / 1e6;
    // Per slot, the time since its previous stage (stages run in a cycle).
    int64_t last[d2xx::kInSlotCount][d2xx::kRxStageCount] = {};
    for (const Mark &m : marks) {
        if (m.t < t0 || m.t > t1) continue;
        const int prev = (m.stage + d2xx::kRxStageCount - 1) % d2xx::kRxStageCount;
        const int64_t since = last[m.slot][prev];
        if (since != 0 && since <= m.t)
            run.deltas[static_cast<size_t>(m.stage)].push_back(m.t - since);
        last[m.slot][m.stage] = m.t;
    }
    run.in_flight = MeanInFlight(marks, static_cast<int>(d2xx::RxStage::kReaderWake),
                                 static_cast<int>(d2xx::RxStage::kCompleted), t0, t1);
    return run;
}

// The plain reader: resubmits in the completion callback. Stage 0 marks a
// resubmission's start, 1 its return, 2 a completion.
struct Plain;
struct PlainSlot {
    Plain *plain;
    int slot;
};
struct Plain {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<int> inflight{0};
    std::atomic<uint64_t> received{0};
    uint32_t packet = 512;
    std::thread events;

    static void LIBUSB_CALL Done(libusb_transfer *t) {
        const auto *tag = static_cast<PlainSlot *>(t->user_data);
        Plain *self = tag->plain;
        const int slot = tag->slot;
        Record(slot, 2);
        if (t->status == LIBUSB_TRANSFER_COMPLETED) {
            uint64_t n = self->received;
            for (int at = 0; at < t->actual_length; at += static_cast<int>(self->packet))
                n += static_cast<uint64_t>(std::max(
                    0, std::min(t->actual_length - at, static_cast<int>(self->packet)) - 2));
            self->received = n;
            Record(slot, 0);
            if (!self->stop && libusb_submit_transfer(t) == 0) {
                Record(slot, 1);
                return;
            }
        }
        --self->inflight;
    }
};

Run Baseline(ftdisim::Chip &chip, uint32_t size) {
    Run run;
    Plain p;
    libusb_init(&p.ctx);
    p.events = std::thread([&p] {
        while (!p.stop || p.inflight > 0) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout_completed(p.ctx, &tv, nullptr);
        }
    });
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(p.ctx, &list);
    if (n < 1 || libusb_open(list[0], &p.h) != 0 || libusb_claim_interface(p.h, 0) != 0)
        std::exit(1);
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    std::vector<libusb_transfer *> transfers;
    PlainSlot tags[4] = {{&p, 0}, {&p, 1}, {&p, 2}, {&p, 3}};
    g_count = 0;
    g_recording = true;
    for (int i = 0; i < 4; ++i) {
        buffers.push_back(std::make_unique<uint8_t[]>(size));
        transfers.push_back(libusb_alloc_transfer(0));
        libusb_fill_bulk_transfer(transfers.back(), p.h, 0x81, buffers.back().get(),
                                  static_cast<int>(size), Plain::Done, &tags[i], 5000);
        Record(i, 0);
        if (libusb_submit_transfer(transfers.back()) == 0) ++p.inflight;
        Record(i, 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double c0 = ProcessCpuMs();
    const int64_t t0 = NowNs();
    p.received = 0;
    chip.If(0).InjectRx(Sequence(kBytes));
    while (p.received < kBytes && NowNs() - t0 < 10'000'000'000) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const int64_t t1 = NowNs();
    run.cpu_ms = ProcessCpuMs() - c0;
    const std::vector<Mark> marks = TakeMarks();
    p.stop = true;
    for (auto *t : transfers) libusb_cancel_transfer(t);
    while (p.inflight > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    p.events.join();
    for (auto *t : transfers) libusb_free_transfer(t);
    libusb_release_interface(p.h, 0);
    libusb_close(p.h);
    libusb_free_device_list(list, 1);
    libusb_exit(p.ctx);
    run.mbps = static_cast<double>(kBytes) / (static_cast<double>(t1 - t0) / 1e9) / 1e6;
    int64_t last[4][3] = {};
    for (const Mark &m : marks) {
        if (m.t < t0 || m.t > t1) continue;
        const int prev = (m.stage + 2) % 3;
        const int64_t since = last[m.slot][prev];
        if (since != 0 && since <= m.t)
            run.deltas[static_cast<size_t>(m.stage)].push_back(m.t - since);
        last[m.slot][m.stage] = m.t;
    }
    run.in_flight = MeanInFlight(marks, 0, 2, t0, t1);
    return run;
}

void Merge(Run &into, const Run &r) {
    for (size_t s = 0; s < into.deltas.size(); ++s)
        into.deltas[s].insert(into.deltas[s].end(), r.deltas[s].begin(), r.deltas[s].end());
}

}  // namespace

namespace d2xx {
void RxStageMark(int slot, RxStage stage) {
    Record(slot, static_cast<int>(stage));
}
}  // namespace d2xx

int main(int argc, char **argv) {
    if (!ftdisim::EnsureUmockdevPreload(argv)) return 2;
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    auto bed = std::make_unique<ftdisim::Testbed>();
    ftdisim::Chip &chip = bed->AddChip(ftdisim::ChipSpec::FT232H());
    if (!d2xx::ReinitialiseLibusb()) return 1;
    std::printf("%d rounds of 1 MiB; median µs from the slot's previous stage\n\n", rounds);
    std::printf(
        "| size | MB/s ours | MB/s plain | ratio | CPU ms ours/plain | in flight ours/plain | "
        "submit | in libusb | processor wake | parse | free | reader wake |"
        " plain: resubmit | in libusb |\n");
    for (uint32_t size : {4096u, 16384u, 65536u}) {
        Run ours, plain;
        std::vector<double> a, b, ra, fa, fb, ca, cb;
        for (int r = 0; r < rounds; ++r) {
            const Run o = Ours(chip, size);
            const Run p = Baseline(chip, size);
            a.push_back(o.mbps);
            b.push_back(p.mbps);
            ra.push_back(o.mbps / p.mbps);
            fa.push_back(o.in_flight);
            fb.push_back(p.in_flight);
            ca.push_back(o.cpu_ms);
            cb.push_back(p.cpu_ms);
            Merge(ours, o);
            Merge(plain, p);
        }
        auto med = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v[v.size() / 2];
        };
        using S = d2xx::RxStage;
        auto us = [&](S s) { return MedianUs(ours.deltas[static_cast<size_t>(s)]); };
        std::printf(
            "| %2u KiB | %6.1f | %6.1f | %5.2f | %5.1f / %5.1f | %4.2f / %4.2f | %6.0f | %6.0f | "
            "%6.0f |"
            " %6.0f | %6.0f | %6.0f | %6.0f | %6.0f |\n",
            size / 1024, med(a), med(b), med(ra), med(ca), med(cb), med(fa), med(fb),
            us(S::kSubmitted), us(S::kCompleted), us(S::kProcessorWake), us(S::kParsed),
            us(S::kFreed), us(S::kReaderWake), MedianUs(plain.deltas[1]),
            MedianUs(plain.deltas[2]));
        std::fflush(stdout);
    }
    d2xx::FinaliseLibusb();
    bed.reset();
    return 0;
}
