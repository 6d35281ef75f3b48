// The ftd2xx.cfg reader, judged by the flags a device ends with: which
// sections apply (exactly its serial number, its ids, or everyone), how
// values parse, where reading stops, lines and paths that do not fit, and
// where the file is looked for.
#include "config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace d2xx {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "ftd2xx-config-XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &path() const { return path_; }
    std::string Write(const std::string &name, const std::string &text) const {
        const fs::path file = path_ / name;
        std::ofstream(file, std::ios::binary) << text;
        return file.string();
    }

  private:
    fs::path path_;
};

// A device with these ids; `serial` gets `letter` appended as a
// multi-interface chip's interface does ('\0': none).
ConfigTarget Device(uint32_t vid, uint32_t pid, const char *serial, char letter = '\0') {
    ConfigTarget target;
    target.vendor_id = vid;
    target.product_id = pid;
    if (serial) MakeNameCopy(target.serial_copy, sizeof target.serial_copy, serial, letter);
    return target;
}

uint32_t FlagsFrom(FILE *file, ConfigTarget target) {
    target.config_flags = 0;
    ReadConfigFile(file, &target);
    return target.config_flags;
}

uint32_t FlagsAfterReading(const std::string &text, const ConfigTarget &target) {
    TempDir dir;
    ConfigFile file(std::fopen(dir.Write("ftd2xx.cfg", text).c_str(), "r"));
    EXPECT_NE(file, nullptr);
    return file ? FlagsFrom(file.get(), target) : 0xDEADBEEF;
}

std::string Pad(std::string line, size_t length) {
    line.resize(length, ' ');
    return line;
}

TEST(ConfigFile, SectionsApplyToExactlyTheDevicesTheyName) {
    const ConfigTarget ft232 = Device(0x0403, 0x6015, "FT1X2Y3Z");
    const ConfigTarget quad_a = Device(0x0403, 0x6011, "FT4ABC12", 'A');
    const ConfigTarget no_serial = Device(0x0403, 0x6001, nullptr);
    const std::string v = "\nConfigFlags=0x40000000\n";
    struct Case {
        std::string text;
        const ConfigTarget &device;
        uint32_t flags;
    };
    const Case cases[] = {
        {"[Globals]" + v, ft232, 0x40000000},
        {"[Globals]" + v, no_serial, 0x40000000},
        {"[VID_0403&PID_6015]" + v, ft232, 0x40000000},
        {"[VID_0403&PID_6014]" + v, ft232, 0},
        {"[VID_0403&PID_6015]\r" + v, ft232, 0x40000000},  // ids parse up to the bracket
        {"[VID_0403]" + v, ft232, 0},
        {"[FT1X2Y3Z]" + v, ft232, 0x40000000},
        // The serial number must be the whole section name: neither a longer
        // nor a shorter one that shares its beginning applies.
        {"[FT1X2Y3Z1]" + v, ft232, 0},
        {"[FT1X2Y3ZA]" + v, ft232, 0},
        {"[FT1X2Y3]" + v, ft232, 0},
        {"[ft1x2y3z]" + v, ft232, 0},
        {"[FT1X2Y3Z]\r" + v, ft232, 0},
        {"[FT4ABC12 A]" + v, quad_a, 0x40000000},
        {"[FT4ABC12 A1]" + v, quad_a, 0},
        {"[FT4ABC12 B]" + v, quad_a, 0},
        {"[FT4ABC12]" + v, quad_a, 0},
        {"[FT4ABC12A]" + v, quad_a, 0},
        {"[]" + v + "[Globals]\nConfigFlags=0x2\n", no_serial, 0},
        {"[Globals]\r" + v, ft232, 0},
        // A section for another device ends the reading.
        {"[AB000001]" + v + "[Globals]\nConfigFlags=0x2\n", ft232, 0},
        // The first section that stores a value ends it too.
        {"[Globals]" + v + "[Globals]\nConfigFlags=0x1\n", ft232, 0x40000000},
        // A matching section whose value does not parse reads on.
        {"[Globals]\nConfigFlags=40000000\n[FT1X2Y3Z]\nConfigFlags=0x3\n", ft232, 3},
        {"[Globals]\nConfigFlags=zz\nConfigFlags=0x3\n", ft232, 0},
        {"[Globals]\nOther=0x1\n[Globals]\nConfigFlags=0x3\n", ft232, 0},
        {"[Globals]\nConfigFlags=zz\n\n[Globals]\nConfigFlags=0x1\n", ft232, 0},
        {"\n[Globals]" + v, ft232, 0},
        {"", ft232, 0},
        {"[Globals]", ft232, 0},
        {"[Globals]\nConfigFlags=0x1", ft232, 1},
    };
    for (const Case &c : cases) EXPECT_EQ(FlagsAfterReading(c.text, c.device), c.flags) << c.text;
}

