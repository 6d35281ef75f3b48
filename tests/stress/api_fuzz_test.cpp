// Randomised multi-thread fuzzing of the exported calls against simulated
// chips, through the real libusb.
//
// Worker threads issue random exported calls, with valid and invalid
// arguments, on a few shared handle slots of several chips; others open
// and close them, list the devices both ways, wait for event notifications
// and comm events, and unplug and replug the chips at random moments. One
// chip, wired in loopback, streams a numbered byte sequence throughout on a
// handle of its own. Checked: every call returns within a bound and with a
// status its documentation allows; a handle this thread has just closed
// answers FT_INVALID_HANDLE; the stream loses and reorders nothing while
// its chip stays plugged in; and (in the sanitizer builds) nothing is
// reported.
//
// Environment: FTD2XX_API_FUZZ_SEED (default: a random seed, printed, so a
// failure replays with the same choices per thread), FTD2XX_API_FUZZ_SECONDS
// (default 30) and FTD2XX_API_FUZZ_CALLS (default 5,000,000: the run ends at
// whichever comes first), FTD2XX_API_FUZZ_FULL_CONCURRENCY (see
// full_concurrency_). scripts/api-fuzz.sh runs it for as long as asked.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "api_fuzz.h"

namespace apifuzz {

const char *const kSerials[] = {"FZ000001", "FZ000002A", "FZ000002B", "FZ000003", "FZ000004",
                                "FZ00000",  "FZ000002",  "FZ000002C", "NOSUCH01", ""};

void ApiFuzz::Open(std::mt19937_64 &rng, Watch &w) {
    const int slot = static_cast<int>(rng() % kSlots);
    FT_HANDLE h = nullptr;
    FT_STATUS s = FT_OK;
    {
        std::shared_lock lock(open_probe_);
        Timed t(w, "open");
        switch (rng() % 5) {
            case 0:
                s = FT_Open(static_cast<int>(rng() % 8) - 1, &h);
                break;
            case 1: {
                const char *name = kSerials[rng() % std::size(kSerials)];
                s = FT_OpenEx(const_cast<char *>(name), FT_OPEN_BY_SERIAL_NUMBER, &h);
                break;
            }
            case 2: {
                const char *names[] = {"Dual RS232-HS A", "FT232R USB UART", "Single RS232-HS",
                                       "nothing"};
                s = FT_OpenEx(const_cast<char *>(names[rng() % 4]), FT_OPEN_BY_DESCRIPTION, &h);
                break;
            }
            case 3: {
                uint32_t loc = static_cast<uint32_t>(rng() % 0x40);
                s = FT_OpenEx(reinterpret_cast<void *>(uintptr_t{loc}), FT_OPEN_BY_LOCATION, &h);
                break;
            }
            default: {  // invalid arguments
                const uint32_t flags = static_cast<uint32_t>(rng() % 8);
                s = rng() % 2 ? FT_OpenEx(nullptr, flags, &h)
                              : FT_OpenEx(const_cast<char *>("FZ000003"), flags, nullptr);
                break;
            }
        }
    }
    Expect("FT_Open/FT_OpenEx", s,
           {FT_OK, FT_INVALID_PARAMETER, FT_DEVICE_NOT_FOUND, FT_DEVICE_NOT_OPENED, FT_IO_ERROR});
    if (s != FT_OK) return;
    if (!h) Fail("an open returned FT_OK without a handle");
    opened_ok_.fetch_add(1, std::memory_order_relaxed);
    // Without a time-out a read waits for its bytes as long as it takes: only
    // handles with one are shared (FT_SetTimeouts never sets 0 here).
    {
        Timed t(w, "FT_SetTimeouts after the open");
        Expect("FT_SetTimeouts", FT_SetTimeouts(h, 50, 1000), {FT_OK});
    }
    if (FT_HANDLE old = slots_[slot].exchange(h)) {
        CloseTaken(static_cast<size_t>(slot), old, w, false, false);
    }
}

void ApiFuzz::CloseTaken(size_t i, FT_HANDLE h, Watch &w, bool w32, bool probe) {
    std::unique_lock lock(open_probe_);
    {
        Timed t(w, "FT_Close");
        if (w32) {
            Check(FT_W32_CloseHandle(h) != 0, "FT_W32_CloseHandle", 0);
        } else {
            Expect("FT_Close", FT_Close(h), {FT_OK});
        }
    }
    {
        Timed t(w, "calls on a closed slot");
        while (users_[i].load() != 0) std::this_thread::yield();
    }
    if (!probe) return;
    Timed t(w, "probe of a closed handle");
    uint32_t n = 0;
    Expect("FT_GetQueueStatus after FT_Close", FT_GetQueueStatus(h, &n), {FT_INVALID_HANDLE});
    Expect("FT_Close after FT_Close", FT_Close(h), {FT_INVALID_HANDLE});
    Expect("FT_Purge after FT_Close", FT_Purge(h, FT_PURGE_RX), {FT_INVALID_HANDLE});
}

void ApiFuzz::Close(std::mt19937_64 &rng, Watch &w) {
    const size_t i = rng() % kSlots;
    FT_HANDLE h = slots_[i].exchange(nullptr);
    if (!h) return;
    const uint64_t how = rng() % 4;
    CloseTaken(i, h, w, how == 1, how == 0);
}

void ApiFuzz::List(std::mt19937_64 &rng, Watch &w) {
    char names[16][64];
    char *ptrs[17];
    for (int i = 0; i < 16; ++i) ptrs[i] = names[i];
    ptrs[16] = nullptr;
    uint32_t n = 0;
    switch (rng() % 6) {
        case 0: {
            Timed t(w, "FT_ListDevices number");
            Expect("FT_ListDevices", FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), {FT_OK});
            break;
        }
        case 1: {
            Timed t(w, "FT_ListDevices all");
            const uint32_t how =
                (uint32_t[]){FT_OPEN_BY_SERIAL_NUMBER, FT_OPEN_BY_DESCRIPTION}[rng() % 2];
            Expect("FT_ListDevices all", FT_ListDevices(ptrs, &n, FT_LIST_ALL | how),
                   {FT_OK, FT_INVALID_PARAMETER, FT_DEVICE_NOT_FOUND});
            break;
        }
        case 2: {
            Timed t(w, "FT_ListDevices index");
            const uint32_t sel = static_cast<uint32_t>(rng() % 8);
            char name[64];
            uint32_t loc = 0;
            void *out = sel == FT_OPEN_BY_LOCATION ? static_cast<void *>(&loc) : name;
            Expect("FT_ListDevices index",
                   FT_ListDevices(reinterpret_cast<void *>(uintptr_t{rng() % 8}), out,
                                  FT_LIST_BY_INDEX | sel),
                   {FT_OK, FT_INVALID_PARAMETER, FT_DEVICE_NOT_FOUND});
            break;
        }
        case 3: {
            Timed t(w, "FT_ListDevices invalid");
            Expect("FT_ListDevices invalid",
                   FT_ListDevices(nullptr, nullptr, static_cast<uint32_t>(rng())),
                   {FT_INVALID_PARAMETER, FT_DEVICE_NOT_FOUND});
            break;
        }
        default: {
            {
                std::shared_lock shared(open_probe_, std::defer_lock);
                std::unique_lock alone(open_probe_, std::defer_lock);
                if (full_concurrency_) {
                    shared.lock();
                } else {
                    alone.lock();
                }
                Timed t(w, "FT_CreateDeviceInfoList");
                Expect("FT_CreateDeviceInfoList", FT_CreateDeviceInfoList(&n), {FT_OK});
            }
            Timed t(w, "information list");
            FT_DEVICE_LIST_INFO_NODE nodes[16];
            uint32_t got = 0;
            if (n <= 16) {
                Expect("FT_GetDeviceInfoList", FT_GetDeviceInfoList(nodes, &got),
                       {FT_OK, FT_INVALID_PARAMETER});
            }
            uint32_t flags, type, id, loc;
            char serial[16], description[64];
            FT_HANDLE h;
            Expect("FT_GetDeviceInfoDetail",
                   FT_GetDeviceInfoDetail(static_cast<uint32_t>(rng() % 8), &flags, &type, &id,
                                          &loc, serial, description, &h),
                   {FT_OK, FT_DEVICE_NOT_FOUND, FT_INVALID_PARAMETER});
            break;
        }
    }
}

