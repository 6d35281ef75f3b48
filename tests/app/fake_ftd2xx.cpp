#include "fake_ftd2xx.h"

#include <algorithm>
#include <cstring>

namespace fake {
namespace {

Library gLibrary;
int gDevice;  // its address is the one valid handle

bool Valid(FT_HANDLE handle) {
    return handle == Handle();
}

}  // namespace

Library &library() {
    return gLibrary;
}

void Reset() {
    gLibrary = Library{};
}

void ListDevices(const std::vector<std::string> &serials) {
    gLibrary.devices.clear();
    for (const std::string &serial : serials) {
        ListedDevice device;
        std::memcpy(device.serial.data(), serial.data(), std::min<std::size_t>(serial.size(), 16));
        gLibrary.devices.push_back(device);
    }
    gLibrary.reportedCount = static_cast<std::uint32_t>(serials.size());
}

FT_HANDLE Handle() {
    return &gDevice;
}

Bytes Frame(std::initializer_list<unsigned char> bytes) {
    return Bytes(bytes);
}

}  // namespace fake

using fake::gLibrary;

extern "C" {

FT_STATUS FT_CreateDeviceInfoList(uint32_t *numDevs) {
    *numDevs = gLibrary.reportedCount;
    return FT_OK;
}

FT_STATUS FT_GetDeviceInfoDetail(uint32_t index, uint32_t *flags, uint32_t *type, uint32_t *id,
                                 uint32_t *locId, void *serialNumber, void *description,
                                 FT_HANDLE *handle) {
    if (index >= gLibrary.devices.size() || gLibrary.devices[index].detailFails) {
        return FT_DEVICE_NOT_FOUND;
    }
    *flags = 0;
    *type = FT_DEVICE_232R;
    *id = 0x04036001;
    *locId = index + 1;
    std::memcpy(serialNumber, gLibrary.devices[index].serial.data(), 16);
    std::memset(description, 'D', 64);  // no terminator: must not be read as a string
    *handle = nullptr;
    return FT_OK;
}

FT_STATUS FT_OpenEx(void *pArg1, uint32_t Flags, FT_HANDLE *handle) {
    if (pArg1 == nullptr || Flags != FT_OPEN_BY_SERIAL_NUMBER) return FT_INVALID_PARAMETER;
    gLibrary.openedSerials.emplace_back(static_cast<const char *>(pArg1));
    if (gLibrary.openStatus != FT_OK) return gLibrary.openStatus;
    *handle = fake::Handle();
    return FT_OK;
}

FT_STATUS FT_Close(FT_HANDLE ftHandle) {
    if (!fake::Valid(ftHandle)) return FT_INVALID_HANDLE;
    ++gLibrary.closeCalls;
    return FT_OK;
}

FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, uint32_t baudRate) {
    if (!fake::Valid(ftHandle)) return FT_INVALID_HANDLE;
    if (gLibrary.baudStatus == FT_OK) gLibrary.baudRate = baudRate;
    return gLibrary.baudStatus;
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle, uint8_t wordLength, uint8_t stopBits,
                                    uint8_t parity) {
    if (!fake::Valid(ftHandle)) return FT_INVALID_HANDLE;
    if (gLibrary.dataStatus == FT_OK) gLibrary.dataCharacteristics = {wordLength, stopBits, parity};
    return gLibrary.dataStatus;
}

FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, uint32_t readTimeout, uint32_t writeTimeout) {
    if (!fake::Valid(ftHandle)) return FT_INVALID_HANDLE;
    gLibrary.timeouts.emplace_back(readTimeout, writeTimeout);
    return FT_OK;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE ftHandle, uint32_t *rxBytes) {
    if (!fake::Valid(ftHandle)) return FT_INVALID_HANDLE;
    *rxBytes = static_cast<uint32_t>(std::min<std::size_t>(gLibrary.rx.size(), 65536));
    return FT_OK;
}

FT_STATUS FT_Read(FT_HANDLE ftHandle, void *buffer, uint32_t bytesToRead, uint32_t *bytesReturned) {
    if (!fake::Valid(ftHandle)) return FT_INVALID_HANDLE;
    gLibrary.readSizes.push_back(bytesToRead);
    *bytesReturned = 0;
    if (gLibrary.readStatus != FT_OK) return gLibrary.readStatus;
    const std::size_t n = std::min<std::size_t>(bytesToRead, gLibrary.rx.size());
    auto *out = static_cast<unsigned char *>(buffer);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = gLibrary.rx.front();
        gLibrary.rx.pop_front();
    }
    *bytesReturned = static_cast<uint32_t>(n);
    return FT_OK;
}

FT_STATUS FT_Write(FT_HANDLE ftHandle, const void *buffer, uint32_t bytesToWrite,
                   uint32_t *bytesWritten) {
    if (!fake::Valid(ftHandle)) return FT_INVALID_HANDLE;
    *bytesWritten = 0;
    if (gLibrary.writeStatus != FT_OK) return gLibrary.writeStatus;
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    gLibrary.writes.emplace_back(bytes, bytes + bytesToWrite);
    *bytesWritten = bytesToWrite;
    if (gLibrary.onWrite) gLibrary.onWrite(gLibrary.writes.back());
    return FT_OK;
}

}  // extern "C"
