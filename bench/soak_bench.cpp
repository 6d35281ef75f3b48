// Soak: many open/close cycles and information lists over several simulated
// chips while one device streams data, then whether resident memory, threads
// and file descriptors ended where they started.
//
//   bench_soak [cycles] [lists]   (default 1000 and 200)
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ftd2xx-private.h"
#include "ftd2xx.h"
#include "ftdisim.h"

namespace {

struct Usage {
    long rss_kb = 0;
    long threads = 0;
    long fds = 0;
    std::vector<std::string> fd_targets;
};

long StatusField(const char *name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(name);
    while (std::getline(in, line)) {
        if (line.compare(0, n, name) == 0) return std::atol(line.c_str() + n);
    }
    return -1;
}

Usage Measure() {
    Usage u;
    u.rss_kb = StatusField("VmRSS:");
    u.threads = StatusField("Threads:");
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        u.fd_targets.push_back(e.path().filename().string() + " -> " +
                               std::filesystem::read_symlink(e.path(), ec).string());
        ++u.fds;
    }
    return u;
}

FT_HANDLE OpenSerial(const std::string &serial) {
    FT_HANDLE h = nullptr;
    if (FT_OpenEx(const_cast<char *>(serial.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &h) != FT_OK) {
        return nullptr;
    }
    return h;
}

// Writes `n` bytes and reads them back through the chip's loopback.
bool Echo(FT_HANDLE h, size_t n, unsigned seed) {
    std::vector<uint8_t> out(n), in(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 31 + seed);
    uint32_t done = 0;
    if (FT_Write(h, out.data(), static_cast<uint32_t>(n), &done) != FT_OK || done != n)
        return false;
    if (FT_Read(h, in.data(), static_cast<uint32_t>(n), &done) != FT_OK || done != n) return false;
    return in == out;
}

}  // namespace

int main(int argc, char **argv) {
    if (!ftdisim::EnsureUmockdevPreload(argv)) return 2;
    const int cycles = argc > 1 ? std::max(1, atoi(argv[1])) : 1000;
    const int lists = argc > 2 ? std::max(1, atoi(argv[2])) : 200;

    std::vector<std::unique_ptr<ftdisim::Loopback>> loops;  // outlive the chips they are wired to
    ftdisim::Testbed bed;
    std::vector<ftdisim::Chip *> chips;
    auto add = [&](ftdisim::ChipSpec spec, const char *serial) {
        spec.serial = serial;
        ftdisim::Chip &chip = bed.AddChip(spec);
        chips.push_back(&chip);
        for (int i = 0; i < chip.InterfaceCount(); ++i) {
            loops.push_back(std::make_unique<ftdisim::Loopback>());
            chip.If(i).Attach(loops.back().get());
        }
    };
    add(ftdisim::ChipSpec::FT232R(), "FTSOAK0");
    add(ftdisim::ChipSpec::FT232H(), "FTSOAK1");
    add(ftdisim::ChipSpec::FT2232H(), "FTSOAK2");
    add(ftdisim::ChipSpec::FT232R(), "FTSOAK3");
    if (!d2xx::ReinitialiseLibusb()) return 1;
    const std::vector<std::string> cycled = {"FTSOAK1", "FTSOAK2A", "FTSOAK2B", "FTSOAK3"};

    // One device streams through the whole run.
    FT_HANDLE streamed = OpenSerial("FTSOAK0");
    if (!streamed || FT_SetTimeouts(streamed, 5000, 5000) != FT_OK) return 1;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> streamed_bytes{0};
    std::atomic<int> stream_errors{0};
    std::thread stream([&] {
        for (unsigned round = 0; !stop; ++round) {
            if (Echo(streamed, 4096, round)) {
                streamed_bytes += 4096;
            } else {
                ++stream_errors;
            }
        }
    });

    // Warm-up: the first open and list allocate what later ones reuse.
    int failures = 0;
    for (const auto &serial : cycled) {
        FT_HANDLE h = OpenSerial(serial);
        if (!h) ++failures;
        FT_Close(h);
    }
    uint32_t listed = 0;
    FT_CreateDeviceInfoList(&listed);
    const Usage start = Measure();
    const auto t0 = std::chrono::steady_clock::now();
    // The simulator records every request and every byte written: dropped
    // as the run goes, so that only the library's memory is measured.
    auto drop_records = [&chips] {
        for (ftdisim::Chip *chip : chips) {
            chip->ClearRequests();
            for (int i = 0; i < chip->InterfaceCount(); ++i) chip->If(i).ClearOut();
        }
    };
    drop_records();

    const int list_every = std::max(1, cycles / lists);
    int lists_done = 0;
    for (int c = 0; c < cycles; ++c) {
        FT_HANDLE h = OpenSerial(cycled[static_cast<size_t>(c) % cycled.size()]);
        if (!h || FT_SetTimeouts(h, 2000, 2000) != FT_OK || !Echo(h, 256, c)) ++failures;
        if (h && FT_Close(h) != FT_OK) ++failures;
        drop_records();
        if (c % list_every == 0 && lists_done < lists) {
            if (FT_CreateDeviceInfoList(&listed) != FT_OK || listed != 5) ++failures;
            ++lists_done;
        }
    }
    while (lists_done < lists) {
        if (FT_CreateDeviceInfoList(&listed) != FT_OK || listed != 5) ++failures;
        ++lists_done;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    drop_records();
    // Descriptors the simulator's emulation closes behind a closed device
    // may take a moment to go.
    Usage end = Measure();
    for (int i = 0; i < 100 && end.fds != start.fds; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        end = Measure();
    }

    stop = true;
    stream.join();
    FT_Close(streamed);
    d2xx::FinaliseLibusb();

    std::printf("soak: %d open/close cycles and %d information lists in %.1f s, %d failures\n",
                cycles, lists_done, seconds, failures);
    std::printf("soak: streamed %.1f MB alongside, %d stream errors\n",
                static_cast<double>(streamed_bytes.load()) / 1e6, stream_errors.load());
    std::printf("soak: resident memory %ld kB -> %ld kB (%+ld kB)\n", start.rss_kb, end.rss_kb,
                end.rss_kb - start.rss_kb);
    std::printf("soak: threads %ld -> %ld, file descriptors %ld -> %ld\n", start.threads,
                end.threads, start.fds, end.fds);
    for (const auto &t : end.fds != start.fds ? end.fd_targets : std::vector<std::string>{}) {
        if (std::find(start.fd_targets.begin(), start.fd_targets.end(), t) ==
            start.fd_targets.end()) {
            std::printf("soak: new descriptor %s\n", t.c_str());
        }
    }
    const bool clean =
        failures == 0 && stream_errors == 0 && end.threads == start.threads && end.fds == start.fds;
    return clean ? 0 : 1;
}