void ApiFuzz::Worker(int index) {
    std::mt19937_64 rng(seed_ * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(index) + 1);
    Watch &w = watches_[static_cast<size_t>(index)];
    EVENT_HANDLE *ev = &events_[static_cast<size_t>(index)];
    while (!stop_ && Clock::now() < end_ && calls_.load() < max_calls_) {
        const uint64_t pick = rng() % 100;
        if (pick < 6) {
            Open(rng, w);
        } else if (pick < 10) {
            Close(rng, w);
        } else if (pick < 16) {
            List(rng, w);
        } else {
            HandleCall(rng, w, ev);
        }
    }
}

// Writes numbered bytes to the loopback chip and reads them back, session
// by session: a session ends when the chip is unplugged.
void ApiFuzz::Streamer() {
    Watch &w = watches_[kWorkers];
    std::mt19937_64 rng(seed_ ^ 0x5157EA3ull);
    std::vector<uint8_t> out(4096), in(4096);
    while (!stop_ && Clock::now() < end_) {
        const uint64_t epoch = stream_plug_epoch_.load();
        if (epoch % 2 != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        FT_HANDLE h = nullptr;
        FT_STATUS s;
        {
            std::shared_lock lock(open_probe_);
            Timed t(w, "stream open");
            s = FT_OpenEx(const_cast<char *>("FZ000001"), FT_OPEN_BY_SERIAL_NUMBER, &h);
        }
        // Another thread's open by index or location, or a listing, may hold
        // the chip for a while; so may an unplug.
        Expect("stream FT_OpenEx", s,
               {FT_OK, FT_DEVICE_NOT_FOUND, FT_DEVICE_NOT_OPENED, FT_IO_ERROR});
        if (s != FT_OK) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        sessions_.fetch_add(1);
        // A write that takes this long while the chip is plugged in counts as
        // lost: far beyond what a loaded machine delays it.
        Expect("stream FT_SetTimeouts", FT_SetTimeouts(h, 1000, 15000), {FT_OK});
        // A worker that held the chip before may have left it in a bit mode,
        // which the chip keeps across opens: the stream wants the serial port.
        s = FT_SetBitMode(h, 0x00, 0x00);
        Expect("stream FT_SetBitMode", s, {FT_OK, FT_IO_ERROR});
        if (s == FT_OK) s = FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX);
        Expect("stream FT_Purge", s, {FT_OK, FT_IO_ERROR});
        uint64_t k = 0;  // position in this session's sequence
        bool attached = true;
        while (attached && !stop_ && Clock::now() < end_) {
            // The epoch from before the open: an unplug at any moment since,
            // the setup calls above included, has left this handle on a
            // chip that is gone, even once a replug has brought it back.
            const uint64_t before = epoch;
            const uint32_t n = 1 + static_cast<uint32_t>(rng() % out.size());
            for (uint32_t i = 0; i < n; ++i) out[i] = StreamByte(k + i);
            uint32_t written = 0;
            {
                Timed t(w, "stream FT_Write");
                s = FT_Write(h, out.data(), n, &written);
            }
            Expect("stream FT_Write", s, {FT_OK, FT_IO_ERROR});
            const FT_STATUS write_status = s;
            uint32_t got = 0;
            const auto give_up = Clock::now() + std::chrono::seconds(20);
            while (got < written && Clock::now() < give_up) {
                uint32_t r = 0;
                Timed t(w, "stream FT_Read");
                s = FT_Read(h, in.data() + got, written - got, &r);
                Expect("stream FT_Read", s, {FT_OK, FT_IO_ERROR});
                if (s != FT_OK) break;
                got += r;
                if (stream_plug_epoch_.load() != before && r == 0) break;
            }
            for (uint32_t i = 0; i < got; ++i) {
                if (in[i] != StreamByte(k + i)) {
                    Fail("stream byte " + std::to_string(k + i) + " of session " +
                         std::to_string(sessions_.load()) + " is " + std::to_string(in[i]) +
                         ", not " + std::to_string(StreamByte(k + i)));
                    break;
                }
            }
            streamed_.fetch_add(got);
            k += got;
            attached = stream_plug_epoch_.load() == before;
            if (attached && (written != n || got != n)) {
                Fail("the stream lost bytes while its chip stayed plugged in: wrote " +
                     std::to_string(written) + " of " + std::to_string(n) + " (status " +
                     std::to_string(write_status) + "), read back " + std::to_string(got) +
                     " (status " + std::to_string(s) + ")");
            }
        }
        Timed t(w, "stream FT_Close");
        Expect("stream FT_Close", FT_Close(h), {FT_OK});
    }
}

