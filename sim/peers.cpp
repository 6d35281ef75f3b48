// Simple things to wire to a chip's serial line.
#include "ftdisim.h"

namespace ftdisim {

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
