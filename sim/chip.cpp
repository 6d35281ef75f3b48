// A simulated chip on the emulated usbfs: plugging in and out, the ioctls a
// usbfs client sends, and the life of the transfers it submits.
//
// URB life: a submitted URB is held in one queue of the chip (an interface's
// waiting IN transfers, its held OUT transfers, or the unanswered control
// requests) until it completes; it then waits in `done` until its own client
// reaps it, when its completion is written into the client's memory. The
// chip's eventfd is signalled exactly while `done` is not empty (or the chip
// is unplugged), which is what the poll shim reports as POLLOUT.
#include <linux/ioctl.h>  // before usbdevice_fs.h, which needs _IOR and friends
#include <linux/usbdevice_fs.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "chip_impl.h"

namespace ftdisim {
namespace {

constexpr char kKernelDriver[] = "ftdi_sio";

// Hooks outlive their chips (see Hook); the deque never moves them.
std::mutex g_hooks_mutex;
std::deque<Hook> g_hooks;  // guarded by g_hooks_mutex

Hook *NewHook(Chip::Impl *chip, int generation) {
    std::scoped_lock lock(g_hooks_mutex);
    Hook &h = g_hooks.emplace_back();
    h.chip = chip;
    h.generation = generation;
    return &h;
}

gboolean HandleIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data) {
    auto *hook = static_cast<Hook *>(data);
    std::scoped_lock lock(hook->mutex);
    if (hook->chip == nullptr) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    return hook->chip->OnIoctl(hook->generation, client);
}

// The emulated device files open anywhere (in this process or a child),
// counted from umockdev's client objects, so that a testbed can wait until
// umockdev has seen the files of ended programs close before it goes.
std::mutex g_files_mutex;
std::condition_variable g_files_closed;
int g_open_files = 0;  // guarded by g_files_mutex

void FileGone(Hook *hook, UMockdevIoctlClient *client) {
    {
        std::scoped_lock lock(hook->mutex);
        if (hook->chip != nullptr) hook->chip->OnClientGone(client);
    }
    std::scoped_lock lock(g_files_mutex);
    if (--g_open_files == 0) g_files_closed.notify_all();
}

// umockdev 0.17 emits neither "client-vanished" nor a change of "connected"
// when a file is closed; it drops its last reference to the client once it
// has read the end of the client's stream and closed it. We hold a toggle
// reference on every client, so we hear when umockdev lets go of one:
// - the stream is closed: the file was closed; the client may go.
// - the stream is still open: the program ended (killed by a signal, say)
//   while umockdev was answering one of its ioctls, the answer could not be
//   written, and umockdev gave up on the client without closing its stream.
//   Finalising it then makes umockdev print a critical warning on stderr,
//   the terminal the simulated program shares, so such a client is kept,
//   its dead socket with it, for the life of the process. The file is gone
//   all the same.
// Runs on whichever thread drops the reference (umockdev's worker).
void ClientToggled(gpointer data, GObject *object, gboolean is_last_ref) {
    if (!is_last_ref) return;
    auto *hook = static_cast<Hook *>(data);
    auto *client = reinterpret_cast<UMockdevIoctlClient *>(object);
    FileGone(hook, client);
    if (!umockdev_ioctl_client_get_connected(client)) {
        g_object_remove_toggle_ref(object, ClientToggled, data);
    }
}

void ClientConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data) {
    auto *hook = static_cast<Hook *>(data);
    {
        std::scoped_lock lock(g_files_mutex);
        ++g_open_files;
    }
    g_object_add_toggle_ref(G_OBJECT(client), ClientToggled, hook);
    std::scoped_lock lock(hook->mutex);
    if (hook->chip != nullptr) hook->chip->OnClientConnected(client);
}

std::string Hex(const std::vector<uint8_t> &bytes) {
    std::string s;
    char b[3];
    for (uint8_t v : bytes) {
        snprintf(b, sizeof b, "%02x", v);
        s += b;
    }
    return s;
}

