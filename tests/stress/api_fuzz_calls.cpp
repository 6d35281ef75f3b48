// The table of random calls one worker makes: every exported call, with
// valid and invalid arguments, on a handle picked from the shared slots.
#include "api_fuzz.h"

namespace apifuzz {

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

}  // namespace apifuzz
