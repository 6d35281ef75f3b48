// What the figures of the performance table share: the clock, the rows
// (rounds of ours against a baseline), the byte stream the receive figures
// send and check, the plain libusb baselines' context and reader, and the
// testbed of simulated chips.
#ifndef FTD2XX_BENCH_PERF_COMMON_H
#define FTD2XX_BENCH_PERF_COMMON_H

#include <libusb.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ftdisim.h"

namespace bench {

double Now();         // steady clock, seconds
double ProcessCpu();  // CPU time of the whole process, seconds
double Median(std::vector<double> v);

// Set by any figure whose step did not give what it should; the run then
// fails.
extern bool g_failed;
// Whether `group` is to run (every group when none was named).
bool Want(const char *group);
void SetOnlyGroup(const char *group);
bool OnlyGroupNamed();

// One row: the median of each side and of the per-round ratios ours/baseline,
// with the lowest and highest per-round ratio. `a` and `b` hold one figure
// per round each, in round order.
void PrintRow(const char *figure, const char *unit, const char *target,
              const std::vector<double> &a, const std::vector<double> &b);
// Runs `rounds` rounds; each measures ours and the baseline back to back
// (ours first in even rounds, the baseline first in odd ones), so that one
// round's two figures share the machine's load of that moment. A round in
// which the machine was busy then moves both of its figures, not the ratio.
void Row(const char *figure, const char *unit, const char *target, int rounds,
         const std::function<double()> &ours, const std::function<double()> &base);
// Prints /proc/loadavg.
void PrintLoad(const char *when);

// The byte stream every receive figure sends: byte k is k * 13 + k / 256
// (mod 256). It repeats every 65536 bytes, so the sender and the checks take
// slices of one table instead of computing each byte.
// Up to 1 MiB + 64 KiB of the stream from byte `from` on.
const uint8_t *Pattern(uint64_t from);
// Bytes of `p` (`n` of them, stream bytes from `from` on) that differ from
// the stream.
uint64_t Mismatches(const uint8_t *p, size_t n, uint64_t from);
std::string Sequence(uint64_t from, size_t n);

// A libusb context of its own with an event thread, as a plain libusb
// program has.
struct PlainContext {
    libusb_context *ctx = nullptr;
    std::atomic<bool> stop{false};
    std::thread events;
    PlainContext();
    ~PlainContext();
    // Devices in location order, as the library numbers them.
    std::vector<libusb_device *> Devices(libusb_device ***list) const;
};

// Four bulk-in transfers in flight on interface 0 of a chip; with a
// `check`, every payload byte is checked against the stream and counted.
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

    bool Start(libusb_device *d, uint32_t size, uint32_t packet_size);
    void Stop();
};

// A testbed of `n` chips with the library's libusb context started.
struct Bed {
    std::unique_ptr<ftdisim::Testbed> bed = std::make_unique<ftdisim::Testbed>();
    std::vector<ftdisim::Chip *> chips;
    Bed(int n, const ftdisim::ChipSpec &base);
    ~Bed();
};

// The request/response rows (group "echo") and the sustained stream rows
// (group "stream", `seconds` per side and round).
void EchoRows(int rounds);
void StreamRows(int rounds, double seconds);

}  // namespace bench

#endif  // FTD2XX_BENCH_PERF_COMMON_H