// How far into the file the reading of `text` went, and the flags it gave.
std::pair<long, uint32_t> ReachAndFlags(const std::string &text, const ConfigTarget &target) {
    TempDir dir;
    ConfigFile file(std::fopen(dir.Write("ftd2xx.cfg", text).c_str(), "r"));
    EXPECT_NE(file, nullptr);
    if (!file) return {-1, 0xDEADBEEF};
    const uint32_t flags = FlagsFrom(file.get(), target);
    return {std::ftell(file.get()), flags};
}

std::string Repeat(const std::string &text, size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (size_t i = 0; i < times; ++i) out += text;
    return out;
}

TEST(ConfigFile, AnOpenReadsAtMostTheLimitOfAnyFile) {
    const ConfigTarget ft232 = Device(0x0403, 0x6015, "FT1X2Y3Z");
    const auto limit = static_cast<long>(kConfigReadLimit);
    const std::string applies = "[Globals]\nConfigFlags=0x1\n";
    // One huge line ends the reading where it stops fitting.
    const auto [line_reach, line_flags] =
        ReachAndFlags(std::string(8u << 20, 'x') + "\n" + applies, ft232);
    EXPECT_LE(line_reach, limit);
    EXPECT_EQ(line_flags, 0u);
    // Sections that keep the reading going (they apply, their values do not
    // parse) are read only up to the limit...
    const std::string going_on = "[Globals]\nConfigFlags=zz\n";
    const auto [many_reach, many_flags] =
        ReachAndFlags(Repeat(going_on, (8u << 20) / going_on.size()) + applies, ft232);
    EXPECT_LE(many_reach, limit);
    EXPECT_EQ(many_flags, 0u);
    // ...and within it they are read to the end.
    EXPECT_EQ(ReachAndFlags(Repeat(going_on, 100) + applies, ft232).second, 1u);
    // A value line that the limit cuts is not read as a shorter number: the
    // limit falls after "0x...1234" (leading zeros pad the line to it).
    const std::string base =
        Repeat(going_on, (kConfigReadLimit - 600) / going_on.size()) + "[Globals]\nConfigFlags=0x";
    const std::string cut =
        base + std::string(kConfigReadLimit - base.size() - 4, '0') + "12345678\n";
    ASSERT_EQ(cut.substr(kConfigReadLimit - 4, 4), "1234");
    EXPECT_EQ(ReachAndFlags(cut, ft232).second, 0u);
}

TEST(ConfigFile, ValuesAreLowerCase0xAndA32BitHexNumber) {
    const ConfigTarget device = Device(0x0403, 0x6015, "FT1X2Y3Z");
    const std::pair<const char *, uint32_t> cases[] = {
        {"0x40000000", 0x40000000},
        {"0xabcDEF01 trailing", 0xABCDEF01},
        {"0xFFFFFFFF", 0xFFFFFFFF},
        {"0x0000000040000000", 0x40000000},
        {"0x40000000\r", 0x40000000},
        {"40000000", 0},
        {"0X4", 0},
        {"0x", 0},
        {"0xG1", 0},
        {"0x-1", 0},
        {"0x 1", 0},
        {"0x100000000", 0},
    };
    for (const auto &[value, flags] : cases) {
        EXPECT_EQ(FlagsAfterReading(std::string("[Globals]\nConfigFlags=") + value + "\n", device),
                  flags)
            << value;
    }
    EXPECT_EQ(FlagsAfterReading("[VID_0403&pid_6015]\nConfigFlags=0x1\n", device), 0u);
    EXPECT_EQ(FlagsAfterReading("[VID_100000403&PID_6015]\nConfigFlags=0x1\n", device), 0u);
}