// The simulated bus never gives an address back, so a chip can be plugged
// in again only so many times (each chip has a bus of its own): the
// unplugs are spread over the run so that no chip runs out.
constexpr unsigned kReplugsPerChip = 110;

void ApiFuzz::Plugger(uint64_t seconds) {
    std::mt19937_64 rng(seed_ ^ 0x9106600ull);
    auto nap = [&](unsigned low, unsigned high) {
        const auto until = Clock::now() + std::chrono::milliseconds(low + rng() % (high - low));
        while (!stop_ && Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    // The mean pause between unplugs: at least a third of a second.
    const auto budget = static_cast<unsigned>(kReplugsPerChip * chips_.size());
    const auto mean_ms = static_cast<unsigned>(std::max<uint64_t>(333, seconds * 1000 / budget));
    std::vector<unsigned> replugs(chips_.size(), 0);
    while (!stop_ && Clock::now() < end_) {
        nap(mean_ms / 4, mean_ms * 7 / 4);
        if (stop_ || Clock::now() >= end_) break;
        const size_t c = rng() % chips_.size();
        if (replugs[c] >= kReplugsPerChip) continue;
        ++replugs[c];
        if (c == 0) stream_plug_epoch_.fetch_add(1);
        bed_->Unplug(*chips_[c]);
        unplugs_.fetch_add(1);
        nap(10, 300);
        bed_->Replug(*chips_[c]);
        if (c == 0) stream_plug_epoch_.fetch_add(1);
    }
}

// Every thread's stack on stderr, from gdb when the machine has it: what
// the call that never returned waits for.
void DumpStacks() {
    const std::string pid = std::to_string(getpid());
    const char *argv[] = {"gdb", "-p",  pid.c_str(),           "-batch",
                          "-nx", "-ex", "thread apply all bt", nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "gdb", nullptr, nullptr, const_cast<char *const *>(argv), environ) !=
        0) {
        return;
    }
    int status = 0;
    waitpid(child, &status, 0);
}

void ApiFuzz::Watchdog() {
    while (!stop_ && Clock::now() < end_ + kCallBound) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int64_t now = Clock::now().time_since_epoch().count();
        for (Watch &w : watches_) {
            const int64_t since = w.since.load();
            if (since != 0 && now - since > std::chrono::nanoseconds(kCallBound).count()) {
                // The call never returns: nothing can be joined, so end here.
                std::fprintf(
                    stderr, "api_fuzz: %s has not returned after %lld s (seed %llu)\n",
                    w.call.load(),
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::seconds>(kCallBound).count()),
                    static_cast<unsigned long long>(seed_));
                DumpStacks();
                std::abort();
            }
        }
    }
}

