// The ftd2xx.cfg reader (see config.h for the file's shape).
//
// Every buffer here has a fixed size and every input is checked against it:
// the file and the device strings come from outside the library. A line,
// name or path that does not fit is never shortened into something else; it
// simply matches nothing.
#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "chip.h"

namespace d2xx {

namespace {

constexpr char kGlobalsHeader[] = "[Globals]";
constexpr char kVendorPrefix[] = "[VID_";
constexpr char kProductInfix[] = "&PID_";
constexpr char kConfigKey[] = "ConfigFlags=";
constexpr char kConfigValuePrefix[] = "ConfigFlags=0x";
constexpr char kConfigFileName[] = "/ftd2xx.cfg";
constexpr char kLocalLibConfigPath[] = "/usr/local/lib/ftd2xx.cfg";
constexpr char kLibConfigPath[] = "/usr/lib/ftd2xx.cfg";

bool StartsWith(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads the run of hexadecimal digits at `p` and advances `p` past it. The
// run must start right at `p` (no space, sign or "0x") and its value must fit
// in 32 bits; leading zeros are fine. On failure `p` and `value` are
// unspecified.
bool ParseHex32(const char *&p, uint32_t *value) {
    if (HexDigitValue(*p) < 0) return false;
    uint64_t v = 0;
    for (int digit; (digit = HexDigitValue(*p)) >= 0; ++p) {
        v = v * 16 + static_cast<uint64_t>(digit);
        if (v > UINT32_MAX) return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// The name of a serial-number header is everything between its brackets. An
// empty copy (no serial number, or one we could not read) matches nothing,
// not even "[]".
bool SerialSectionMatches(const char *header, const char *serial_copy) {
    const size_t header_length = std::strlen(header);
    const size_t serial_length = std::strlen(serial_copy);
    if (serial_length == 0 || header_length < 2) return false;
    return header_length - 2 == serial_length &&
           std::memcmp(header + 1, serial_copy, serial_length) == 0;
}

// The name of string `index` into `copy` with the interface suffix; leaves
// `copy` empty when there is no such string or it cannot be read.
void MakeNameCopyFrom(NameSource &names, uint8_t index, char letter, char *copy, size_t copy_size) {
    copy[0] = '\0';
    if (index == 0) return;
    if (const char *name = names.String(index)) MakeNameCopy(copy, copy_size, name, letter);
}

}  // namespace

int GetString(FILE *file, char *line, size_t size, bool *unusable) {
    size_t length = 0;
    bool bad = false;
    int result = 0;
    for (;;) {
        const int c = std::getc(file);
        if (c == EOF) break;
        if (c == '\n') {
            result = 1;
            break;
        }
        // The reading ends at an unusable line, so nothing after the
        // problem is read: a huge line costs no more than one that fits.
        if (c == '\0' || length + 1 >= size) {
            bad = true;
            break;
        }
        line[length++] = static_cast<char>(c);
    }
    if (bad) length = 0;
    if (size > 0) line[length] = '\0';
    if (unusable != nullptr) *unusable = bad;
    return result;
}

int GetSectionType(const char *line) {
    if (std::strcmp(line, kGlobalsHeader) == 0) return kSectionGlobals;
    if (StartsWith(line, kVendorPrefix)) return kSectionVendorProduct;
    const size_t length = std::strlen(line);
    if (length >= 2 && line[0] == '[' && line[length - 1] == ']') return kSectionSerialNumber;
    return kSectionNone;
}

int GetConfigType(const char *line) {
    return StartsWith(line, kConfigKey) ? 0 : 1;
}

int GetConfigFlags(ConfigTarget *target, const char *line) {
    if (!StartsWith(line, kConfigValuePrefix)) return 0;
    const char *p = line + std::strlen(kConfigValuePrefix);
    uint32_t value = 0;
    if (!ParseHex32(p, &value)) return 0;
    target->config_flags = value;
    return 1;
}

std::optional<VendorProduct> ParseVendorProductHeader(const char *header) {
    if (!StartsWith(header, kVendorPrefix)) return std::nullopt;
    const char *p = header + std::strlen(kVendorPrefix);
    VendorProduct ids{};
    if (!ParseHex32(p, &ids.vendor_id)) return std::nullopt;
    if (!StartsWith(p, kProductInfix)) return std::nullopt;
    p += std::strlen(kProductInfix);
    if (!ParseHex32(p, &ids.product_id)) return std::nullopt;
    return ids;
}

int SetConfigData(int kind, const char *header, FILE *file, ConfigTarget *target) {
    bool applies = false;
    switch (kind) {
        case kSectionGlobals:
            applies = true;
            break;
        case kSectionVendorProduct: {
            // A header without both numbers ends the reading before its value
            // line is read.
            const auto ids = ParseVendorProductHeader(header);
            if (!ids) return 0;
            applies = ids->vendor_id == target->vendor_id && ids->product_id == target->product_id;
            break;
        }
        case kSectionSerialNumber:
            applies = SerialSectionMatches(header, target->serial_copy);
            break;
        default:
            return 0;
    }

    char value[kConfigLineSize];
    bool unusable = false;
    GetString(file, value, sizeof value, &unusable);
    if (unusable || GetConfigType(value) != 0 || !applies) return 0;
    // A section that applies but whose value does not parse lets the next line
    // be read as a header.
    return GetConfigFlags(target, value) != 0 ? 0 : 1;
}

void ReadConfigFile(FILE *file, ConfigTarget *target) {
    // The sections are parsed from a copy of the file's first
    // kConfigReadLimit bytes, so an open reads no more than that of any file.
    // A line the limit cuts is dropped whole: cut short, a value could
    // parse as another number.
    std::vector<char> head;
    try {
        head.resize(kConfigReadLimit);
    } catch (const std::bad_alloc &) {
        return;  // as with no file
    }
    size_t size = std::fread(head.data(), 1, head.size(), file);
    if (size == head.size()) {
        while (size > 0 && head[size - 1] != '\n') --size;
    }
    if (size == 0) return;
    const ConfigFile copy(fmemopen(head.data(), size, "r"));
    if (copy) ReadConfigSections(copy.get(), target);
}

void ReadConfigSections(FILE *file, ConfigTarget *target) {
    char line[kConfigLineSize];
    bool unusable = false;
    GetString(file, line, sizeof line, &unusable);
    while (!unusable && line[0] != '\0') {
        const int kind = GetSectionType(line);
        if (kind == kSectionNone) return;
        if (SetConfigData(kind, line, file, target) == 0) return;
        GetString(file, line, sizeof line, &unusable);
    }
}

std::optional<std::string> WorkingDirectoryConfigPath(const char *cwd) {
    if (cwd == nullptr) return std::nullopt;
    std::string path = std::string(cwd) + kConfigFileName;
    if (path.size() >= kConfigPathSize) return std::nullopt;
    return path;
}

std::vector<std::string> ConfigSearchPaths() {
    std::vector<std::string> paths;
    char cwd[kConfigPathSize];
    if (getcwd(cwd, sizeof cwd) != nullptr) {
        if (auto path = WorkingDirectoryConfigPath(cwd)) paths.push_back(std::move(*path));
    }
    paths.emplace_back(kLocalLibConfigPath);
    paths.emplace_back(kLibConfigPath);
    return paths;
}

ConfigFile OpenFirstConfigFile(const std::vector<std::string> &candidates) {
    for (const std::string &path : candidates) {
        if (path.size() >= kConfigPathSize) continue;
        // Only a regular file counts: a FIFO of that name would block the
        // open (under the library lock) and a directory would hide the files
        // further down the list. Close-on-exec: the application may start
        // programs while we read.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            continue;
        }
        if (FILE *file = ::fdopen(fd, "r")) return ConfigFile(file);
        ::close(fd);
    }
    return nullptr;
}

ConfigFile OpenConfigFile() {
    return OpenFirstConfigFile(ConfigSearchPaths());
}

void ApplyConfigFile(ConfigTarget *target) {
    target->config_flags = 0;
    ConfigFile file;
    try {
        file = OpenConfigFile();
    } catch (const std::bad_alloc &) {
        // Only the path list allocates; without memory for it the device is
        // simply left unconfigured, as with no file.
        return;
    }
    if (file) ReadConfigFile(file.get(), target);
}

bool MakeNameCopy(char *copy, size_t copy_size, const char *name, char letter) {
    if (copy_size == 0) return false;
    copy[0] = '\0';
    if (name == nullptr) return false;
    bool fits = false;
    if (letter != '\0') {
        fits = AppendDescriptionLetter(copy, copy_size, name, letter);
    } else {
        const int length = std::snprintf(copy, copy_size, "%s", name);
        fits = length >= 0 && static_cast<size_t>(length) < copy_size;
    }
    if (!fits) copy[0] = '\0';
    return fits;
}

void GetDeviceConfigSettings(const libusb_device_descriptor &desc, int usb_interface,
                             NameSource &names, ConfigTarget *target) {
    target->vendor_id = desc.idVendor;
    target->product_id = desc.idProduct;
    target->serial_copy[0] = '\0';
    target->description_copy[0] = '\0';
    target->config_flags = 0;
    // Without memory for the path list the open fails (std::bad_alloc): a
    // device opened without the settings its file gives would pass for
    // configured.
    ConfigFile file = OpenConfigFile();
    if (!file) return;

    // On a multi-interface chip every name carries its interface letter. An
    // interface number without a letter of its own leaves both copies empty,
    // so no section meant for a real interface can match it.
    char letter = '\0';
    bool names_usable = true;
    if (IsMultiInterfaceChip(desc.bcdDevice)) {
        letter = InterfaceLetter(usb_interface);
        names_usable = letter >= 'A' && letter <= 'E';
    }
    if (names_usable) {
        MakeNameCopyFrom(names, desc.iSerialNumber, letter, target->serial_copy,
                         sizeof target->serial_copy);
        MakeNameCopyFrom(names, desc.iProduct, letter, target->description_copy,
                         sizeof target->description_copy);
    }
    ReadConfigFile(file.get(), target);
}

}  // namespace d2xx
