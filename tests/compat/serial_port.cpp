// A serial-port class of the kind C++ programs wrap around D2XX, with a small
// result type, in C++98 so that it builds as C++98, C++11 and C++17. Opens the
// device named on the command line (wired in loopback, CTS raised), sets
// 115200 8N1 with RTS/CTS, writes and reads back; then the same again through
// the Win32-style calls.
#include <cstdio>
#include <cstring>
#include <string>

#include "WinTypes.h"
#include "ftd2xx.h"

namespace {

// A call's status together with the call's name, for the message.
class Result {
  public:
    Result(const char *call, FT_STATUS status) : call_(call), status_(status) {}
    bool ok() const { return FT_SUCCESS(status_); }
    bool report() const {
        if (!ok())
            std::fprintf(stderr, "serial_port: %s: status %lu\n", call_, (unsigned long)status_);
        return ok();
    }

  private:
    const char *call_;
    FT_STATUS status_;
};

#define TRY(call)                    \
    do {                             \
        const Result r(#call, call); \
        if (!r.ok()) return r;       \
    } while (0)

class SerialPort {
  public:
    SerialPort() : handle_(NULL) {}
    ~SerialPort() { close(); }

    Result open(const std::string &serial) {
        std::string name(serial);
        return Result("FT_OpenEx", FT_OpenEx(&name[0], FT_OPEN_BY_SERIAL_NUMBER, &handle_));
    }
    Result configure(ULONG baud) {
        TRY(FT_SetBaudRate(handle_, baud));
        TRY(FT_SetDataCharacteristics(handle_, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE));
        TRY(FT_SetFlowControl(handle_, FT_FLOW_RTS_CTS, 0x11, 0x13));
        TRY(FT_SetTimeouts(handle_, 20000, 20000));
        return Result("FT_Purge", FT_Purge(handle_, FT_PURGE_RX | FT_PURGE_TX));
    }
    bool clearToSend() const {
        ULONG lines = 0;
        return FT_GetModemStatus(handle_, &lines) == FT_OK && (lines & MS_CTS_ON) != 0;
    }
    Result write(const std::string &data) {
        DWORD written = 0;
        TRY(FT_Write(handle_, data.data(), (DWORD)data.size(), &written));
        return Result("FT_Write (short)", written == data.size() ? FT_OK : FT_IO_ERROR);
    }
    Result read(std::string *data, DWORD size) {
        std::string buffer(size, '\0');
        DWORD got = 0;
        const Result r("FT_Read", FT_Read(handle_, &buffer[0], size, &got));
        data->assign(buffer, 0, got);
        return r;
    }
    void close() {
        if (handle_ != NULL) FT_Close(handle_);
        handle_ = NULL;
    }

  private:
    SerialPort(const SerialPort &);
    SerialPort &operator=(const SerialPort &);
    FT_HANDLE handle_;
};

bool EchoThroughClass(const char *serial) {
    SerialPort port;
    const std::string sent = "ping through the class";
    std::string back;
    if (!port.open(serial).report() || !port.configure(FT_BAUD_115200).report()) return false;
    if (!port.clearToSend()) return false;
    if (!port.write(sent).report() || !port.read(&back, (DWORD)sent.size()).report()) return false;
    return back == sent;
}

bool EchoThroughWin32(const char *serial) {
    FT_HANDLE h = FT_W32_CreateFile(serial, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FT_OPEN_BY_SERIAL_NUMBER, NULL);
    if (h == INVALID_HANDLE_VALUE) return false;
    FTDCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    BOOL ok = FT_W32_GetCommState(h, &dcb);
    dcb.BaudRate = FT_BAUD_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    FTTIMEOUTS timeouts = {0, 0, 20000, 0, 20000};
    ok = ok && FT_W32_SetCommState(h, &dcb) && FT_W32_SetCommTimeouts(h, &timeouts) &&
         FT_W32_PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR);

    const char sent[] = "ping through Win32";
    char back[sizeof sent] = "";
    DWORD written = 0, got = 0, errors = 0;
    FTCOMSTAT stat;
    ok = ok && FT_W32_WriteFile(h, sent, sizeof sent, &written, NULL) && written == sizeof sent &&
         FT_W32_ReadFile(h, back, sizeof back, &got, NULL) && got == sizeof back &&
         std::memcmp(sent, back, sizeof sent) == 0 && FT_W32_ClearCommError(h, &errors, &stat) &&
         errors == 0 && stat.cbInQue == 0;
    if (!ok)
        std::fprintf(stderr, "serial_port: Win32 last error %lu\n",
                     (unsigned long)FT_W32_GetLastError(h));
    return FT_W32_CloseHandle(h) && ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    const bool through_class = EchoThroughClass(argv[1]);
    const bool through_win32 = EchoThroughWin32(argv[1]);
    std::printf("class %s, Win32 %s\n", through_class ? "ok" : "FAILED",
                through_win32 ? "ok" : "FAILED");
    return through_class && through_win32 ? 0 : 1;
}