TEST(ConfigFile, LinesThatDoNotFitMatchNothingAndAreConsumedWhole) {
    static constexpr char kNulLine[] = "[Globals]\0junk\nConfigFlags=0x1\n";
    const ConfigTarget device = Device(0x0403, 0x6015, "FT1X2Y3Z");
    const size_t longest = kConfigLineSize - 1;
    const std::string value = "ConfigFlags=0x40000000";
    const std::string header = "[VID_0403&PID_6015";
    const std::pair<std::string, uint32_t> cases[] = {
        {"[Globals]\n" + Pad(value, longest) + "\n", 0x40000000},
        {"[Globals]\n" + Pad(value, longest + 1) + "\n", 0},
        {"[Globals]\n" + Pad(value, 5000) + "\n", 0},
        {Pad(header, longest - 1) + "]\n" + value + "\n", 0x40000000},
        {Pad(header, longest) + "]\n" + value + "\n", 0},
        // The tail of an over-long line is not read as the next line.
        {"[Globals]\n" + Pad("ConfigFlags=zz", longest) + "[Globals]\nConfigFlags=0x5\n", 0},
        // Nor is anything after a NUL byte.
        {std::string(kNulLine, sizeof kNulLine - 1), 0},
    };
    for (const auto &[text, flags] : cases) {
        EXPECT_EQ(FlagsAfterReading(text, device), flags) << text.size() << " bytes";
    }
}

TEST(ConfigFile, FirstRegularFileThatFitsAndOpensWins) {
    TempDir dir;
    const ConfigTarget device = Device(0x0403, 0x6015, "FT1X2Y3Z");
    const std::string missing = (dir.path() / "missing.cfg").string();
    const std::string second = dir.Write("second.cfg", "[Globals]\nConfigFlags=0x2\n");
    const std::string useless = dir.Write("useless.cfg", "\n");
    const std::string fifo = (dir.path() / "fifo.cfg").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // would block an open for reading
    const std::string directory = (dir.path() / "dir.cfg").string();
    fs::create_directory(directory);
    // The same file as `second`, through "./" padding, at the longest length
    // allowed and one past it.
    const std::string base = dir.path().string();
    const size_t padding = kConfigPathSize - 1 - base.size() - std::string("/second.cfg").size();
    std::string longest = base;
    for (size_t i = 0; i < padding / 2; ++i) longest += "/.";
    if (padding % 2 != 0) longest += "/";
    longest += "/second.cfg";
    ASSERT_EQ(longest.size(), kConfigPathSize - 1);
    const std::string fallback = dir.Write("fallback.cfg", "[Globals]\nConfigFlags=0x4\n");

    const auto flags = [&](const std::vector<std::string> &paths) -> uint32_t {
        ConfigFile file = OpenFirstConfigFile(paths);
        return file ? FlagsFrom(file.get(), device) : 0xFFFF;
    };
    EXPECT_EQ(flags({missing, fifo, directory, second, fallback}), 2u);
    EXPECT_EQ(flags({useless, second}), 0u);  // a file that applies nothing still wins
    EXPECT_EQ(flags({longest, fallback}), 2u);
    EXPECT_EQ(flags({"/" + longest, fallback}), 4u);
    EXPECT_EQ(flags({missing}), 0xFFFFu);

    const size_t file_part = std::string("/ftd2xx.cfg").size();
    EXPECT_EQ(WorkingDirectoryConfigPath("/work"), "/work/ftd2xx.cfg");
    EXPECT_TRUE(
        WorkingDirectoryConfigPath(std::string(kConfigPathSize - 1 - file_part, 'd').c_str()));
    EXPECT_FALSE(WorkingDirectoryConfigPath(std::string(kConfigPathSize - file_part, 'd').c_str()));
    const std::vector<std::string> paths = ConfigSearchPaths();
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(fs::path(paths[0]), fs::current_path() / "ftd2xx.cfg");
    EXPECT_EQ(paths[1], "/usr/local/lib/ftd2xx.cfg");
    EXPECT_EQ(paths[2], "/usr/lib/ftd2xx.cfg");
}

}  // namespace
}  // namespace d2xx
