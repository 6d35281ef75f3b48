// Sleeping until the open device has something for the key loop: the
// library's event notification, turned into a descriptor that poll(2) can
// wait on beside standard input.
#ifndef WG_DEVICE_WAKEUP_H
#define WG_DEVICE_WAKEUP_H

#include <thread>

#include "ftd2xx.h"

// While the object lives, fd() becomes readable when bytes have been received
// on `handle` since the last Collect(), and when the device is found gone. A
// watcher thread waits on the library's condition variable and passes each
// signal on to the descriptor; it starts waiting before notification is armed,
// so no signal is lost. Arming failed (a null handle, for one): fd() is -1.
//
// The condition variable and its mutex are the program's for its whole run:
// the library may signal them until the handle is closed, which may come
// after this object has gone.
class DeviceWakeup {
  public:
    explicit DeviceWakeup(FT_HANDLE handle);
    ~DeviceWakeup();
    DeviceWakeup(const DeviceWakeup &) = delete;
    DeviceWakeup &operator=(const DeviceWakeup &) = delete;

    int fd() const { return armed_ ? fd_ : -1; }

    // Empties the descriptor and collects the library's pending event bits,
    // so that the next bytes to arrive signal again. Call it before looking
    // at the receive queue: what arrives after the look then wakes the loop.
    void Collect();

  private:
    void Watch();

    FT_HANDLE handle_;
    int fd_ = -1;
    bool armed_ = false;
    std::thread watcher_;
};

#endif  // WG_DEVICE_WAKEUP_H
