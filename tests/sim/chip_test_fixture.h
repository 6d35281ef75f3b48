// Shared scaffolding of the simulated chip's tests: a fresh testbed per test,
// a libusb context started after it (and ended before it), an event thread
// for asynchronous transfers, and a bulk-IN helper.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ftdisim.h"

namespace ftdisim::testing {

struct HandleCloser {
    void operator()(libusb_device_handle *h) const { libusb_close(h); }
};
using Handle = std::unique_ptr<libusb_device_handle, HandleCloser>;

// Runs libusb's event handling until destroyed.
class EventThread {
  public:
    explicit EventThread(libusb_context *ctx) : ctx_(ctx) {
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                timeval tv{0, 100000};
                libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
            }
        });
    }
    ~EventThread() {
        stop_.store(true);
        libusb_interrupt_event_handler(ctx_);
        thread_.join();
    }
    EventThread(const EventThread &) = delete;
    EventThread &operator=(const EventThread &) = delete;

  private:
    libusb_context *ctx_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One asynchronous bulk-IN transfer and its outcome.
class InTransfer {
  public:
    InTransfer(libusb_device_handle *h, uint8_t ep, int length, unsigned timeout_ms = 0)
        : buffer_(static_cast<size_t>(length)), transfer_(libusb_alloc_transfer(0)) {
        libusb_fill_bulk_transfer(transfer_, h, ep, buffer_.data(), length, &InTransfer::Done, this,
                                  timeout_ms);
    }
    ~InTransfer() {
        if (submitted_ && !Wait(std::chrono::milliseconds(0))) {
            libusb_cancel_transfer(transfer_);
            Wait(std::chrono::seconds(5));
        }
        libusb_free_transfer(transfer_);
    }
    InTransfer(const InTransfer &) = delete;
    InTransfer &operator=(const InTransfer &) = delete;

    int Submit() {
        int r = libusb_submit_transfer(transfer_);
        submitted_ = r == 0;
        return r;
    }
    int Cancel() { return libusb_cancel_transfer(transfer_); }
    // True once the transfer completed (in any way) within the timeout.
    bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [this] { return done_; });
    }
    libusb_transfer_status Status() const { return transfer_->status; }
    std::vector<uint8_t> Data() const {
        return {buffer_.begin(), buffer_.begin() + transfer_->actual_length};
    }

  private:
    static void LIBUSB_CALL Done(libusb_transfer *t) {
        auto *self = static_cast<InTransfer *>(t->user_data);
        std::scoped_lock lock(self->mutex_);
        self->done_ = true;
        self->cv_.notify_all();
    }
    std::vector<uint8_t> buffer_;
    libusb_transfer *transfer_;
    bool submitted_ = false;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;  // guarded by mutex_
};

class ChipTest : public ::testing::Test {
  protected:
    void SetUp() override { bed_.emplace(); }
    void TearDown() override {
        events_.reset();
        handles_.clear();
        devices_.clear();
        if (ctx_ != nullptr) libusb_exit(ctx_);
        ctx_ = nullptr;
        bed_.reset();
    }

    Testbed &Bed() { return *bed_; }

    // The libusb context, started on first use (after the testbed exists).
    libusb_context *Usb() {
        if (ctx_ == nullptr) {
            EXPECT_EQ(libusb_init(&ctx_), 0);
        }
        return ctx_;
    }
    void StartEvents() {
        if (!events_) events_ = std::make_unique<EventThread>(Usb());
    }

    // The libusb device at the chip's current bus position, or nullptr.
    libusb_device *Find(const Chip &chip) {
        libusb_device **list = nullptr;
        const ssize_t n = libusb_get_device_list(Usb(), &list);
        libusb_device *found = nullptr;
        for (ssize_t i = 0; i < n; i++) {
            if (libusb_get_bus_number(list[i]) == chip.Bus() &&
                libusb_get_device_address(list[i]) == chip.Address())
                found = libusb_ref_device(list[i]);
        }
        if (n >= 0) libusb_free_device_list(list, 1);
        if (found != nullptr) devices_.emplace_back(found);  // unreferenced at teardown
        return found;
    }

    // Opens the chip; the handle is closed at teardown.
    libusb_device_handle *Open(const Chip &chip) {
        libusb_device *dev = Find(chip);
        if (dev == nullptr) return nullptr;
        libusb_device_handle *h = nullptr;
        if (libusb_open(dev, &h) != 0) return nullptr;
        handles_.emplace_back(h);
        return h;
    }
    // Opens the chip and claims interface `iface`.
    libusb_device_handle *OpenClaimed(const Chip &chip, int iface = 0) {
        libusb_device_handle *h = Open(chip);
        if (h != nullptr) {
            EXPECT_EQ(libusb_claim_interface(h, iface), 0);
        }
        return h;
    }

  private:
    struct DeviceUnref {
        void operator()(libusb_device *d) const { libusb_unref_device(d); }
    };
    std::optional<Testbed> bed_;
    libusb_context *ctx_ = nullptr;
    std::unique_ptr<EventThread> events_;
    std::vector<Handle> handles_;
    std::vector<std::unique_ptr<libusb_device, DeviceUnref>> devices_;
};

// A vendor request through libusb_control_transfer: the byte count or a
// libusb error.
inline int VendorOut(libusb_device_handle *h, uint8_t request, uint16_t value, uint16_t index,
                     std::vector<uint8_t> data = {}) {
    return libusb_control_transfer(h, 0x40, request, value, index, data.data(),
                                   static_cast<uint16_t>(data.size()), 1000);
}
inline int VendorIn(libusb_device_handle *h, uint8_t request, uint16_t value, uint16_t index,
                    std::vector<uint8_t> &data) {
    return libusb_control_transfer(h, 0xC0, request, value, index, data.data(),
                                   static_cast<uint16_t>(data.size()), 1000);
}

}  // namespace ftdisim::testing
