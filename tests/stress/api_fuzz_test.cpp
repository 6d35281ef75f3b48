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

namespace {

using Clock = std::chrono::steady_clock;
using ftdisim::ChipSpec;

uint64_t EnvNumber(const char *name, uint64_t fallback) {
    const char *v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

// No call may take longer than this, sanitizers and a loaded machine
// included: the longest wait a call can make is a 5 s control request.
constexpr auto kCallBound = std::chrono::seconds(30);
constexpr int kSlots = 6;
constexpr int kWorkers = 4;

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

void ApiFuzz::HandleCall(std::mt19937_64 &rng, Watch &w, EVENT_HANDLE *ev) {
    std::optional<SlotUse> use;
    FT_HANDLE h = PickHandle(rng, &use);
    const FT_STATUS kIo[] = {FT_OK, FT_INVALID_HANDLE, FT_IO_ERROR};
    const std::initializer_list<FT_STATUS> io{FT_OK, FT_INVALID_HANDLE, FT_IO_ERROR};
    const std::initializer_list<FT_STATUS> io_param{FT_OK, FT_INVALID_HANDLE, FT_IO_ERROR,
                                                    FT_INVALID_PARAMETER};
    const std::initializer_list<FT_STATUS> plain{FT_OK, FT_INVALID_HANDLE};
    (void)kIo;
    uint32_t a = 0, b = 0, c = 0;
    uint8_t byte = 0;
    char buf[512];
    const bool null = rng() % 8 == 0;  // a missing pointer
    switch (rng() % 36) {
        case 0: {
            Timed t(w, "FT_Read");
            Expect("FT_Read", FT_Read(h, null ? nullptr : buf, rng() % sizeof buf, &a), io_param);
            if (a > sizeof buf) Fail("FT_Read returned more than asked");
            break;
        }
        case 1: {
            Timed t(w, "FT_Write");
            std::memset(buf, 0x5A, sizeof buf);
            Expect("FT_Write", FT_Write(h, null ? nullptr : buf, rng() % sizeof buf, &a), io_param);
            break;
        }
        case 2: {
            const auto settings = Settings();
            Timed t(w, "FT_Purge");
            Expect("FT_Purge", FT_Purge(h, static_cast<uint32_t>(rng() % 4)), io);
            break;
        }
        case 3: {
            const auto settings = Settings();
            Timed t(w, "FT_ResetDevice");
            Expect("FT_ResetDevice", FT_ResetDevice(h), io);
            break;
        }
        case 4: {
            const auto settings = Settings();
            Timed t(w, "FT_SetBaudRate");
            const uint32_t rates[] = {300, 9600, 115200, 3000000, 12000000, 1, 0xFFFFFFFF};
            Expect("FT_SetBaudRate", FT_SetBaudRate(h, rates[rng() % std::size(rates)]), io);
            break;
        }
        case 5: {
            const auto settings = Settings();
            Timed t(w, "FT_SetDataCharacteristics");
            Expect("FT_SetDataCharacteristics",
                   FT_SetDataCharacteristics(h, static_cast<uint8_t>(7 + rng() % 2),
                                             static_cast<uint8_t>(rng() % 3 * 2),
                                             static_cast<uint8_t>(rng() % 5)),
                   io_param);
            break;
        }
        case 6: {
            const auto settings = Settings();
            Timed t(w, "FT_SetFlowControl");
            const uint16_t modes[] = {0, 0x0100, 0x0200, 0x0400, 0x1234};
            Expect("FT_SetFlowControl", FT_SetFlowControl(h, modes[rng() % 5], 0x11, 0x13),
                   io_param);
            break;
        }
        case 7: {
            const auto settings = Settings();
            Timed t(w, "modem lines");
            FT_STATUS(*calls[])
            (FT_HANDLE) = {FT_SetDtr, FT_ClrDtr,     FT_SetRts,
                           FT_ClrRts, FT_SetBreakOn, FT_SetBreakOff};
            Expect("FT_Set/Clr DTR/RTS/Break", calls[rng() % 6](h), io);
            break;
        }
        case 8: {
            Timed t(w, "FT_GetModemStatus");
            Expect("FT_GetModemStatus", FT_GetModemStatus(h, null ? nullptr : &a), io_param);
            break;
        }
        case 9: {
            Timed t(w, "FT_GetQueueStatus");
            Expect("FT_GetQueueStatus", FT_GetQueueStatus(h, null ? nullptr : &a), io_param);
            break;
        }
        case 10: {
            Timed t(w, "FT_GetQueueStatusEx");
            Expect("FT_GetQueueStatusEx", FT_GetQueueStatusEx(h, null ? nullptr : &a), io_param);
            break;
        }
        case 11: {
            Timed t(w, "FT_GetStatus");
            Expect("FT_GetStatus", FT_GetStatus(h, &a, null ? nullptr : &b, &c), io_param);
            break;
        }
        case 12: {
            const auto settings = Settings();
            Timed t(w, "FT_SetTimeouts");
            Expect("FT_SetTimeouts",
                   FT_SetTimeouts(h, static_cast<uint32_t>(1 + rng() % 50),
                                  static_cast<uint32_t>(1 + rng() % 200)),
                   plain);
            break;
        }
        case 13: {
            const auto settings = Settings();
            Timed t(w, "FT_SetLatencyTimer");
            Expect("FT_SetLatencyTimer", FT_SetLatencyTimer(h, static_cast<uint8_t>(rng())),
                   io_param);
            break;
        }
        case 14: {
            Timed t(w, "FT_GetLatencyTimer");
            Expect("FT_GetLatencyTimer", FT_GetLatencyTimer(h, null ? nullptr : &byte), io_param);
            break;
        }
        case 15: {
            const auto settings = Settings();
            Timed t(w, "FT_SetBitMode");
            Expect("FT_SetBitMode",
                   FT_SetBitMode(h, static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng() % 2)),
                   io);
            break;
        }
        case 16: {
            Timed t(w, "FT_GetBitMode");
            Expect("FT_GetBitMode", FT_GetBitMode(h, null ? nullptr : &byte), io_param);
            break;
        }
        case 17: {
            const auto settings = Settings();
            Timed t(w, "FT_SetUSBParameters");
            const uint32_t sizes[] = {64, 4096, 65536, 0, 70000, 63};
            Expect("FT_SetUSBParameters",
                   FT_SetUSBParameters(h, sizes[rng() % 6], sizes[rng() % 6]), io_param);
            break;
        }
        case 18: {
            const auto settings = Settings();
            Timed t(w, "FT_SetChars");
            Expect("FT_SetChars",
                   FT_SetChars(h, static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng() % 2),
                               static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng() % 2)),
                   io);
            break;
        }
        case 19: {
            Timed t(w, "FT_GetDeviceInfo");
            FT_DEVICE type;
            char serial[18], description[68];
            Expect("FT_GetDeviceInfo",
                   FT_GetDeviceInfo(h, &type, &a, serial, null ? nullptr : description, nullptr),
                   {FT_OK, FT_INVALID_HANDLE, FT_OTHER_ERROR});
            break;
        }
        case 20: {
            Timed t(w, "FT_GetDeviceLocId");
            Expect("FT_GetDeviceLocId", FT_GetDeviceLocId(h, null ? nullptr : &a),
                   {FT_OK, FT_INVALID_HANDLE, FT_INVALID_PARAMETER});
            break;
        }
        case 21: {
            const auto settings = Settings();
            Timed t(w, "FT_SetEventNotification");
            Expect(
                "FT_SetEventNotification",
                FT_SetEventNotification(h, static_cast<uint32_t>(rng() % 8), null ? nullptr : ev),
                {FT_OK, FT_INVALID_HANDLE, FT_INVALID_PARAMETER});
            break;
        }
        case 22: {
            // As an application waits: look at the status, sleep on the handle.
            Timed t(w, "notification wait");
            pthread_mutex_lock(&ev->eMutex);
            const FT_STATUS s = FT_GetStatus(h, &a, &b, &c);
            Expect("FT_GetStatus", s, io);
            if (s == FT_OK && c == 0) {
                timespec deadline{};
                clock_gettime(CLOCK_REALTIME, &deadline);
                deadline.tv_nsec += 20 * 1000 * 1000;
                if (deadline.tv_nsec >= 1000000000) {
                    deadline.tv_nsec -= 1000000000;
                    deadline.tv_sec += 1;
                }
                pthread_cond_timedwait(&ev->eCondVar, &ev->eMutex, &deadline);
            }
            pthread_mutex_unlock(&ev->eMutex);
            Expect("FT_GetEventStatus", FT_GetEventStatus(h, null ? nullptr : &a),
                   {FT_OK, FT_INVALID_HANDLE, FT_INVALID_PARAMETER});
            break;
        }
        case 23: {
            const auto settings = Settings();
            Timed t(w, "FT_W32_SetCommMask");
            const uint32_t masks[] = {0, EV_RXCHAR, EV_TXEMPTY, EV_RXCHAR | EV_TXEMPTY | EV_ERR};
            FT_W32_SetCommMask(h, masks[rng() % 4]);
            calls_.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        case 24: {
            // Ended by data, a write, a mask change, the close or an unplug.
            Timed t(w, "FT_W32_WaitCommEvent");
            FT_W32_WaitCommEvent(h, null ? nullptr : &a, nullptr);
            calls_.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        case 25: {
            Timed t(w, "FT_W32_ClearCommError");
            FTCOMSTAT stat;
            FT_W32_ClearCommError(h, &a, null ? nullptr : &stat);
            calls_.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        case 26: {
            const auto settings = Settings();
            Timed t(w, "FT_W32_GetCommState/SetCommState");
            FTDCB dcb{};
            dcb.DCBlength = sizeof dcb;
            if (FT_W32_GetCommState(h, &dcb)) {
                dcb.BaudRate = (rng() % 2) ? 9600 : 115200;
                FT_W32_SetCommState(h, &dcb);
            }
            calls_.fetch_add(2, std::memory_order_relaxed);
            break;
        }
        case 27: {
            const auto settings = Settings();
            Timed t(w, "FT_W32_PurgeComm");
            FT_W32_PurgeComm(h, static_cast<uint32_t>(rng() % 16));
            FT_W32_EscapeCommFunction(h, static_cast<uint32_t>(rng() % 10));
            calls_.fetch_add(2, std::memory_order_relaxed);
            break;
        }
        case 28: {
            const auto settings = Settings();
            Timed t(w, "FT_W32_GetCommModemStatus");
            FT_W32_GetCommModemStatus(h, null ? nullptr : &a);
            FT_W32_SetCommBreak(h);
            FT_W32_ClearCommBreak(h);
            calls_.fetch_add(3, std::memory_order_relaxed);
            break;
        }
        case 29: {
            const auto settings = Settings();
            Timed t(w, "FT_W32_ReadFile/WriteFile");
            FTTIMEOUTS timeouts{};
            timeouts.ReadTotalTimeoutConstant = 10;
            timeouts.WriteTotalTimeoutConstant = 100;
            FT_W32_SetCommTimeouts(h, &timeouts);
            FT_W32_WriteFile(h, "fuzz", 4, &a, nullptr);
            FT_W32_ReadFile(h, buf, rng() % 64, &b, nullptr);
            FT_W32_GetLastError(h);
            calls_.fetch_add(4, std::memory_order_relaxed);
            break;
        }
        case 30: {
            Timed t(w, "FT_ReadEE");
            uint16_t word = 0;
            Expect("FT_ReadEE",
                   FT_ReadEE(h, static_cast<uint32_t>(rng() % 160), null ? nullptr : &word),
                   {FT_OK, FT_INVALID_HANDLE, FT_INVALID_PARAMETER, FT_EEPROM_READ_FAILED});
            break;
        }
        case 31: {
            Timed t(w, "FT_WriteEE");
            Expect("FT_WriteEE",
                   FT_WriteEE(h, static_cast<uint32_t>(rng() % 160), static_cast<uint16_t>(rng())),
                   {FT_OK, FT_INVALID_HANDLE, FT_EEPROM_WRITE_FAILED});
            break;
        }
        case 32: {
            const auto settings = Settings();
            Timed t(w, "FT_SetDeadmanTimeout");
            Expect("FT_SetDeadmanTimeout",
                   FT_SetDeadmanTimeout(h, static_cast<uint32_t>(rng() % 3 * 2500)),
                   {FT_OK, FT_INVALID_HANDLE, FT_INVALID_PARAMETER});
            break;
        }
        case 33: {
            Timed t(w, "FT_GetDriverVersion");
            Expect("FT_GetDriverVersion", FT_GetDriverVersion(h, null ? nullptr : &a),
                   {FT_OK, FT_INVALID_PARAMETER});
            Expect("FT_GetVIDPID", FT_GetVIDPID(&a, null ? nullptr : &b),
                   {FT_OK, FT_INVALID_PARAMETER});
            Expect("FT_SetVIDPID", FT_SetVIDPID(0x0403, 0x6001), {FT_OK});
            break;
        }
        case 34: {
            const auto settings = Settings();
            Timed t(w, "FT_StopInTask/FT_RestartInTask");
            const FT_STATUS s = rng() % 2 ? FT_StopInTask(h) : FT_RestartInTask(h);
            Expect("FT_StopInTask/FT_RestartInTask", s, {FT_OK, FT_INVALID_HANDLE, FT_IO_ERROR});
            if (s == FT_OK && rng() % 2) FT_RestartInTask(h);
            break;
        }
        default: {
            const auto settings = Settings();
            Timed t(w, "FT_SetDivisor");
            Expect("FT_SetDivisor", FT_SetDivisor(h, static_cast<uint16_t>(rng())), io);
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

}  // namespace
