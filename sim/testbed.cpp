// The testbed: umockdev's emulated /sys and /dev, the chips on it, the
// latency-timer thread and what a child program needs to join in.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "chip_impl.h"

extern char **environ;

namespace ftdisim {
namespace {

// umockdev redirects the whole process to one testbed directory.
std::atomic<bool> g_testbed_alive{false};

}  // namespace

void Testbed::Impl::Schedule(Clock::time_point when, TimerEntry entry) {
    std::scoped_lock lock(timer_mutex);
    const bool earliest = timers.empty() || when < timers.begin()->first;
    timers.emplace(when, entry);
    if (earliest) timer_cv.notify_one();
}

void Testbed::Impl::TimerLoop() {
    std::unique_lock lock(timer_mutex);
    while (!timer_stop) {
        if (timers.empty()) {
            timer_cv.wait(lock);
            continue;
        }
        auto first = timers.begin();
        if (first->first > Clock::now()) {
            timer_cv.wait_until(lock, first->first);
            continue;
        }
        const TimerEntry e = first->second;
        timers.erase(first);
        // The chip takes its own lock, which ranks above this one.
        lock.unlock();
        e.chip->OnLatencyTimer(e.iface, e.token);
        lock.lock();
    }
}

uint8_t Testbed::Impl::NextAddressLocked(uint8_t bus) {
    for (unsigned a = 2; a < 128; a++) {
        if (!used_nodes.count(static_cast<uint16_t>(bus * 256 + a))) return static_cast<uint8_t>(a);
    }
    throw std::runtime_error("ftdisim: no free address left on the bus");
}

Testbed::Testbed() : impl_(std::make_unique<Impl>()) {
    if (g_testbed_alive.exchange(true))
        throw std::logic_error("ftdisim: only one Testbed may exist at a time");
    impl_->tb = umockdev_testbed_new();
    // Asked only now: umockdev caches the answer, which is only right once a
    // testbed exists.
    if (!umockdev_in_mock_environment()) {
        g_object_unref(impl_->tb);
        g_testbed_alive.store(false);
        throw std::runtime_error(
            "ftdisim: the program must run with LD_PRELOAD=libumockdev-preload.so.0");
    }
    gchar *root = umockdev_testbed_get_root_dir(impl_->tb);
    impl_->root = root;
    g_free(root);
    impl_->table = shim::HostTable(&impl_->table_fd);
    if (impl_->table != nullptr) shim::ClearTable(impl_->table);
    impl_->timer_thread = std::thread([this] { impl_->TimerLoop(); });
}

Testbed::~Testbed() {
    {
        std::scoped_lock lock(impl_->timer_mutex);
        impl_->timer_stop = true;
    }
    impl_->timer_cv.notify_all();
    impl_->timer_thread.join();

    std::vector<std::unique_ptr<Chip>> chips;
    {
        std::scoped_lock lock(impl_->chips_mutex);
        chips.swap(impl_->chips);
    }
    for (auto &c : chips) c->impl_->Shutdown();
    chips.clear();
    if (impl_->table != nullptr) shim::ClearTable(impl_->table);
    g_object_unref(impl_->tb);
    g_testbed_alive.store(false);
}

bool Testbed::WaitForFilesClosed(std::chrono::milliseconds bound) const {
    return WaitForEmulatedFilesClosed(bound);
}

Chip &Testbed::AddChip(const ChipSpec &spec) {
    if (spec.interfaces < 1 || spec.interfaces > 8)
        throw std::invalid_argument("ftdisim: a chip has 1 to 8 interfaces");
    uint8_t bus, port, address;
    Chip *chip;
    {
        std::scoped_lock lock(impl_->chips_mutex);
        bus = spec.bus != 0 ? spec.bus : 1;
        port = spec.port;
        if (port == 0) {
            unsigned p = 1;
            while (p < 256 && impl_->used_ports.count(static_cast<uint16_t>(bus * 256 + p))) p++;
            if (p == 256) throw std::runtime_error("ftdisim: no free port left on the bus");
            port = static_cast<uint8_t>(p);
        } else if (impl_->used_ports.count(static_cast<uint16_t>(bus * 256 + port))) {
            throw std::runtime_error("ftdisim: port already taken");
        }
        if (spec.address != 0) {
            if (spec.address >= 128 ||
                impl_->used_nodes.count(static_cast<uint16_t>(bus * 256 + spec.address)))
                throw std::runtime_error("ftdisim: address already taken or invalid");
            address = spec.address;
        } else {
            address = impl_->NextAddressLocked(bus);
        }
        impl_->used_ports.insert(static_cast<uint16_t>(bus * 256 + port));
        impl_->used_nodes.insert(static_cast<uint16_t>(bus * 256 + address));
        auto c = std::make_unique<Chip>(Chip::Key{}, *this, spec);
        c->impl_->bus = bus;
        c->impl_->port = port;
        c->impl_->syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus) + "/" +
                            std::to_string(bus) + "-" + std::to_string(port);
        chip = c.get();
        impl_->chips.push_back(std::move(c));
    }
    chip->impl_->Plug(address);
    return *chip;
}

