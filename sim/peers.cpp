// Simple things to wire to a chip's serial line.
#include "ftdisim.h"

namespace ftdisim {

void CaptureSink::Attach(SerialLine *line) {
    std::scoped_lock lock(mutex_);
    line_ = line;
}

void CaptureSink::Detach() {
    std::scoped_lock lock(mutex_);
    line_ = nullptr;
}

void CaptureSink::OnHostBytes(const uint8_t *data, size_t n, const LineSettings &line) {
    {
        std::scoped_lock lock(mutex_);
        bytes_.insert(bytes_.end(), data, data + n);
        last_ = line;
    }
    arrived_.notify_all();
}

std::vector<uint8_t> CaptureSink::Bytes() const {
    std::scoped_lock lock(mutex_);
    return bytes_;
}

LineSettings CaptureSink::LastSettings() const {
    std::scoped_lock lock(mutex_);
    return last_;
}

void CaptureSink::Clear() {
    std::scoped_lock lock(mutex_);
    bytes_.clear();
}

bool CaptureSink::WaitForBytes(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return bytes_.size() >= n; });
}

SerialLine *CaptureSink::Line() const {
    std::scoped_lock lock(mutex_);
    return line_;
}

void Loopback::Attach(SerialLine *line) {
    line_.store(line, std::memory_order_release);
}

void Loopback::Detach() {
    line_.store(nullptr, std::memory_order_release);
}

void Loopback::OnHostBytes(const uint8_t *data, size_t n, const LineSettings &) {
    if (SerialLine *line = line_.load(std::memory_order_acquire)) line->SendToHost(data, n);
}

}  // namespace ftdisim
