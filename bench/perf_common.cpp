// The shared parts of the performance table (see perf_common.h).
#include "perf_common.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ftd2xx-private.h"

namespace bench {

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

namespace {
const char *g_only = nullptr;
}  // namespace

bool Want(const char *group) {
    return !g_only || std::strcmp(g_only, group) == 0;
}

void SetOnlyGroup(const char *group) {
    g_only = group;
}

bool OnlyGroupNamed() {
    return g_only != nullptr;
}

namespace {

// Three significant digits, without an exponent up to 10^6.
std::string Figure(double v) {
    char text[32];
    std::snprintf(text, sizeof text, v >= 100 ? "%.0f" : "%.3g", v);
    return text;
}

}  // namespace

void PrintRow(const char *figure, const char *unit, const char *target,
              const std::vector<double> &a, const std::vector<double> &b) {
    std::vector<double> ratios;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        ratios.push_back(b[i] != 0 ? a[i] / b[i] : 0);
    }
    if (ratios.empty()) return;
    char ratio[64];
    std::snprintf(ratio, sizeof ratio, "%.3f [%.3f-%.3f]", Median(ratios),
                  *std::min_element(ratios.begin(), ratios.end()),
                  *std::max_element(ratios.begin(), ratios.end()));
    std::printf("| %-36s | %9s %-5s | %9s %-5s | %-22s | %-8s |\n", figure,
                Figure(Median(a)).c_str(), unit, Figure(Median(b)).c_str(), unit, ratio, target);
    std::fflush(stdout);
}

void Row(const char *figure, const char *unit, const char *target, int rounds,
         const std::function<double()> &ours, const std::function<double()> &base) {
    std::vector<double> a, b;
    for (int r = 0; r < rounds; ++r) {
        double x = 0, y = 0;
        if (r % 2 == 0) {
            x = ours();
            y = base();
        } else {
            y = base();
            x = ours();
        }
        a.push_back(x);
        b.push_back(y);
    }
    PrintRow(figure, unit, target, a, b);
}

void PrintLoad(const char *when) {
    char text[128] = "?";
    if (FILE *f = std::fopen("/proc/loadavg", "r")) {
        if (!std::fgets(text, sizeof text, f)) std::strcpy(text, "?");
        std::fclose(f);
    }
    text[std::strcspn(text, "\n")] = '\0';
    std::printf("load average at the %s: %s\n", when, text);
}

namespace {

constexpr size_t kPeriod = 65536;

const std::vector<uint8_t> &PatternTable() {
    static const std::vector<uint8_t> table = [] {
        std::vector<uint8_t> t(2 * kPeriod + (1u << 20));
        for (size_t k = 0; k < t.size(); ++k) t[k] = static_cast<uint8_t>(k * 13 + (k >> 8));
        return t;
    }();
    return table;
}

}  // namespace

const uint8_t *Pattern(uint64_t from) {
    return PatternTable().data() + from % kPeriod;
}

uint64_t Mismatches(const uint8_t *p, size_t n, uint64_t from) {
    uint64_t wrong = 0;
    while (n > 0) {
        const size_t chunk = std::min<size_t>(n, 1u << 20);
        const uint8_t *want = Pattern(from);
        if (std::memcmp(p, want, chunk) != 0) {
            for (size_t i = 0; i < chunk; ++i) wrong += p[i] != want[i];
        }
        p += chunk;
        n -= chunk;
        from += chunk;
    }
    return wrong;
}

std::string Sequence(uint64_t from, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        const uint64_t k = from + i;
        s[i] = static_cast<char>(static_cast<uint8_t>(k * 13 + (k >> 8)));
    }
    return s;
}

PlainContext::PlainContext() {
    libusb_init(&ctx);
    events = std::thread([this] {
        while (!stop) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        }
    });
}

PlainContext::~PlainContext() {
    stop = true;
    libusb_interrupt_event_handler(ctx);
    events.join();
    libusb_exit(ctx);
}

std::vector<libusb_device *> PlainContext::Devices(libusb_device ***list) const {
    const ssize_t n = libusb_get_device_list(ctx, list);
    std::vector<libusb_device *> out((*list), (*list) + std::max<ssize_t>(n, 0));
    std::sort(out.begin(), out.end(), [](libusb_device *a, libusb_device *b) {
        return libusb_get_device_address(a) < libusb_get_device_address(b);
    });
    return out;
}

namespace {

void LIBUSB_CALL ReceiverDone(libusb_transfer *t) {
    auto *self = static_cast<PlainReceiver *>(t->user_data);
    if (t->status == LIBUSB_TRANSFER_COMPLETED) {
        if (self->check) {
            uint64_t n = self->received;
            for (int at = 0; at < t->actual_length; at += static_cast<int>(self->packet)) {
                const int end = std::min(t->actual_length, at + static_cast<int>(self->packet));
                if (end <= at + 2) continue;
                const auto payload = static_cast<size_t>(end - at - 2);
                self->mismatches += Mismatches(t->buffer + at + 2, payload, n);
                n += payload;
            }
            self->received = n;
        }
        if (!self->stop && libusb_submit_transfer(t) == 0) return;
    }
    --self->inflight;
}

}  // namespace

bool PlainReceiver::Start(libusb_device *d, uint32_t size, uint32_t packet_size) {
    packet = packet_size;
    if (libusb_open(d, &h) != 0) return false;
    if (libusb_claim_interface(h, 0) != 0) return false;
    for (int i = 0; i < 4; ++i) {
        buffers.emplace_back(size);
        transfers.push_back(libusb_alloc_transfer(0));
        libusb_fill_bulk_transfer(transfers.back(), h, 0x81, buffers.back().data(),
                                  static_cast<int>(size), ReceiverDone, this, 5000);
        if (libusb_submit_transfer(transfers.back()) == 0) ++inflight;
    }
    return true;
}

void PlainReceiver::Stop() {
    stop = true;
    for (auto *t : transfers) libusb_cancel_transfer(t);
    while (inflight > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (auto *t : transfers) libusb_free_transfer(t);
    if (h) {
        libusb_release_interface(h, 0);
        libusb_close(h);
    }
}

Bed::Bed(int n, const ftdisim::ChipSpec &base) {
    for (int i = 0; i < n; ++i) {
        ftdisim::ChipSpec spec = base;
        spec.serial = "FTB" + std::to_string(1000 + i);
        chips.push_back(&bed->AddChip(spec));
    }
    if (!d2xx::ReinitialiseLibusb()) std::exit(1);
}

Bed::~Bed() {
    d2xx::FinaliseLibusb();
    bed.reset();
}

}  // namespace bench
