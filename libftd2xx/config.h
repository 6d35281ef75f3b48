// The ftd2xx.cfg reader: per-device configuration flags, looked up each time
// a device is opened.
//
// The file is a sequence of two-line sections, a header and a value line:
//
//   [Globals]              applies to every device
//   [VID_0403&PID_6015]    applies to the device with these ids (hexadecimal)
//   [FT4ABC12 A]           applies to the device whose serial copy is this
//   ConfigFlags=0x40000000 the value line of any of them
//
// Lines end with a line feed and are taken as they are: a carriage return
// before it stays part of the line. An empty line, a line that is not a
// header, or the end of any section ends the reading, except a section that
// applies but whose value does not parse: then the next line is taken as the
// next header.
//
// Nothing here takes a lock; an open runs it under the library mutex, which
// is why an open reads at most kConfigReadLimit bytes of the file.
#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace d2xx {

// Sizes including the terminating NUL. A line (header or value) with more
// bytes than kConfigLineSize - 1 never matches anything; a candidate path
// longer than kConfigPathSize - 1 is not tried.
constexpr size_t kConfigLineSize = 1024;
// The most of a file one open reads: the reading goes on past a section only
// while sections apply and their values do not parse, so a file that keeps it
// going that long is not one anybody meant.
constexpr size_t kConfigReadLimit = 65536;
constexpr size_t kConfigPathSize = 4096;
constexpr size_t kSerialCopySize = 17;
constexpr size_t kDescriptionCopySize = 65;

// The only bit the library acts on: writes go through the writer thread.
constexpr uint32_t kConfigWriteThread = 0x40000000;

// What a section can match, and where the result goes. Embedded in the
// device record; written only during the open, read-only afterwards.
struct ConfigTarget {
    uint32_t vendor_id = 0, product_id = 0;
    // Serial number and product string, each with " A"-style interface suffix
    // on multi-interface chips. Empty when the string is absent, unreadable or
    // too long for the copy: an empty serial copy matches no section.
    char serial_copy[kSerialCopySize] = {};
    char description_copy[kDescriptionCopySize] = {};
    uint32_t config_flags = 0;
};

// Section kinds returned by GetSectionType.
enum ConfigSection : int {
    kSectionGlobals = 0,
    kSectionVendorProduct = 1,
    kSectionSerialNumber = 2,
    kSectionNone = 3,
};

// Reads one line into `line` (`size` bytes, at least 1): every byte up to the
// next line feed, the line feed itself dropped, NUL-terminated. Returns 1 when
// a line feed ended the line, 0 at end of file (the line then holds whatever
// was read, possibly nothing).
//
// A line that does not fit in size - 1 bytes, or that holds a NUL byte, comes
// back empty with *unusable set: it can match nothing, and the reading must
// end there, since the rest of that line is left unread (the file is then
// positioned just past the offending byte). With no such problem *unusable is
// false. `unusable` may be null.
int GetString(FILE *file, char *line, size_t size, bool *unusable = nullptr);

// kSectionGlobals for exactly "[Globals]"; kSectionVendorProduct for a line
// beginning "[VID_"; kSectionSerialNumber for any other line beginning '['
// and ending ']'; kSectionNone otherwise.
int GetSectionType(const char *line);

// 0 when the line begins "ConfigFlags=", else 1.
int GetConfigType(const char *line);

// 1 with target->config_flags set when the line is "ConfigFlags=0x" followed
// by a hexadecimal number (either case) that fits in 32 bits; what follows the
// number is ignored. Otherwise 0 and config_flags unchanged.
int GetConfigFlags(ConfigTarget *target, const char *line);

// The two numbers of a "[VID_<hex>&PID_<hex>" header (what follows the second
// is ignored), or nullopt when the header does not yield both.
struct VendorProduct {
    uint32_t vendor_id, product_id;
};
std::optional<VendorProduct> ParseVendorProductHeader(const char *header);

// Reads the value line of the section whose header is `header` (of kind
// `kind`) and applies it to `target`. Returns 1 when the reading goes on
// (the section applies but its value does not parse), 0 when it stops.
int SetConfigData(int kind, const char *header, FILE *file, ConfigTarget *target);

// Reads the sections of an open file into `target` until the reading stops,
// from at most the file's first kConfigReadLimit bytes (a line that crosses
// that limit counts as absent). Does not reset config_flags.
void ReadConfigFile(FILE *file, ConfigTarget *target);
// The same without the limit: every line up to where the reading stops.
void ReadConfigSections(FILE *file, ConfigTarget *target);

// Closes the FILE when the owner goes.
struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using ConfigFile = std::unique_ptr<FILE, FileCloser>;

// "<cwd>/ftd2xx.cfg", or nullopt when that path would not fit kConfigPathSize.
std::optional<std::string> WorkingDirectoryConfigPath(const char *cwd);
// The places looked at, in order: the working directory (when it can be
// obtained and the path fits), /usr/local/lib, /usr/lib.
std::vector<std::string> ConfigSearchPaths();
// The first candidate that opens for reading, or null.
ConfigFile OpenFirstConfigFile(const std::vector<std::string> &candidates);
ConfigFile OpenConfigFile();

// Sets config_flags to 0, then reads the first configuration file found, if
// any. Nothing here fails: with no file or no section that applies the flags
// stay 0.
void ApplyConfigFile(ConfigTarget *target);

// Writes `name`, followed by a space and `letter` when letter is not 0, into
// `copy` of `copy_size` bytes. A result that does not fit leaves `copy` empty
// and returns false: a shortened name could equal another device's.
bool MakeNameCopy(char *copy, size_t copy_size, const char *name, char letter);

// The strings of the device being opened, by descriptor index; each is read
// from the device on first use. Null when the string cannot be read.
class NameSource {
  public:
    virtual const char *String(uint8_t index) = 0;

  protected:
    ~NameSource() = default;
};

// The whole configuration step of an open, after the interface is claimed:
// fills the target's ids from `desc` and sets config_flags to 0; then, only
// when a configuration file is found, its serial and description copies from
// the device's strings (with the interface letter on multi-interface chips)
// and the flags from the file. Without a file no string is asked for.
// `usb_interface` is the claimed interface number. Throws std::bad_alloc
// when memory runs out.
void GetDeviceConfigSettings(const libusb_device_descriptor &desc, int usb_interface,
                             NameSource &names, ConfigTarget *target);

}  // namespace d2xx
