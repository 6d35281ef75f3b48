// Event notification: the application arms a mask and its own condition
// variable; the processor thread records one FT_EVENT_* bit at a time in
// event_status and signals the condition variable (signalSomeEvents); the
// application collects the bit here.
#include "ftd2xx-private.h"

using namespace d2xx;

extern "C" {

FTD2XX_API FT_STATUS FT_SetEventNotification(FT_HANDLE ftHandle, uint32_t dwEventMask,
                                             void *pvArg) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        if (!pvArg) return FT_INVALID_PARAMETER;
        if (dwEventMask == 0) {
            // Disarmed: the target and mask stay, unused, until the next arming.
            d->event_mode.fetch_and(~1u);
            return FT_OK;
        }
        // The processor reads these only while event_mode bit 0 is set; the
        // target and mask are in place before the bit is. Armings from
        // several threads take effect one at a time, target and mask paired.
        MutexLock lock(d->settings_mutex);
        d->event_status = 0;
        d->notify_target = pvArg;
        d->notify_mask = dwEventMask;
        d->notify_handle = ftHandle;
        d->event_mode.fetch_or(1u);
        return FT_OK;
    });
}

FTD2XX_API FT_STATUS FT_GetEventStatus(FT_HANDLE ftHandle, uint32_t *dwEventDWord) {
    return WithDevice(ftHandle, [=](DeviceExtension *d) -> FT_STATUS {
        if (!dwEventDWord) return FT_INVALID_PARAMETER;
        // One exchange: a bit the processor records meanwhile is either
        // collected now or left for the next call, never lost.
        *dwEventDWord = d->event_status.exchange(0);
        return FT_OK;
    });
}

FTD2XX_API FT_STATUS FT_SetWaitMask(FT_HANDLE, uint32_t) {
    return FT_NOT_SUPPORTED;
}

FTD2XX_API FT_STATUS FT_WaitOnMask(FT_HANDLE, uint32_t *) {
    return FT_NOT_SUPPORTED;
}

}  // extern "C"