TEST_F(ApiFuzz, RandomCallsFromManyThreadsKeepEveryPromise) {
    seed_ = EnvNumber("FTD2XX_API_FUZZ_SEED", std::random_device{}());
    const uint64_t seconds = EnvNumber("FTD2XX_API_FUZZ_SECONDS", 30);
    max_calls_ = EnvNumber("FTD2XX_API_FUZZ_CALLS", 5000000);
    full_concurrency_ = EnvNumber("FTD2XX_API_FUZZ_FULL_CONCURRENCY", 1) != 0;
    std::printf(
        "api_fuzz: seed %llu, at most %llu s and %llu calls "
        "(replay with FTD2XX_API_FUZZ_SEED=%llu)\n",
        static_cast<unsigned long long>(seed_), static_cast<unsigned long long>(seconds),
        static_cast<unsigned long long>(max_calls_), static_cast<unsigned long long>(seed_));
    std::fflush(stdout);

    const ChipSpec specs[] = {
        WithSerial(ChipSpec::FT232R(), "FZ000001"), WithSerial(ChipSpec::FT2232H(), "FZ000002"),
        WithSerial(ChipSpec::FT232H(), "FZ000003"), WithSerial(ChipSpec::FT232R(), "FZ000004")};
    for (ChipSpec spec : specs) {
        spec.bus = static_cast<uint8_t>(chips_.size() + 1);
        chips_.push_back(&Add(spec));
    }
    chips_[0]->If(0).Attach(&stream_loop_);
    chips_[3]->If(0).Attach(&other_loop_);
    StartLibrary();
    for (EVENT_HANDLE &ev : events_) {
        pthread_mutex_init(&ev.eMutex, nullptr);
        pthread_cond_init(&ev.eCondVar, nullptr);
    }

    end_ = Clock::now() + std::chrono::seconds(seconds);
    std::thread watchdog([this] { Watchdog(); });
    std::vector<std::thread> threads;
    for (int i = 0; i < kWorkers; ++i) threads.emplace_back([this, i] { Worker(i); });
    threads.emplace_back([this] { Streamer(); });
    threads.emplace_back([this, seconds] { Plugger(seconds); });
    for (std::thread &t : threads) t.join();
    for (auto &slot : slots_) {
        if (FT_HANDLE h = slot.exchange(nullptr)) {
            Timed t(watches_[kWorkers + 1], "FT_Close at the end");
            Expect("FT_Close", FT_Close(h), {FT_OK});
        }
    }
    stop_ = true;
    watchdog.join();
    for (EVENT_HANDLE &ev : events_) {
        pthread_cond_destroy(&ev.eCondVar);
        pthread_mutex_destroy(&ev.eMutex);
    }
    chips_[0]->If(0).Attach(nullptr);
    chips_[3]->If(0).Attach(nullptr);

    std::printf(
        "api_fuzz: seed %llu: %llu calls, %llu successful opens, %llu unplugs, "
        "%llu stream sessions, %llu bytes streamed and checked\n",
        static_cast<unsigned long long>(seed_), static_cast<unsigned long long>(calls_.load()),
        static_cast<unsigned long long>(opened_ok_.load()),
        static_cast<unsigned long long>(unplugs_.load()),
        static_cast<unsigned long long>(sessions_.load()),
        static_cast<unsigned long long>(streamed_.load()));
    for (const std::string &f : failures_) ADD_FAILURE() << f << " (seed " << seed_ << ")";
    EXPECT_GT(streamed_.load(), 0u) << "the stream never ran";
    EXPECT_GT(opened_ok_.load(), 0u) << "no open succeeded";
}

}  // namespace apifuzz
