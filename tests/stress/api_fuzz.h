// The multi-thread fuzzer's fixture: shared between the driver
// (api_fuzz_test.cpp: threads, stream, plugger, watchdog) and the table of
// random calls (api_fuzz_calls.cpp).
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_fixture.h"

namespace apifuzz {

using Clock = std::chrono::steady_clock;
using ftdisim::ChipSpec;

inline uint64_t EnvNumber(const char *name, uint64_t fallback) {
    const char *v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

// No call may take longer than this, sanitizers and a loaded machine
// included. The longest a call can wait is once for a hand-over within the
// process (four 5 s control time-outs and 2 s: an open, or a whole list),
// then for its own control requests, at most 5 s each.
inline constexpr auto kCallBound = std::chrono::seconds(60);
inline constexpr int kSlots = 6;
inline constexpr int kWorkers = 4;

class ApiFuzz : public DeviceTest {
  protected:
    struct Watch {
        std::atomic<int64_t> since{0};  // steady-clock ns when the call began; 0 idle
        std::atomic<const char *> call{nullptr};
    };

    // Marks one call of one thread, for the watchdog.
    class Timed {
      public:
        Timed(Watch &w, const char *name) : w_(w) {
            w_.call = name;
            w_.since = Clock::now().time_since_epoch().count();
        }
        ~Timed() { w_.since = 0; }

      private:
        Watch &w_;
    };

    void Fail(const std::string &what) {
        std::scoped_lock lock(fail_mutex_);
        if (failures_.size() < 20) failures_.push_back(what);
        stop_ = true;
    }
    void Check(bool ok, const char *call, FT_STATUS status) {
        calls_.fetch_add(1, std::memory_order_relaxed);
        if (!ok) Fail(std::string(call) + " returned " + std::to_string(status));
    }
    void Expect(const char *call, FT_STATUS status, std::initializer_list<FT_STATUS> allowed) {
        bool ok = false;
        for (FT_STATUS a : allowed) ok = ok || a == status;
        Check(ok, call, status);
    }

    // A handle for a call: mostly a slot's (open, closed or empty), sometimes
    // one that never was.
    // The slot's users count from before its handle is loaded until the call
    // returns: a close waits for them before any open may be given the closed
    // record's address again, so no call meant for a closed handle can land on
    // a later open's (the stream's, say).
    class SlotUse {
      public:
        SlotUse() = default;
        explicit SlotUse(std::atomic<int> *users) : users_(users) { users_->fetch_add(1); }
        SlotUse(const SlotUse &) = delete;
        SlotUse &operator=(const SlotUse &) = delete;
        ~SlotUse() {
            if (users_) users_->fetch_sub(1);
        }

      private:
        std::atomic<int> *users_ = nullptr;
    };
    FT_HANDLE PickHandle(std::mt19937_64 &rng, std::optional<SlotUse> *use) {
        static int not_a_record;
        switch (rng() % 16) {
            case 0:
                return nullptr;
            case 1:
                return &not_a_record;
            default: {
                const size_t i = rng() % kSlots;
                use->emplace(&users_[i]);
                return slots_[i].load();
            }
        }
    }
    // Closes what was taken out of slot i, while no open can run, and waits
    // for the calls still using it.
    void CloseTaken(size_t i, FT_HANDLE h, Watch &w, bool w32, bool probe);

    void Open(std::mt19937_64 &rng, Watch &w);
    void Close(std::mt19937_64 &rng, Watch &w);
    void List(std::mt19937_64 &rng, Watch &w);
    void HandleCall(std::mt19937_64 &rng, Watch &w, EVENT_HANDLE *ev);
    uint8_t StreamByte(uint64_t k) const {
        return static_cast<uint8_t>(k * 131 + (k >> 8) * 7 + (k >> 16) * 3 + seed_);
    }
    void Worker(int index);
    void Streamer();
    void Plugger(uint64_t seconds);
    void Watchdog();

    std::vector<ftdisim::Chip *> chips_;  // the stream chip first
    ftdisim::Loopback stream_loop_, other_loop_;
    std::array<std::atomic<FT_HANDLE>, kSlots> slots_{};
    std::array<std::atomic<int>, kSlots> users_{};
    // Opens (and the information list, which opens) hold it shared; a close
    // holds it alone until the calls using the closed handle have returned
    // (and its probe is done), so that no open can be given the closed
    // record's address while a call may still aim at it.
    std::shared_mutex open_probe_;
    // Settings calls on one handle from several threads at once, and the
    // information list built while opens run: both promised, and exercised
    // unless FTD2XX_API_FUZZ_FULL_CONCURRENCY is 0, which serialises the
    // workers' settings calls (still alongside reads, writes, listings,
    // closes and unplugs) and keeps the list clear of opens, to tell a
    // finding of those two apart from the rest.
    bool full_concurrency_ = true;
    std::mutex settings_mutex_;
    std::unique_lock<std::mutex> Settings() {
        return full_concurrency_ ? std::unique_lock<std::mutex>()
                                 : std::unique_lock<std::mutex>(settings_mutex_);
    }
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> calls_{0}, unplugs_{0}, streamed_{0}, opened_ok_{0}, sessions_{0};
    // Unplugs of the stream chip so far; odd while it is unplugged.
    std::atomic<uint64_t> stream_plug_epoch_{0};
    std::vector<Watch> watches_ = std::vector<Watch>(kWorkers + 2);
    // One notification handle per worker. They outlive every handle that
    // may have been armed with them: the test closes the slots first.
    std::array<EVENT_HANDLE, kWorkers> events_{};
    std::mutex fail_mutex_;
    std::vector<std::string> failures_;
    uint64_t seed_ = 0, max_calls_ = 0;
    Clock::time_point end_;
};

}  // namespace apifuzz
