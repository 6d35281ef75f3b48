// Device type, names and locations of enumerated and open devices, and the
// closing of a record's USB handle.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "chip.h"
#include "ftd2xx-private.h"

namespace d2xx {

uint32_t GetDeviceType(const libusb_device_descriptor &desc) {
    return d2xx::GetDeviceType(desc.bcdDevice, desc.iSerialNumber);
}

int ReadStringAscii(libusb_device_handle *handle, uint8_t index, uint16_t *langid, char *buffer,
                    size_t size) {
    if (!buffer || size == 0) return LIBUSB_ERROR_INVALID_PARAM;
    buffer[0] = '\0';
    uint8_t raw[255] = {};
    if (*langid == 0) {
        const int r = libusb_get_string_descriptor(handle, 0, 0, raw, sizeof raw);
        if (r < 0) return r;
        if (r < 4) return LIBUSB_ERROR_IO;
        *langid = static_cast<uint16_t>(raw[2] | (raw[3] << 8));
    }
    const int r = libusb_get_string_descriptor(handle, index, *langid, raw, sizeof raw);
    if (r < 0) return r;
    if (r < 2 || raw[1] != LIBUSB_DT_STRING || raw[0] > r) return LIBUSB_ERROR_IO;
    // UTF-16LE; anything outside ASCII becomes '?'.
    size_t out = 0;
    for (int i = 2; i < raw[0]; i += 2) {
        if (out + 1 >= size) break;
        const bool ascii = (raw[i] & 0x80) == 0 && raw[i + 1] == 0;
        buffer[out++] = ascii ? static_cast<char>(raw[i]) : '?';
    }
    buffer[out] = '\0';
    return static_cast<int>(out);
}

FT_STATUS GetOpenDeviceName(libusb_device *device, libusb_device_handle *handle, char *buffer,
                            size_t size, uint32_t selection, uint16_t *langid) {
    if (!buffer || size == 0) return FT_INVALID_PARAMETER;
    buffer[0] = '\0';
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(device, &desc) < 0) return FT_DEVICE_NOT_OPENED;
    uint8_t index = 0;
    if (selection == kSelectSerial) {
        index = desc.iSerialNumber;
    } else if (selection == kSelectDescription) {
        index = desc.iProduct;
    } else {
        return FT_DEVICE_NOT_OPENED;
    }
    if (index == 0) return FT_OK;
    const int length = static_cast<int>(std::min<size_t>(size, kNameBufferSize));
    const int n = ReadStringAscii(handle, index, langid, buffer, static_cast<size_t>(length));
    if (n < 0) {
        buffer[0] = '\0';
        return FT_DEVICE_NOT_OPENED;
    }
    buffer[std::min(n, length - 1)] = '\0';
    return FT_OK;
}

FT_STATUS GetDeviceDescription(libusb_device *device, int usbInterface, char *buffer, size_t size,
                               uint32_t selection) {
    if (usbInterface < -1 || usbInterface > 5) return FT_OTHER_ERROR;
    libusb_device_handle *raw = nullptr;
    if (libusb_open(device, &raw) < 0 || !raw) return FT_DEVICE_NOT_FOUND;
    std::unique_ptr<libusb_device_handle, HandleCloser> handle(raw);
    char name[kNameBufferSize];
    uint16_t langid = 0;
    if (GetOpenDeviceName(device, handle.get(), name, sizeof name, selection, &langid) != FT_OK) {
        return FT_INVALID_PARAMETER;
    }
    handle.reset();
    char text[kFormattedNameSize];
    FormatName(text, name, NameForm::kListing, selection,
               usbInterface == -1 ? '\0' : InterfaceLetter(usbInterface));
    std::snprintf(buffer, size, "%s", text);
    return FT_OK;
}

namespace {

struct FormWidths {
    size_t serial, description;
    bool letter_within;  // the letter counts against the width
};

FormWidths Widths(NameForm form) {
    switch (form) {
        case NameForm::kListing:
            return {63, 63, true};
        case NameForm::kNode:
            return {16, 64, true};
        case NameForm::kDeviceInfo:
            break;
    }
    return {16, 64, false};
}

}  // namespace

bool LettersNames(NameForm form, uint16_t bcdDevice, int interfaces) {
    return form == NameForm::kListing ? interfaces > 1 : IsMultiInterfaceChip(bcdDevice);
}

void FormatName(char (&out)[kFormattedNameSize], const char *own, NameForm form, uint32_t selection,
                char letter) {
    std::memset(out, 0, sizeof out);
    const bool serial = selection == kSelectSerial;
    const FormWidths w = Widths(form);
    const size_t width = serial ? w.serial : w.description;
    const size_t suffix = letter == '\0' ? 0 : (serial ? 1 : 2);
    const size_t keep = w.letter_within ? width - suffix : width;
    const size_t length = own ? strnlen(own, keep) : 0;
    if (length > 0) std::memcpy(out, own, length);
    if (suffix == 2) out[length] = ' ';
    if (suffix > 0) out[length + suffix - 1] = letter;
}

int ListedInterface(const char *requested, const char *own, uint32_t selection, uint16_t bcdDevice,
                    int interfaces) {
    if (!requested || !own || own[0] == '\0') return -1;
    const size_t want = std::strlen(requested);
    for (NameForm form : {NameForm::kListing, NameForm::kNode, NameForm::kDeviceInfo}) {
        char name[kFormattedNameSize];
        if (!LettersNames(form, bcdDevice, interfaces)) {
            FormatName(name, own, form, selection, '\0');
            if (std::strcmp(name, requested) == 0) return 0;
            continue;
        }
        for (int i = 0; i < interfaces && i < 5; ++i) {
            const char letter = InterfaceLetter(i);
            FormatName(name, own, form, selection, letter);
            if (std::strlen(name) != want || std::strncmp(name, requested, want - 1) != 0) continue;
            const int last = std::toupper(static_cast<unsigned char>(requested[want - 1]));
            if (last == letter) return i;
        }
    }
    return -1;
}

FT_STATUS GetOpenDeviceLocation(libusb_device *device, uint32_t interfaceValue, uint32_t *out) {
    libusb_config_descriptor *raw = nullptr;
    if (libusb_get_config_descriptor(device, 0, &raw) < 0 || !raw) return FT_OTHER_ERROR;
    std::unique_ptr<libusb_config_descriptor, ConfigDescriptorDeleter> config(raw);
    *out = LocationId(libusb_get_bus_number(device), libusb_get_device_address(device),
                      config->bNumInterfaces > 1, interfaceValue);
    return FT_OK;
}

FT_STATUS GetDeviceLocation(libusb_device *device, uint32_t interfaceValue, uint32_t *out) {
    libusb_device_handle *raw = nullptr;
    if (libusb_open(device, &raw) < 0 || !raw) return FT_DEVICE_NOT_FOUND;
    std::unique_ptr<libusb_device_handle, HandleCloser> handle(raw);
    return GetOpenDeviceLocation(device, interfaceValue, out) == FT_OK ? FT_OK
                                                                       : FT_INVALID_PARAMETER;
}

void CloseDevice(DeviceExtension *device) {
    if (!device->usb_dev) return;
    if (device->usb_interface != -1) {
        libusb_release_interface(device->usb_dev.get(), device->usb_interface);
        device->usb_interface = -1;
    }
    device->usb_dev.reset();
}

}  // namespace d2xx
