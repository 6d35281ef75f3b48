/*
 * A device lister of the kind many D2XX tools start with, in plain C and the
 * Win32-style types: counts and names the devices with FT_ListDevices and
 * with the device-information list, checks that both agree, and opens every
 * device by serial number, description, location and index. Built as C99 and
 * C11, and once with _WIN32 defined, as some programs' build files do on Linux.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "WinTypes.h"
#include "ftd2xx.h"

#define MAX_DEVICES 16

static int failures = 0;

static void check(int ok, DWORD index, const char *what) {
    if (!ok) {
        fprintf(stderr, "lister: device %lu: %s\n", (unsigned long)index, what);
        ++failures;
    }
}

/* Whether opening with this selection (0: FT_Open by index) reaches the
 * device at location loc. */
static int opens_at(PVOID arg, DWORD how, DWORD loc) {
    FT_HANDLE handle = NULL;
    DWORD found = 0;
    int ok;
    FT_STATUS status =
        how == 0 ? FT_Open((int)(uintptr_t)arg, &handle) : FT_OpenEx(arg, how, &handle);
    if (status != FT_OK) return 0;
    ok = FT_GetDeviceLocId(handle, &found) == FT_OK && found == loc;
    return FT_Close(handle) == FT_OK && ok;
}

int main(void) {
    DWORD count = 0, listed = 0, i;
    char names[MAX_DEVICES][64];
    char *name_ptrs[MAX_DEVICES];
    FT_DEVICE_LIST_INFO_NODE *nodes;

    if (FT_ListDevices(&count, NULL, FT_LIST_NUMBER_ONLY) != FT_OK || count == 0 ||
        count > MAX_DEVICES) {
        fprintf(stderr, "lister: no devices\n");
        return 1;
    }
    for (i = 0; i < MAX_DEVICES; ++i) name_ptrs[i] = names[i];
    check(FT_ListDevices(name_ptrs, &listed, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER) == FT_OK &&
              listed == count,
          0, "FT_LIST_ALL");
    check(FT_CreateDeviceInfoList(&listed) == FT_OK && listed == count, 0, "information list");
    nodes = (FT_DEVICE_LIST_INFO_NODE *)calloc(count, sizeof *nodes);
    if (nodes == NULL || FT_GetDeviceInfoList(nodes, &listed) != FT_OK) return 1;

    for (i = 0; i < count; ++i) {
        char serial[64] = "", description[64] = "";
        DWORD loc = 0, flags = 0, id = 0;
        FT_HANDLE held = NULL;
        PVOID index = (PVOID)(uintptr_t)i;
        check(FT_ListDevices(index, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) == FT_OK &&
                  FT_ListDevices(index, description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) ==
                      FT_OK &&
                  FT_ListDevices(index, &loc, FT_LIST_BY_INDEX | FT_OPEN_BY_LOCATION) == FT_OK,
              i, "FT_LIST_BY_INDEX");
        check(strcmp(serial, names[i]) == 0, i, "FT_LIST_ALL and FT_LIST_BY_INDEX differ");
        check(strncmp(serial, nodes[i].SerialNumber, sizeof nodes[i].SerialNumber) == 0 &&
                  strncmp(description, nodes[i].Description, sizeof nodes[i].Description) == 0 &&
                  loc == nodes[i].LocId,
              i, "FT_ListDevices and the information list differ");
        check(FT_GetDeviceInfoDetail(i, &flags, NULL, &id, NULL, NULL, NULL, &held) == FT_OK &&
                  flags == nodes[i].Flags && id == nodes[i].ID && held == NULL,
              i, "FT_GetDeviceInfoDetail");
        check(opens_at(serial, FT_OPEN_BY_SERIAL_NUMBER, loc), i, "open by serial number");
        check(opens_at(description, FT_OPEN_BY_DESCRIPTION, loc), i, "open by description");
        check(opens_at((PVOID)(uintptr_t)loc, FT_OPEN_BY_LOCATION, loc), i, "open by location");
        check(opens_at(index, 0, loc), i, "FT_Open by index reaches another device");
        printf("%lu: %s \"%s\" at 0x%lx\n", (unsigned long)i, serial, description,
               (unsigned long)loc);
    }
    free(nodes);
    return failures == 0 ? 0 : 1;
}