void Testbed::Unplug(Chip &chip) {
    chip.impl_->Unplug();
}

void Testbed::Replug(Chip &chip) {
    if (chip.Plugged()) return;
    uint8_t address;
    {
        std::scoped_lock lock(impl_->chips_mutex);
        address = impl_->NextAddressLocked(chip.impl_->bus);
        impl_->used_nodes.insert(static_cast<uint16_t>(chip.impl_->bus * 256 + address));
    }
    chip.impl_->Plug(address);
}

std::vector<Chip *> Testbed::Chips() const {
    std::scoped_lock lock(impl_->chips_mutex);
    std::vector<Chip *> v;
    for (const auto &c : impl_->chips) v.push_back(c.get());
    return v;
}

std::string Testbed::RootDir() const {
    return impl_->root;
}

std::string Testbed::PollShimPath() {
    if (const char *env = getenv("FTDISIM_POLLSHIM"); env != nullptr && *env != '\0') return env;
#ifdef FTDISIM_POLLSHIM_PATH
    return FTDISIM_POLLSHIM_PATH;
#else
    return "libftdisim-pollshim.so";
#endif
}

ChildEnvironment Testbed::ChildEnv() const {
    ChildEnvironment env;
    // The shim first, so that its poll and open are the ones libusb binds;
    // it hands open on to umockdev's preload, which comes next.
    std::string preload = PollShimPath() + ":libumockdev-preload.so.0";
    if (const char *cur = getenv("LD_PRELOAD"); cur != nullptr) {
        std::string rest = cur;
        size_t start = 0;
        while (start <= rest.size()) {
            size_t end = rest.find_first_of(": ", start);
            if (end == std::string::npos) end = rest.size();
            std::string item = rest.substr(start, end - start);
            if (!item.empty() && item.find("libumockdev-preload") == std::string::npos &&
                item.find("ftdisim-pollshim") == std::string::npos)
                preload += ":" + item;
            start = end + 1;
        }
    }
    env.vars.emplace_back("LD_PRELOAD", preload);
    env.vars.emplace_back("UMOCKDEV_DIR", impl_->root);
    if (impl_->table_fd >= 0) {
        env.vars.emplace_back("FTDISIM_SHIM_FD", std::to_string(impl_->table_fd));
        env.keep_fds.push_back(impl_->table_fd);
    }
    std::scoped_lock lock(impl_->chips_mutex);
    for (const auto &c : impl_->chips) env.keep_fds.push_back(c->impl_->event_fd);
    return env;
}

std::vector<std::string> ChildEnvironment::Environ() const {
    std::vector<std::string> out;
    for (char **e = environ; e != nullptr && *e != nullptr; e++) {
        const char *eq = strchr(*e, '=');
        const std::string name =
            eq ? std::string(*e, static_cast<size_t>(eq - *e)) : std::string(*e);
        bool replaced = false;
        for (const auto &v : vars) replaced = replaced || v.first == name;
        if (!replaced) out.emplace_back(*e);
    }
    for (const auto &v : vars) out.push_back(v.first + "=" + v.second);
    return out;
}

void ChildEnvironment::ApplyInChild() const noexcept {
    for (int fd : keep_fds) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0) fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
    }
}

bool EnsureUmockdevPreload(char **argv) {
    const char *preload = getenv("LD_PRELOAD");
    if (preload != nullptr && strstr(preload, "libumockdev-preload") != nullptr) return true;
    std::string value = "libumockdev-preload.so.0";
    if (preload != nullptr && *preload != '\0') value += std::string(":") + preload;
    setenv("LD_PRELOAD", value.c_str(), 1);
    execv("/proc/self/exe", argv);
    perror("ftdisim: re-executing with umockdev's preload library failed");
    return false;
}

}  // namespace ftdisim
