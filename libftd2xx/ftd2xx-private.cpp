// Device type, names and locations of enumerated and open devices, and the
// closing of a record's USB handle.
#include <cstring>

#include "chip.h"
#include "ftd2xx-private.h"

namespace d2xx {

uint32_t GetDeviceType(const libusb_device_descriptor &desc) {
    return d2xx::GetDeviceType(desc.bcdDevice, desc.iSerialNumber);
}

FT_STATUS GetOpenDeviceName(libusb_device *device, libusb_device_handle *handle, char *buffer,
                            size_t size, uint32_t selection) {
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
    const int n = libusb_get_string_descriptor_ascii(
        handle, index, reinterpret_cast<unsigned char *>(buffer), length);
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
    if (GetOpenDeviceName(device, handle.get(), name, sizeof name, selection) != FT_OK) {
        return FT_INVALID_PARAMETER;
    }
    handle.reset();
    if (usbInterface == -1) {
        std::snprintf(buffer, size, "%s", name);
        return FT_OK;
    }
    const char letter = InterfaceLetter(usbInterface);
    if (selection == kSelectSerial) {
        AppendSerialLetter(buffer, size, name, letter);
    } else {
        AppendDescriptionLetter(buffer, size, name, letter);
    }
    return FT_OK;
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