void Complete(UMockdevIoctlClient *client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

// The ioctl argument at offset 0 as a block of `len` bytes, or empty.
GRef<UMockdevIoctlData> Resolve(UMockdevIoctlData *arg, size_t offset, size_t len) {
    GError *err = nullptr;
    auto d = GRef<UMockdevIoctlData>::Adopt(umockdev_ioctl_data_resolve(arg, offset, len, &err));
    if (err != nullptr) g_error_free(err);
    return d;
}

}  // namespace

bool WaitForEmulatedFilesClosed(std::chrono::milliseconds bound) {
    std::unique_lock lock(g_files_mutex);
    return g_files_closed.wait_for(lock, bound, [] { return g_open_files == 0; });
}

Chip::Impl::Impl(Chip &owner, Testbed::Impl &testbed, const ChipSpec &chip_spec)
    : self(owner),
      bed(testbed),
      spec(chip_spec),
      traits(ChipTraits::For(chip_spec.bcd_device, chip_spec.serial.has_value())),
      ifaces(static_cast<size_t>(chip_spec.interfaces)) {
    event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (event_fd < 0) throw std::runtime_error("ftdisim: eventfd failed");
    eeprom.fill(0xFFFF);
    BuildDescriptors();
}

Chip::Impl::~Impl() {
    if (event_fd >= 0) close(event_fd);
}

void Chip::Impl::Plug(uint8_t new_address) {
    char node[32];
    snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus, new_address);
    int gen;
    {
        std::scoped_lock lock(mutex);
        gen = ++generation;
    }
    Hook *hook = NewHook(this, gen);
    auto handler = GRef<UMockdevIoctlBase>::Adopt(umockdev_ioctl_base_new());
    g_signal_connect(handler.get(), "handle-ioctl", G_CALLBACK(HandleIoctl), hook);
    g_signal_connect(handler.get(), "client-connected", G_CALLBACK(ClientConnected), hook);

    // The ioctl socket must exist before the node appears: libusb opens the
    // node as soon as it hears of the device.
    GError *err = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed.tb, node, handler.get(), &err)) {
        std::string msg = std::string("ftdisim: cannot attach ioctl handler to ") + node + ": " +
                          (err ? err->message : "?");
        if (err) g_error_free(err);
        throw std::runtime_error(msg);
    }

    const std::string sys = syspath.substr(4);  // without "/sys"
    const bool hs = spec.high_speed;
    char product_prop[48];
    snprintf(product_prop, sizeof product_prop, "%x/%x/%x", spec.vendor_id, spec.product_id,
             spec.bcd_device);
    char ids[96];
    snprintf(ids, sizeof ids, "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bcdDevice=%04x\\n\n",
             spec.vendor_id, spec.product_id, spec.bcd_device);
    std::vector<uint8_t> descriptors = device_descriptor;
    descriptors.insert(descriptors.end(), config_descriptor.begin(), config_descriptor.end());
    std::string record =
        "P: " + sys + "\nN: " + std::string(node + 5) +
        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: DEVNAME=" + node +
        "\nE: BUSNUM=" + std::string(node + 13, 3) + "\nE: DEVNUM=" + std::string(node + 17, 3) +
        "\nE: PRODUCT=" + product_prop + "\nA: busnum=" + std::to_string(bus) +
        "\\n\nA: devnum=" + std::to_string(new_address) + "\\n\nA: speed=" + (hs ? "480" : "12") +
        "\\n\nA: bConfigurationValue=1\\n\n" + ids + "A: manufacturer=" + spec.manufacturer +
        "\\n\nA: product=" + spec.product + "\\n\n" +
        (spec.serial ? "A: serial=" + *spec.serial + "\\n\n" : std::string()) +
        "H: descriptors=" + Hex(descriptors) + "\n";
    if (!umockdev_testbed_add_from_string(bed.tb, record.c_str(), &err)) {
        std::string msg =
            std::string("ftdisim: cannot add device ") + node + ": " + (err ? err->message : "?");
        if (err) g_error_free(err);
        throw std::runtime_error(msg);
    }

    int slot = -1;
    struct stat st {};
    if (bed.table != nullptr && stat((bed.root + node).c_str(), &st) == 0)
        slot = shim::AddSlot(bed.table, st.st_dev, st.st_ino, event_fd, bus, new_address);

    std::scoped_lock lock(mutex);
    hooks.push_back(hook);
    handlers.push_back(std::move(handler));
    address = new_address;
    devnode = node;
    shim_slot = slot;
    if (slot >= 0 && open_denied) shim::SetFlag(bed.table, slot, shim::kOpenDenied, true);
    plugged = true;
    PowerOnLocked();
    UpdateReadyLocked();
}

