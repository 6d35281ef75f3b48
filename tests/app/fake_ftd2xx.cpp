// The one D2XX call the console's link protocol makes, for programs that run
// the receive state machine without a device (the rx_frames fuzz target):
// every write succeeds.
#include "ftd2xx.h"

FT_STATUS FT_Write(FT_HANDLE, const void *, uint32_t bytesToWrite, uint32_t *bytesWritten) {
    if (bytesWritten != nullptr) *bytesWritten = bytesToWrite;
    return FT_OK;
}
