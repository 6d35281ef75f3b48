// The test-facing side of a chip and its interfaces: every call takes the
// chip's lock briefly and never waits for USB traffic.
#include <thread>

#include "chip_impl.h"

namespace ftdisim {

// --- Chip --------------------------------------------------------------------

Chip::Chip(Key, Testbed &testbed, ChipSpec spec) : testbed_(testbed), spec_(std::move(spec)) {
    impl_ = std::make_unique<Impl>(*this, *testbed.impl_, spec_);
    for (int i = 0; i < spec_.interfaces; i++)
        interfaces_.push_back(std::make_unique<Interface>(Interface::Key{}, *this, i));
}

Chip::~Chip() = default;

ChipTraits Chip::Traits() const {
    return impl_->traits;
}

uint8_t Chip::Bus() const {
    return impl_->bus;
}
uint8_t Chip::Port() const {
    return impl_->port;
}

uint8_t Chip::Address() const {
    std::scoped_lock lock(impl_->mutex);
    return impl_->address;
}

std::string Chip::DevNode() const {
    std::scoped_lock lock(impl_->mutex);
    return impl_->devnode;
}

std::string Chip::SysPath() const {
    return impl_->syspath;
}

bool Chip::Plugged() const {
    std::scoped_lock lock(impl_->mutex);
    return impl_->plugged;
}

Interface &Chip::If(int i) {
    if (i < 0 || i >= spec_.interfaces) throw std::out_of_range("ftdisim: no such interface");
    return *interfaces_[static_cast<size_t>(i)];
}

std::vector<ControlRecord> Chip::Requests() const {
    std::scoped_lock lock(impl_->mutex);
    return impl_->records;
}

std::vector<ControlRecord> Chip::VendorRequests() const {
    std::scoped_lock lock(impl_->mutex);
    std::vector<ControlRecord> v;
    for (const ControlRecord &r : impl_->records)
        if (r.IsVendor()) v.push_back(r);
    return v;
}

void Chip::ClearRequests() {
    std::scoped_lock lock(impl_->mutex);
    impl_->records.clear();
}

void Chip::FailRequest(const RequestFault &fault) {
    std::scoped_lock lock(impl_->mutex);
    impl_->faults.push_back(fault);
}

void Chip::FailRequest(uint8_t request, FaultMode mode, int count) {
    RequestFault f;
    f.request = request;
    f.mode = mode;
    f.count = count;
    FailRequest(f);
}

void Chip::ClearFaults() {
    std::scoped_lock lock(impl_->mutex);
    impl_->faults.clear();
}

void Chip::SetKernelDriverBound(int iface, bool bound) {
    If(iface);  // range check
    std::scoped_lock lock(impl_->mutex);
    impl_->ifaces[static_cast<size_t>(iface)].kernel_driver = bound;
}

bool Chip::KernelDriverBound(int iface) const {
    if (iface < 0 || iface >= spec_.interfaces) return false;
    std::scoped_lock lock(impl_->mutex);
    return impl_->ifaces[static_cast<size_t>(iface)].kernel_driver;
}

void Chip::SetOpenDenied(bool denied) {
    std::scoped_lock lock(impl_->mutex);
    impl_->open_denied = denied;
    if (impl_->bed.table != nullptr && impl_->shim_slot >= 0)
        shim::SetFlag(impl_->bed.table, impl_->shim_slot, shim::kOpenDenied, denied);
}

uint16_t Chip::EepromWord(int address) const {
    std::scoped_lock lock(impl_->mutex);
    return impl_->eeprom.at(static_cast<size_t>(address));
}

void Chip::SetEepromWord(int address, uint16_t value) {
    std::scoped_lock lock(impl_->mutex);
    impl_->eeprom.at(static_cast<size_t>(address)) = value;
}

void Chip::SetVendorCmdReply(std::vector<uint8_t> reply) {
    std::scoped_lock lock(impl_->mutex);
    impl_->vendor_reply = std::move(reply);
}

unsigned Chip::OpenCount() const {
    std::scoped_lock lock(impl_->mutex);
    return impl_->opens;
}

// --- Interface ---------------------------------------------------------------

Interface::Interface(Key, Chip &chip, int number) : chip_(chip), number_(number) {}

Interface::~Interface() = default;

void Interface::Attach(SerialPeer *peer) {
    Chip::Impl &c = *chip_.impl_;
    if (peer != nullptr) peer->Attach(this);
    SerialPeer *old;
    {
        std::unique_lock lock(c.mutex);
        IfaceState &f = c.ifaces[static_cast<size_t>(number_)];
        // A peer may be replaced from inside its own OnHostBytes; any other
        // thread waits until no delivery is running, so the old peer is not
        // in use once Detach is called.
        c.delivered.wait(
            lock, [&] { return !f.delivering || f.deliverer == std::this_thread::get_id(); });
        old = f.peer;
        f.peer = peer;
    }
    if (old != nullptr && old != peer) old->Detach();
}

void Interface::SendToHost(const uint8_t *data, size_t n) {
    std::scoped_lock lock(chip_.impl_->mutex);
    chip_.impl_->SendToHostLocked(number_, data, n);
}

LineSettings Interface::Settings() const {
    std::scoped_lock lock(chip_.impl_->mutex);
    return chip_.impl_->ifaces[static_cast<size_t>(number_)].st.line;
}

void Interface::InjectRx(std::span<const uint8_t> bytes) {
    SendToHost(bytes.data(), bytes.size());
}

void Interface::InjectRx(std::string_view bytes) {
    SendToHost(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

void Interface::SetModemLines(uint8_t lines) {
    std::scoped_lock lock(chip_.impl_->mutex);
    chip_.impl_->ifaces[static_cast<size_t>(number_)].modem_lines = lines & 0xF0;
}

void Interface::InjectLineError(uint8_t bits) {
    std::scoped_lock lock(chip_.impl_->mutex);
    chip_.impl_->ifaces[static_cast<size_t>(number_)].pending_line_error |= bits & 0x1E;
    chip_.impl_->ServeInLocked(number_);
}

void Interface::StallInOnce() {
    std::scoped_lock lock(chip_.impl_->mutex);
    chip_.impl_->ifaces[static_cast<size_t>(number_)].stall_next_in = true;
    chip_.impl_->ServeInLocked(number_);
}

void Interface::SetPins(uint8_t pins) {
    std::scoped_lock lock(chip_.impl_->mutex);
    PinState &p = chip_.impl_->ifaces[static_cast<size_t>(number_)].pin;
    p.outside = static_cast<uint16_t>((p.outside & 0xFF00) | pins);
    chip_.impl_->OutsidePinsChangedLocked(number_);
}

void Interface::SetHighPins(uint8_t pins) {
    std::scoped_lock lock(chip_.impl_->mutex);
    PinState &p = chip_.impl_->ifaces[static_cast<size_t>(number_)].pin;
    p.outside = static_cast<uint16_t>((p.outside & 0x00FF) | pins << 8);
    chip_.impl_->OutsidePinsChangedLocked(number_);
}

void Interface::SetCbusPins(uint8_t pins) {
    std::scoped_lock lock(chip_.impl_->mutex);
    chip_.impl_->ifaces[static_cast<size_t>(number_)].pin.cbus_outside = pins & 0x0F;
}

void Interface::AttachPins(PinDevice *device) {
    std::scoped_lock lock(chip_.impl_->mutex);
    chip_.impl_->ifaces[static_cast<size_t>(number_)].pin.device = device;
    chip_.impl_->PinsChangedLocked(number_);
}

uint16_t Interface::PinLevels() const {
    std::scoped_lock lock(chip_.impl_->mutex);
    return chip_.impl_->PinLevelsLocked(number_);
}

uint8_t Interface::CbusLevels() const {
    std::scoped_lock lock(chip_.impl_->mutex);
    const PinState &p = chip_.impl_->ifaces[static_cast<size_t>(number_)].pin;
    const uint8_t dir = p.engine == 0x20 ? p.cbus_dir : 0;
    return static_cast<uint8_t>(((p.cbus_out & dir) | (p.cbus_outside & ~dir)) & 0x0F);
}

void Interface::HoldIn(bool hold) {
    std::scoped_lock lock(chip_.impl_->mutex);
    chip_.impl_->ifaces[static_cast<size_t>(number_)].hold_in = hold;
    chip_.impl_->ServeInLocked(number_);
}

void Interface::HoldOut(bool hold) {
    Chip::Impl &c = *chip_.impl_;
    {
        std::scoped_lock lock(c.mutex);
        IfaceState &f = c.ifaces[static_cast<size_t>(number_)];
        f.hold_out = hold;
        if (hold) return;
        while (!f.held_out.empty()) {
            Urb u = std::move(f.held_out.front());
            f.held_out.pop_front();
            c.AcceptOutLocked(number_, std::move(u));
        }
    }
    c.RunDeliveries(number_);
}

InterfaceState Interface::State() const {
    std::scoped_lock lock(chip_.impl_->mutex);
    const IfaceState &f = chip_.impl_->ifaces[static_cast<size_t>(number_)];
    InterfaceState s = f.st;
    s.claimed = f.claimed_by != nullptr;
    return s;
}

size_t Interface::RxPending() const {
    std::scoped_lock lock(chip_.impl_->mutex);
    return chip_.impl_->ifaces[static_cast<size_t>(number_)].rx_fifo.size();
}

size_t Interface::PendingIn() const {
    std::scoped_lock lock(chip_.impl_->mutex);
    return chip_.impl_->ifaces[static_cast<size_t>(number_)].pending_in.size();
}

std::vector<OutTransfer> Interface::OutTransfers() const {
    std::scoped_lock lock(chip_.impl_->mutex);
    return chip_.impl_->ifaces[static_cast<size_t>(number_)].out;
}

void Interface::ClearOut() {
    std::scoped_lock lock(chip_.impl_->mutex);
    chip_.impl_->ifaces[static_cast<size_t>(number_)].out.clear();
}

std::vector<ControlRecord> Interface::Requests() const {
    std::scoped_lock lock(chip_.impl_->mutex);
    std::vector<ControlRecord> v;
    for (const ControlRecord &r : chip_.impl_->records)
        if (r.interface == number_) v.push_back(r);
    return v;
}

bool WaitUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace ftdisim