void Chip::Impl::Unplug() {
    {
        std::scoped_lock lock(mutex);
        if (!plugged) return;
        plugged = false;
        // The host controller gives back every transfer of a vanished device.
        for (IfaceState &f : ifaces) {
            for (auto *q : {&f.pending_in, &f.held_out}) {
                while (!q->empty()) {
                    Urb u = std::move(q->front());
                    q->pop_front();
                    CompleteLocked(std::move(u), -ESHUTDOWN);
                }
            }
            f.claimed_by = nullptr;
        }
        while (!pending_ctrl.empty()) {
            Urb u = std::move(pending_ctrl.front());
            pending_ctrl.pop_front();
            CompleteLocked(std::move(u), -ESHUTDOWN);
        }
        if (bed.table != nullptr) shim::SetFlag(bed.table, shim_slot, shim::kUnplugged, true);
        UpdateReadyLocked();
    }
    umockdev_testbed_uevent(bed.tb, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(bed.tb, syspath.c_str());
}

void Chip::Impl::Shutdown() {
    std::vector<Hook *> all;
    {
        std::scoped_lock lock(mutex);
        all = hooks;
        if (bed.table != nullptr && shim_slot >= 0) {
            shim::SetFlag(bed.table, shim_slot, shim::kOpenDenied, false);
            shim::SetFlag(bed.table, shim_slot, shim::kUnplugged, true);
        }
    }
    for (Hook *h : all) {
        std::scoped_lock lock(h->mutex);
        h->chip = nullptr;
    }
    {
        std::scoped_lock lock(mutex);
        for (IfaceState &f : ifaces) f.pin.device = nullptr;
    }
    for (size_t i = 0; i < ifaces.size(); i++) self.If(static_cast<int>(i)).Attach(nullptr);
}

void Chip::Impl::PowerOnLocked() {
    for (IfaceState &f : ifaces) {
        const unsigned resets = f.st.resets, rx = f.st.rx_purges, tx = f.st.tx_purges;
        f.st = InterfaceState{};
        f.st.resets = resets;
        f.st.rx_purges = rx;
        f.st.tx_purges = tx;
        f.rx_fifo.clear();
        f.pending_line_error = 0;
        f.stall_next_in = false;
        f.in_halted = false;
        f.claimed_by = nullptr;
        PinState wired;
        wired.outside = f.pin.outside;
        wired.cbus_outside = f.pin.cbus_outside;
        wired.device = f.pin.device;
        f.pin = std::move(wired);
    }
}

void Chip::Impl::UpdateReadyLocked() {
    const bool want = !done.empty() || !plugged;
    if (want == ready) return;
    ready = want;
    uint64_t v = 1;
    if (want) {
        // Only fails if the counter would overflow, which one writer cannot do.
        [[maybe_unused]] ssize_t r = write(event_fd, &v, sizeof v);
    } else {
        [[maybe_unused]] ssize_t r = read(event_fd, &v, sizeof v);
    }
}

void Chip::Impl::CompleteLocked(Urb urb, int status) {
    urb.status = status;
    if (status < 0 && status != -EREMOTEIO) {  // a short URB keeps what it got
        urb.reply.clear();
        urb.actual = 0;
    }
    urb.timer_token = 0;
    done.push_back(std::move(urb));
    UpdateReadyLocked();
}

// Answers the waiting IN transfers of one interface, oldest first, as far as
// the FIFO, the hold and the halt allow; arms the latency timer of the oldest
// one left waiting.
void Chip::Impl::ServeInLocked(int iface) {
    IfaceState &f = ifaces[static_cast<size_t>(iface)];
    const size_t packet = spec.PacketSize();
    while (!f.pending_in.empty() && plugged) {
        if (f.hold_in || f.in_halted) {
            f.pending_in.front().timer_token = 0;
            return;
        }
        Urb &head = f.pending_in.front();
        if (f.stall_next_in) {
            f.stall_next_in = false;
            f.in_halted = true;
            Urb u = std::move(head);
            f.pending_in.pop_front();
            CompleteLocked(std::move(u), -EPIPE);
            continue;
        }
        if (f.rx_fifo.empty() && f.pending_line_error == 0) {
            if (head.timer_token == 0) {
                head.timer_token = next_token++;
                const auto latency = std::chrono::milliseconds(std::max<int>(1, f.st.latency_ms));
                bed.Schedule(Clock::now() + latency, TimerEntry{this, iface, head.timer_token});
            }
            return;
        }
        // Whole packets of the endpoint's size, each led by the two status
        // bytes; a short packet (the FIFO ran dry) ends the transfer. A host
        // buffer smaller than one packet gets a packet cut to its size.
        Urb u = std::move(head);
        f.pending_in.pop_front();
        const size_t length = static_cast<size_t>(u.length);
        if (length < 2) {
            CompleteLocked(std::move(u), -EOVERFLOW);
            continue;
        }
        const size_t packets = std::max<size_t>(1, length / packet);
        u.reply.clear();
        for (size_t k = 0; k < packets; k++) {
            const size_t room = std::min(packet, length - u.reply.size());
            const size_t n = std::min(room - 2, f.rx_fifo.size());
            u.reply.push_back(static_cast<uint8_t>(f.modem_lines | 0x01));
            u.reply.push_back(static_cast<uint8_t>(0x60 | f.pending_line_error));
            f.pending_line_error = 0;
            u.reply.insert(u.reply.end(), f.rx_fifo.begin(),
                           f.rx_fifo.begin() + static_cast<std::ptrdiff_t>(n));
            f.rx_fifo.erase(f.rx_fifo.begin(), f.rx_fifo.begin() + static_cast<std::ptrdiff_t>(n));
            if (n < packet - 2 || f.rx_fifo.empty()) break;
        }
        u.actual = static_cast<int>(u.reply.size());
        CompleteInLocked(f, std::move(u));
    }
}

void Chip::Impl::CompleteInLocked(IfaceState &f, Urb u) {
    // libusb cuts a large bulk transfer into URBs that may not end short,
    // chained by the continuation flag. As usbfs does, a short one fails
    // with -EREMOTEIO (its data kept) and the rest of its chain is cancelled,
    // so that no later URB of the transfer takes data that belongs after it.
    if (u.actual >= u.length || !(u.flags & USBDEVFS_URB_SHORT_NOT_OK)) {
        CompleteLocked(std::move(u), 0);
        return;
    }
    const void *client = u.client;
    f.in_chain_ended = true;
    CompleteLocked(std::move(u), -EREMOTEIO);
    while (!f.pending_in.empty() && f.pending_in.front().client == client &&
           (f.pending_in.front().flags & USBDEVFS_URB_BULK_CONTINUATION)) {
        Urb next = std::move(f.pending_in.front());
        f.pending_in.pop_front();
        CompleteLocked(std::move(next), -ECONNRESET);
    }
}

void Chip::Impl::OnLatencyTimer(int iface, uint64_t token) {
    std::scoped_lock lock(mutex);
    IfaceState &f = ifaces[static_cast<size_t>(iface)];
    if (f.pending_in.empty() || f.pending_in.front().timer_token != token) return;
    if (!plugged || f.hold_in || f.in_halted) return;
    // The latency timer ran out: the chip sends what it has, at least its
    // status bytes.
    Urb u = std::move(f.pending_in.front());
    f.pending_in.pop_front();
    u.reply = {static_cast<uint8_t>(f.modem_lines | 0x01),
               static_cast<uint8_t>(0x60 | f.pending_line_error)};
    f.pending_line_error = 0;
    if (u.length < 2) {
        CompleteLocked(std::move(u), -EOVERFLOW);
    } else {
        u.actual = 2;
        CompleteInLocked(f, std::move(u));
    }
    ServeInLocked(iface);
}

void Chip::Impl::SendToHostLocked(int iface, const uint8_t *data, size_t n) {
    if (!plugged || n == 0) return;
    IfaceState &f = ifaces[static_cast<size_t>(iface)];
    f.rx_fifo.insert(f.rx_fifo.end(), data, data + n);
    ServeInLocked(iface);
}

void Chip::Impl::AcceptOutLocked(int iface, Urb urb) {
    IfaceState &f = ifaces[static_cast<size_t>(iface)];
    OutTransfer t;
    if (urb.buffer != nullptr && urb.length > 0)
        t.data.assign(urb.buffer->data, urb.buffer->data + urb.length);
    t.zero_packet_flag = (urb.flags & USBDEVFS_URB_ZERO_PACKET) != 0;
    const bool engine = PinEngineTakesDataLocked(iface);
    if (!t.data.empty() && !engine) f.deliveries.emplace_back(t.data, f.st.line);
    f.out.push_back(std::move(t));
    urb.actual = urb.length;
    CompleteLocked(std::move(urb), 0);
    if (engine) PinDataLocked(iface, f.out.back().data.data(), f.out.back().data.size());
}

void Chip::Impl::RunDeliveries(int iface) {
    IfaceState &f = ifaces[static_cast<size_t>(iface)];
    std::unique_lock lock(mutex);
    if (f.delivering) return;  // the thread delivering now takes ours too
    f.delivering = true;
    f.deliverer = std::this_thread::get_id();
    while (!f.deliveries.empty()) {
        auto item = std::move(f.deliveries.front());
        f.deliveries.pop_front();
        SerialPeer *peer = f.peer;
        if (peer == nullptr) continue;
        lock.unlock();
        peer->OnHostBytes(item.first.data(), item.first.size(), item.second);
        lock.lock();
    }
    f.delivering = false;
    f.deliverer = std::thread::id();
    delivered.notify_all();
}

void Chip::Impl::OnClientConnected(UMockdevIoctlClient *) {
    std::scoped_lock lock(mutex);
    opens++;
}

void Chip::Impl::OnClientGone(UMockdevIoctlClient *client) {
    std::scoped_lock lock(mutex);
    auto drop = [client](std::deque<Urb> &q) {
        for (auto it = q.begin(); it != q.end();)
            it = (it->client == client) ? q.erase(it) : it + 1;
    };
    drop(done);
    drop(pending_ctrl);
    for (size_t i = 0; i < ifaces.size(); i++) {
        IfaceState &f = ifaces[i];
        const bool head_gone = !f.pending_in.empty() && f.pending_in.front().client == client;
        drop(f.pending_in);
        drop(f.held_out);
        if (f.claimed_by == client) f.claimed_by = nullptr;
        if (head_gone) ServeInLocked(static_cast<int>(i));
    }
    UpdateReadyLocked();
}

namespace {

// Which interface a bulk endpoint belongs to, or -1.
int EndpointInterface(uint8_t ep, int interfaces, bool *in) {
    *in = (ep & 0x80) != 0;
    const int number = ep & 0x7F;
    const int i = *in ? (number - 1) / 2 : (number - 2) / 2;
    if (number == 0 || i < 0 || i >= interfaces) return -1;
    if ((*in && number != 1 + 2 * i) || (!*in && number != 2 + 2 * i)) return -1;
    return i;
}

}  // namespace

gboolean Chip::Impl::OnIoctl(int gen, UMockdevIoctlClient *client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::unique_lock lock(mutex);
    const bool dead = gen != generation || !plugged;

    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
        for (auto it = done.begin(); it != done.end(); ++it) {
            if (it->client != client) continue;
            Urb u = std::move(*it);
            done.erase(it);
            UpdateReadyLocked();
            auto *kurb = reinterpret_cast<usbdevfs_urb *>(u.urb.get()->data);
            kurb->status = u.status;
            kurb->actual_length = u.actual;
            if (u.buffer != nullptr && !u.reply.empty()) {
                const size_t offset = u.type == USBDEVFS_URB_TYPE_CONTROL ? 8 : 0;
                const size_t room = static_cast<size_t>(u.buffer->data_len) > offset
                                        ? static_cast<size_t>(u.buffer->data_len) - offset
                                        : 0;
                memcpy(u.buffer->data + offset, u.reply.data(), std::min(room, u.reply.size()));
            }
            auto ptr = Resolve(arg, 0, sizeof(void *));
            if (!ptr) {
                Complete(client, -1, EFAULT);
                return TRUE;
            }
            umockdev_ioctl_data_set_ptr(ptr.get(), 0, u.urb.get());
            Complete(client, 0, 0);
            return TRUE;
        }
        Complete(client, -1, dead ? ENODEV : EAGAIN);
        return TRUE;
    }
    if (dead) {
        Complete(client, -1, ENODEV);
        return TRUE;
    }

    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            auto d = Resolve(arg, 0, sizeof(uint32_t));
            if (!d) break;
            const uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                  USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            memcpy(d.get()->data, &caps, sizeof caps);
            Complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM: {
            const size_t size = request == USBDEVFS_DISCONNECT_CLAIM
                                    ? sizeof(usbdevfs_disconnect_claim)
                                    : sizeof(unsigned int);
            auto d = Resolve(arg, 0, size);
            if (!d) break;
            unsigned int number;
            memcpy(&number, d.get()->data, sizeof number);
            if (number >= ifaces.size()) {
                Complete(client, -1, ENOENT);
                return TRUE;
            }
            IfaceState &f = ifaces[number];
            if (request == USBDEVFS_RELEASEINTERFACE) {
                if (f.claimed_by != client) {
                    Complete(client, -1, EINVAL);
                    return TRUE;
                }
                // Releasing unbinds the interface from this file, which kills
                // the transfers it still has on the interface's endpoints.
                f.claimed_by = nullptr;
                for (auto *q : {&f.pending_in, &f.held_out}) {
                    for (auto it = q->begin(); it != q->end();) {
                        if (it->client != client) {
                            ++it;
                            continue;
                        }
                        Urb u = std::move(*it);
                        it = q->erase(it);
                        CompleteLocked(std::move(u), -ENOENT);
                    }
                }
                ServeInLocked(static_cast<int>(number));
                Complete(client, 0, 0);
                return TRUE;
            }
            if (request == USBDEVFS_DISCONNECT_CLAIM && f.kernel_driver) {
                const auto *dc = reinterpret_cast<const usbdevfs_disconnect_claim *>(d.get()->data);
                char wanted[sizeof dc->driver + 1] = {};
                memcpy(wanted, dc->driver, sizeof dc->driver);
                const bool same = strcmp(wanted, kKernelDriver) == 0;
                bool detach = true;
                if (dc->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) detach = same;
                if (dc->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) detach = !same;
                if (detach) f.kernel_driver = false;
            }
            if (f.kernel_driver || (f.claimed_by != nullptr && f.claimed_by != client)) {
                Complete(client, -1, EBUSY);
                return TRUE;
            }
            f.claimed_by = client;
            Complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_GETDRIVER: {
            auto d = Resolve(arg, 0, sizeof(usbdevfs_getdriver));
            if (!d) break;
            auto *gd = reinterpret_cast<usbdevfs_getdriver *>(d.get()->data);
            if (gd->interface >= ifaces.size()) {
                Complete(client, -1, EINVAL);
                return TRUE;
            }
            const IfaceState &f = ifaces[gd->interface];
            if (f.kernel_driver) {
                snprintf(gd->driver, sizeof gd->driver, "%s", kKernelDriver);
            } else if (f.claimed_by != nullptr) {
                snprintf(gd->driver, sizeof gd->driver, "%s", "usbfs");
            } else {
                Complete(client, -1, ENODATA);
                return TRUE;
            }
            Complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_IOCTL: {
            auto d = Resolve(arg, 0, sizeof(usbdevfs_ioctl));
            if (!d) break;
            const auto *io = reinterpret_cast<const usbdevfs_ioctl *>(d.get()->data);
            if (io->ifno < 0 || static_cast<size_t>(io->ifno) >= ifaces.size()) {
                Complete(client, -1, EINVAL);
                return TRUE;
            }
            IfaceState &f = ifaces[static_cast<size_t>(io->ifno)];
            if (io->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                if (!f.kernel_driver) {
                    Complete(client, -1, ENODATA);
                    return TRUE;
                }
                f.kernel_driver = false;
            } else if (io->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
                if (f.claimed_by != nullptr) {
                    Complete(client, -1, EBUSY);
                    return TRUE;
                }
                f.kernel_driver = true;
            } else {
                Complete(client, -1, ENOTTY);
                return TRUE;
            }
            Complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_CLEAR_HALT: {
            auto d = Resolve(arg, 0, sizeof(unsigned int));
            if (!d) break;
            unsigned int ep;
            memcpy(&ep, d.get()->data, sizeof ep);
            bool in = false;
            const int i = EndpointInterface(static_cast<uint8_t>(ep), spec.interfaces, &in);
            if (i < 0) {
                Complete(client, -1, ENOENT);
                return TRUE;
            }
            if (in) {
                ifaces[static_cast<size_t>(i)].in_halted = false;
                ServeInLocked(i);
            }
            Complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_RESET:
            // A port reset brings every interface back to its power-on state;
            // claims survive it as far as this emulation goes.
            {
                std::vector<UMockdevIoctlClient *> claims;
                for (IfaceState &f : ifaces) claims.push_back(f.claimed_by);
                PowerOnLocked();
                for (size_t i = 0; i < ifaces.size(); i++) ifaces[i].claimed_by = claims[i];
            }
            Complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_RESETEP:
            Complete(client, 0, 0);
            return TRUE;

        case USBDEVFS_CONTROL: {
            auto d = Resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
            if (!d) break;
            const auto *ct = reinterpret_cast<const usbdevfs_ctrltransfer *>(d.get()->data);
            GRef<UMockdevIoctlData> buf;
            if (ct->wLength > 0) {
                buf = Resolve(d.get(), offsetof(usbdevfs_ctrltransfer, data), ct->wLength);
                if (!buf) break;
            }
            const uint8_t setup[8] = {ct->bRequestType,
                                      ct->bRequest,
                                      static_cast<uint8_t>(ct->wValue),
                                      static_cast<uint8_t>(ct->wValue >> 8),
                                      static_cast<uint8_t>(ct->wIndex),
                                      static_cast<uint8_t>(ct->wIndex >> 8),
                                      static_cast<uint8_t>(ct->wLength),
                                      static_cast<uint8_t>(ct->wLength >> 8)};
            ControlOutcome out =
                ControlLocked(setup, buf ? buf.get()->data : nullptr, buf ? ct->wLength : 0);
            if (out.unanswered) {
                records[out.record].result = -ETIMEDOUT;
                Complete(client, -1, ETIMEDOUT);
                return TRUE;
            }
            if (out.result < 0) {
                Complete(client, -1, -out.result);
                return TRUE;
            }
            if (buf && !out.reply.empty())
                memcpy(buf.get()->data, out.reply.data(),
                       std::min<size_t>(out.reply.size(), ct->wLength));
            Complete(client, out.result, 0);
            return TRUE;
        }

        case USBDEVFS_SUBMITURB: {
            auto d = Resolve(arg, 0, sizeof(usbdevfs_urb));
            if (!d) break;
            const auto *kurb = reinterpret_cast<const usbdevfs_urb *>(d.get()->data);
            Urb u;
            u.type = kurb->type;
            u.endpoint = kurb->endpoint;
            u.flags = kurb->flags;
            u.length = kurb->buffer_length;
            u.client_addr = d.get()->client_addr;
            if (u.length < 0) {
                Complete(client, -1, EINVAL);
                return TRUE;
            }
            if (u.length > 0) {
                // A child of the URB block: it lives, and is written back to the
                // client at reaping, together with the URB.
                auto buf =
                    Resolve(d.get(), offsetof(usbdevfs_urb, buffer), static_cast<size_t>(u.length));
                if (!buf) break;
                u.buffer = buf.get();
            }
            u.urb = std::move(d);
            u.client = client;

            if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
                if (u.length < 8) {
                    Complete(client, -1, EINVAL);
                    return TRUE;
                }
                ControlOutcome out = ControlLocked(u.buffer->data, u.buffer->data + 8,
                                                   static_cast<size_t>(u.length) - 8);
                if (out.unanswered) {
                    u.record = out.record;
                    records[out.record].result = -ETIMEDOUT;
                    pending_ctrl.push_back(std::move(u));
                } else if (out.result < 0) {
                    CompleteLocked(std::move(u), out.result);
                } else {
                    u.reply = std::move(out.reply);
                    u.actual = out.result;
                    CompleteLocked(std::move(u), 0);
                }
                Complete(client, 0, 0);
                return TRUE;
            }
            if (u.type != USBDEVFS_URB_TYPE_BULK) {
                Complete(client, -1, EINVAL);
                return TRUE;
            }
            bool in = false;
            const int i = EndpointInterface(u.endpoint, spec.interfaces, &in);
            if (i < 0) {
                Complete(client, -1, ENOENT);
                return TRUE;
            }
            IfaceState &f = ifaces[static_cast<size_t>(i)];
            // usbfs claims an unclaimed interface for the submitting file.
            if (f.kernel_driver || (f.claimed_by != nullptr && f.claimed_by != client)) {
                Complete(client, -1, EBUSY);
                return TRUE;
            }
            f.claimed_by = client;
            if (in) {
                // The rest of a URB chain that already ended short is refused,
                // as usbfs does; a URB that starts a chain opens the endpoint.
                if (u.flags & USBDEVFS_URB_BULK_CONTINUATION) {
                    if (f.in_chain_ended) {
                        Complete(client, -1, EREMOTEIO);
                        return TRUE;
                    }
                } else {
                    f.in_chain_ended = false;
                }
                if (u.length == 0) {
                    CompleteLocked(std::move(u), 0);
                } else {
                    f.pending_in.push_back(std::move(u));
                    ServeInLocked(i);
                }
                Complete(client, 0, 0);
                return TRUE;
            }
            if (f.hold_out) {
                f.held_out.push_back(std::move(u));
                Complete(client, 0, 0);
                return TRUE;
            }
            AcceptOutLocked(i, std::move(u));
            Complete(client, 0, 0);
            lock.unlock();
            RunDeliveries(i);
            return TRUE;
        }

        case USBDEVFS_DISCARDURB: {
            unsigned long addr = 0;
            if (arg == nullptr || arg->data_len < static_cast<int>(sizeof addr)) break;
            memcpy(&addr, arg->data, sizeof addr);
            auto take = [&](std::deque<Urb> &q) -> bool {
                for (auto it = q.begin(); it != q.end(); ++it) {
                    if (it->client == client && it->client_addr == addr) {
                        Urb u = std::move(*it);
                        q.erase(it);
                        CompleteLocked(std::move(u), -ENOENT);
                        return true;
                    }
                }
                return false;
            };
            bool found = take(pending_ctrl);
            for (size_t i = 0; i < ifaces.size() && !found; i++) {
                IfaceState &f = ifaces[i];
                const bool was_head = !f.pending_in.empty() &&
                                      f.pending_in.front().client == client &&
                                      f.pending_in.front().client_addr == addr;
                found = take(f.pending_in) || take(f.held_out);
                if (found && was_head) ServeInLocked(static_cast<int>(i));
            }
            if (found)
                Complete(client, 0, 0);
            else
                Complete(client, -1, EINVAL);  // already completed
            return TRUE;
        }
        default:
            Complete(client, -1, ENOTTY);
            return TRUE;
    }
    // An argument block could not be read from the client.
    Complete(client, -1, EFAULT);
    return TRUE;
}

}  // namespace ftdisim
