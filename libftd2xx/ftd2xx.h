/* Placeholder: the full public header is being written. */
#ifndef FTD2XX_H
#define FTD2XX_H
#include <stdint.h>
#define FTD2XX_API __attribute__((visibility("default")))
typedef void *FT_HANDLE;
typedef uint32_t FT_STATUS;
enum { FT_OK = 0, FT_INVALID_HANDLE, FT_DEVICE_NOT_FOUND, FT_DEVICE_NOT_OPENED, FT_IO_ERROR,
       FT_INSUFFICIENT_RESOURCES, FT_INVALID_PARAMETER, FT_INVALID_BAUD_RATE,
       FT_DEVICE_NOT_OPENED_FOR_ERASE, FT_DEVICE_NOT_OPENED_FOR_WRITE, FT_FAILED_TO_WRITE_DEVICE,
       FT_EEPROM_READ_FAILED, FT_EEPROM_WRITE_FAILED, FT_EEPROM_ERASE_FAILED,
       FT_EEPROM_NOT_PRESENT, FT_EEPROM_NOT_PROGRAMMED, FT_INVALID_ARGS, FT_NOT_SUPPORTED,
       FT_OTHER_ERROR, FT_DEVICE_LIST_NOT_READY };
#ifdef __cplusplus
extern "C" {
#endif
FTD2XX_API FT_STATUS FT_GetLibraryVersion(uint32_t *lpdwVersion);
FTD2XX_API FT_STATUS FT_GetDriverVersion(FT_HANDLE ftHandle, uint32_t *lpdwVersion);
FTD2XX_API FT_STATUS FT_SetVIDPID(uint32_t dwVID, uint32_t dwPID);
FTD2XX_API FT_STATUS FT_GetVIDPID(uint32_t *pdwVID, uint32_t *pdwPID);
FTD2XX_API FT_STATUS FT_Rescan(void);
FTD2XX_API FT_STATUS FT_Reload(uint16_t wVid, uint16_t wPid);
FTD2XX_API FT_STATUS FT_GetComPortNumber(FT_HANDLE ftHandle, int32_t *lpdwComPortNumber);
FTD2XX_API FT_STATUS FT_ComPortIdle(FT_HANDLE ftHandle);
FTD2XX_API FT_STATUS FT_ComPortCancelIdle(FT_HANDLE ftHandle);
#ifdef __cplusplus
}
#endif
#endif
