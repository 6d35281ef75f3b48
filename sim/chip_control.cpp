// Endpoint 0 of a simulated chip: its descriptors and the vendor requests of
// its serial engines.
#include <cerrno>

#include "chip_impl.h"

namespace ftdisim {
namespace {

void PutLe16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

// A string descriptor: UTF-16LE of the text's bytes (taken as Latin-1), at
// most 126 characters so that bLength fits in a byte.
std::vector<uint8_t> StringDescriptor(const std::string &text) {
    const size_t n = std::min<size_t>(text.size(), 126);
    std::vector<uint8_t> d;
    d.push_back(static_cast<uint8_t>(2 + 2 * n));
    d.push_back(3);
    for (size_t i = 0; i < n; i++) PutLe16(d, static_cast<uint8_t>(text[i]));
    return d;
}

bool IsIn(const ControlRecord &rec) {
    return (rec.bmRequestType & 0x80) != 0;
}

}  // namespace

void Chip::Impl::BuildDescriptors() {
    const uint16_t packet = spec.PacketSize();
    std::vector<uint8_t> &d = device_descriptor;
    d = {18, 1};
    PutLe16(d, 0x0200);  // bcdUSB
    d.insert(d.end(), {0, 0, 0, spec.high_speed ? uint8_t{64} : uint8_t{8}});
    PutLe16(d, spec.vendor_id);
    PutLe16(d, spec.product_id);
    PutLe16(d, spec.bcd_device);
    d.insert(d.end(), {1, 2, static_cast<uint8_t>(spec.serial ? 3 : 0), 1});

    std::vector<uint8_t> &c = config_descriptor;
    const uint16_t total = static_cast<uint16_t>(9 + spec.interfaces * (9 + 7 + 7));
    c = {9, 2};
    PutLe16(c, total);
    c.insert(c.end(), {static_cast<uint8_t>(spec.interfaces), 1, 0, 0xA0, 0x2D});
    for (int i = 0; i < spec.interfaces; i++) {
        c.insert(c.end(), {9, 4, static_cast<uint8_t>(i), 0, 2, 0xFF, 0xFF, 0xFF, 2});
        c.insert(c.end(), {7, 5, static_cast<uint8_t>(0x81 + 2 * i), 2});
        PutLe16(c, packet);
        c.push_back(0);
        c.insert(c.end(), {7, 5, static_cast<uint8_t>(0x02 + 2 * i), 2});
        PutLe16(c, packet);
        c.push_back(0);
    }
}

int Chip::Impl::StandardLocked(const ControlRecord &rec, std::vector<uint8_t> &reply) const {
    if (rec.bmRequestType == 0x80 && rec.bRequest == 6) {  // GET_DESCRIPTOR
        const uint8_t type = static_cast<uint8_t>(rec.wValue >> 8);
        const uint8_t index = static_cast<uint8_t>(rec.wValue);
        if (type == 1 && index == 0) {
            reply = device_descriptor;
        } else if (type == 2 && index == 0) {
            reply = config_descriptor;
        } else if (type == 3 && index == 0) {
            reply = {4, 3, 0x09, 0x04};  // English (US)
        } else if (type == 3 && index == 1) {
            reply = StringDescriptor(spec.manufacturer);
        } else if (type == 3 && index == 2) {
            reply = StringDescriptor(spec.product);
        } else if (type == 3 && index == 3 && spec.serial) {
            reply = StringDescriptor(*spec.serial);
        } else {
            return -EPIPE;
        }
        return 0;
    }
    if (rec.bmRequestType == 0x80 && rec.bRequest == 0) {  // GET_STATUS
        reply = {0, 0};
        return 0;
    }
    if (rec.bmRequestType == 0x80 && rec.bRequest == 8) {  // GET_CONFIGURATION
        reply = {1};
        return 0;
    }
    return -EPIPE;
}

int Chip::Impl::AddressedInterface(const ControlRecord &rec) const {
    if (!rec.IsVendor()) return -1;
    const int selector = rec.wIndex & 0xFF;
    const int by_selector = selector == 0 ? 0 : selector - 1;
    switch (rec.bRequest) {
        case 0:
            return (rec.wValue == 0 && selector == 0 && spec.interfaces > 1) ? -1 : by_selector;
        case 3:
            return traits.wide_index ? by_selector : 0;
        case 5:
            return rec.wIndex;
        case 0x90:
        case 0x91:
        case 0x92:
            return -1;
        default:
            return by_selector;
    }
}

const RequestFault *Chip::Impl::MatchFaultLocked(const ControlRecord &rec) {
    if (!rec.IsVendor()) return nullptr;
    for (RequestFault &f : faults) {
        if (f.request != rec.bRequest || (f.value && *f.value != rec.wValue) || f.count == 0)
            continue;
        if (f.skip > 0) {
            f.skip--;
            continue;
        }
        if (f.count > 0) f.count--;
        return &f;
    }
    return nullptr;
}

ControlOutcome Chip::Impl::ControlLocked(const uint8_t *setup, const uint8_t *out_data,
                                         size_t out_len) {
    ControlRecord rec;
    rec.bmRequestType = setup[0];
    rec.bRequest = setup[1];
    rec.wValue = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    rec.wIndex = static_cast<uint16_t>(setup[4] | setup[5] << 8);
    rec.wLength = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    if (!IsIn(rec) && out_data != nullptr)
        rec.data.assign(out_data, out_data + std::min<size_t>(rec.wLength, out_len));
    rec.interface = AddressedInterface(rec);

    ControlOutcome out;
    const RequestFault *fault = MatchFaultLocked(rec);
    const FaultMode mode = fault ? fault->mode : FaultMode::Stall;
    if (fault != nullptr && mode == FaultMode::Stall) {
        out.result = -EPIPE;
    } else if (fault != nullptr && mode == FaultMode::Timeout) {
        out.unanswered = true;
    } else {
        const uint8_t type = rec.bmRequestType & 0x60;
        if (type == 0x00)
            out.result = StandardLocked(rec, out.reply);
        else if (type == 0x40)
            out.result = VendorLocked(rec, out.reply);
        else
            out.result = -EPIPE;
        if (out.result >= 0) {
            if (IsIn(rec)) {
                if (out.reply.size() > rec.wLength) out.reply.resize(rec.wLength);
                if (fault != nullptr && !out.reply.empty()) out.reply.pop_back();
                out.result = static_cast<int>(out.reply.size());
            } else {
                out.result = static_cast<int>(rec.data.size());
                if (fault != nullptr && out.result > 0) out.result--;
            }
        } else {
            out.reply.clear();
        }
    }
    rec.result = out.result;
    if (IsIn(rec)) rec.data = out.reply;
    out.record = records.size();
    records.push_back(std::move(rec));
    return out;
}

// The serial engine's requests. Returns 0 or -EPIPE; IN requests leave their
// answer in `reply` (cut to wLength by the caller).
int Chip::Impl::VendorLocked(ControlRecord &rec, std::vector<uint8_t> &reply) {
    const bool in = IsIn(rec);
    const int nif = spec.interfaces;
    if (rec.interface >= nif) return -EPIPE;
    IfaceState *f = rec.interface >= 0 ? &ifaces[static_cast<size_t>(rec.interface)] : nullptr;

    auto status_bytes = [](const IfaceState &s) {
        return std::vector<uint8_t>{static_cast<uint8_t>(s.modem_lines | 0x01),
                                    static_cast<uint8_t>(0x60 | s.pending_line_error)};
    };

    switch (rec.bRequest) {
        case 0: {  // reset / purge
            if (in) return -EPIPE;
            if (rec.wValue == 0) {
                for (int i = 0; i < nif; i++) {
                    if (f != nullptr && i != rec.interface) continue;
                    IfaceState &s = ifaces[static_cast<size_t>(i)];
                    s.st.resets++;
                    s.rx_fifo.clear();
                    s.pending_line_error = 0;
                }
            } else if (rec.wValue == 1) {
                f->st.rx_purges++;
                f->rx_fifo.clear();
            } else if (rec.wValue == 2) {
                f->st.tx_purges++;
                f->pin.commands.clear();  // MPSSE commands not run yet, a wait among them
            } else {
                return -EPIPE;
            }
            return 0;
        }
        case 1:  // modem control
            if (in) return -EPIPE;
            if (rec.wValue & 0x0100) f->st.dtr = (rec.wValue & 0x01) != 0;
            if (rec.wValue & 0x0200) f->st.rts = (rec.wValue & 0x02) != 0;
            return 0;
        case 2:  // flow control
            if (in) return -EPIPE;
            f->st.flow_mode = rec.wIndex & 0xFF00;
            f->st.xon = static_cast<uint8_t>(rec.wValue);
            f->st.xoff = static_cast<uint8_t>(rec.wValue >> 8);
            return 0;
        case 3: {  // baud rate divisor
            if (in) return -EPIPE;
            const uint16_t upper = traits.wide_index
                                       ? static_cast<uint16_t>((rec.wIndex >> 8) & 0x3)
                                       : (rec.wIndex & 0x3);
            f->st.divisor_value = rec.wValue;
            f->st.divisor_index = rec.wIndex;
            f->st.line.baud = DecodeBaudRate(traits, rec.wValue, upper);
            return 0;
        }
        case 4:  // data characteristics and break
            if (in) return -EPIPE;
            f->st.line.data_bits = static_cast<uint8_t>(rec.wValue & 0xFF);
            f->st.line.parity = static_cast<uint8_t>((rec.wValue >> 8) & 0x7);
            f->st.line.stop_bits = static_cast<uint8_t>((rec.wValue >> 11) & 0x7);
            f->st.line.break_on = (rec.wValue & 0x4000) != 0;
            return 0;
        case 5:  // modem status
            if (!in || f == nullptr) return -EPIPE;
            reply = status_bytes(*f);
            return 0;
        case 6:  // event character
            if (in) return -EPIPE;
            f->st.event_char = static_cast<uint8_t>(rec.wValue);
            f->st.event_char_enabled = (rec.wValue & 0x100) != 0;
            return 0;
        case 7:  // error character
            if (in) return -EPIPE;
            f->st.error_char = static_cast<uint8_t>(rec.wValue);
            f->st.error_char_enabled = (rec.wValue & 0x100) != 0;
            return 0;
        case 9:  // set latency timer
            if (in || !traits.bm_or_later) return -EPIPE;
            f->st.latency_ms = static_cast<uint8_t>(rec.wValue);
            return 0;
        case 10:  // get latency timer
            if (!in || !traits.bm_or_later) return -EPIPE;
            reply = {f->st.latency_ms};
            return 0;
        case 11:  // set bit mode
            if (in || !traits.bm_or_later) return -EPIPE;
            f->st.bit_mask = static_cast<uint8_t>(rec.wValue);
            f->st.bit_mode = static_cast<uint8_t>(rec.wValue >> 8);
            SetBitModeLocked(rec.interface, f->st.bit_mask, f->st.bit_mode);
            return 0;
        case 12:  // get bit mode: the pins
            if (!in || !traits.bm_or_later) return -EPIPE;
            reply = {GetBitModeLocked(rec.interface)};
            return 0;
        case 0x20:  // vendor command get
            if (!in || !traits.vendor_commands) return -EPIPE;
            reply = vendor_reply ? *vendor_reply : vendor_last_set;
            reply.resize(rec.wLength, 0);
            return 0;
        case 0x21:  // vendor command set
            if (in || !traits.vendor_commands) return -EPIPE;
            vendor_last_set = rec.data;
            return 0;
        case 0x90:  // read EEPROM word
            if (!in || rec.wIndex >= eeprom.size()) return -EPIPE;
            reply = {static_cast<uint8_t>(eeprom[rec.wIndex]),
                     static_cast<uint8_t>(eeprom[rec.wIndex] >> 8)};
            return 0;
        case 0x91:  // write EEPROM word
            if (in || rec.wIndex >= eeprom.size()) return -EPIPE;
            eeprom[rec.wIndex] = rec.wValue;
            return 0;
        case 0x92:  // erase EEPROM
            if (in) return -EPIPE;
            eeprom.fill(0xFFFF);
            return 0;
        default:
            return -EPIPE;
    }
}

}  // namespace ftdisim
