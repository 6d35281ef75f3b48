// The ftd2xx.cfg reader: line reading, section rules, value parsing, where the
// file is looked for, and the device-name copies sections are matched against.
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

class ScopedChdir {
  public:
    explicit ScopedChdir(const fs::path &dir) : saved_(fs::current_path()) {
        fs::current_path(dir);
    }
    ~ScopedChdir() { fs::current_path(saved_); }

  private:
    fs::path saved_;
};

ConfigTarget Device(uint32_t vid, uint32_t pid, const char *serial) {
    ConfigTarget target;
    target.vendor_id = vid;
    target.product_id = pid;
    EXPECT_TRUE(MakeNameCopy(target.serial_copy, sizeof target.serial_copy, serial, '\0'));
    return target;
}

// The flags a device ends with after reading `text` as the configuration file.
uint32_t FlagsAfterReading(const std::string &text, ConfigTarget target) {
    TempDir dir;
    ConfigFile file(std::fopen(dir.Write("ftd2xx.cfg", text).c_str(), "r"));
    EXPECT_NE(file, nullptr);
    if (!file) return 0xDEADBEEF;
    target.config_flags = 0;
    ReadConfigFile(file.get(), &target);
    return target.config_flags;
}

ConfigTarget Ft232() {
    return Device(0x0403, 0x6015, "FT1X2Y3Z");
}
ConfigTarget Other() {
    return Device(0x15D6, 0x0001, "AB000001");
}

TEST(ConfigLineReading, SplitsAtLineFeedsKeepingCarriageReturns) {
    TempDir dir;
    ConfigFile file(std::fopen(dir.Write("f", "one\r\n\ntwo").c_str(), "r"));
    ASSERT_NE(file, nullptr);
    char line[kConfigLineSize];
    bool unusable = true;
    EXPECT_EQ(GetString(file.get(), line, sizeof line, &unusable), 1);
    EXPECT_STREQ(line, "one\r");
    EXPECT_FALSE(unusable);
    EXPECT_EQ(GetString(file.get(), line, sizeof line, &unusable), 1);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(GetString(file.get(), line, sizeof line, &unusable), 0);
    EXPECT_STREQ(line, "two");
    EXPECT_EQ(GetString(file.get(), line, sizeof line, &unusable), 0);
    EXPECT_STREQ(line, "");
}

TEST(ConfigLineReading, LineThatDoesNotFitComesBackEmptyAndIsConsumedWhole) {
    const std::string fits(kConfigLineSize - 1, 'a');
    const std::string one_over(kConfigLineSize, 'b');
    const std::string far_over(5000, 'c');
    TempDir dir;
    ConfigFile file(std::fopen(
        dir.Write("f", fits + "\n" + one_over + "\n" + far_over + "\nnext\n" + far_over).c_str(),
        "r"));
    ASSERT_NE(file, nullptr);
    char line[kConfigLineSize];
    bool unusable = true;
    EXPECT_EQ(GetString(file.get(), line, sizeof line, &unusable), 1);
    EXPECT_EQ(line, fits);
    EXPECT_FALSE(unusable);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(GetString(file.get(), line, sizeof line, &unusable), 1);
        EXPECT_STREQ(line, "");
        EXPECT_TRUE(unusable);
    }
    EXPECT_EQ(GetString(file.get(), line, sizeof line, &unusable), 1);
    EXPECT_STREQ(line, "next");
    EXPECT_FALSE(unusable);
    EXPECT_EQ(GetString(file.get(), line, sizeof line, &unusable), 0);
    EXPECT_STREQ(line, "");
    EXPECT_TRUE(unusable);
}

TEST(ConfigLineReading, LineHoldingANulByteIsUnusable) {
    TempDir dir;
    const char raw[] = "[Globals]\0junk\nConfigFlags=0x1\n";
    const std::string text(raw, sizeof raw - 1);
    ConfigFile file(std::fopen(dir.Write("f", text).c_str(), "r"));
    ASSERT_NE(file, nullptr);
    char line[kConfigLineSize];
    bool unusable = false;
    EXPECT_EQ(GetString(file.get(), line, sizeof line, &unusable), 1);
    EXPECT_TRUE(unusable);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(GetString(file.get(), line, sizeof line, &unusable), 1);
    EXPECT_STREQ(line, "ConfigFlags=0x1");
    EXPECT_EQ(FlagsAfterReading(text, Ft232()), 0u);
}

TEST(ConfigSectionHeaders, AreClassifiedByTheirWholeLine) {
    EXPECT_EQ(GetSectionType("[Globals]"), kSectionGlobals);
    EXPECT_EQ(GetSectionType("[Globals]\r"), kSectionNone);
    EXPECT_EQ(GetSectionType("[Globals] "), kSectionNone);
    EXPECT_EQ(GetSectionType("[globals]"), kSectionSerialNumber);
    EXPECT_EQ(GetSectionType("[VID_0403&PID_6015]"), kSectionVendorProduct);
    EXPECT_EQ(GetSectionType("[VID_0403&PID_6015]\r"), kSectionVendorProduct);
    EXPECT_EQ(GetSectionType("[VID_"), kSectionVendorProduct);
    EXPECT_EQ(GetSectionType("[FT4ABC12 A]"), kSectionSerialNumber);
    EXPECT_EQ(GetSectionType("[]"), kSectionSerialNumber);
    EXPECT_EQ(GetSectionType("["), kSectionNone);
    EXPECT_EQ(GetSectionType("]"), kSectionNone);
    EXPECT_EQ(GetSectionType("[FT4ABC12"), kSectionNone);
    EXPECT_EQ(GetSectionType("ConfigFlags=0x1"), kSectionNone);
    EXPECT_EQ(GetSectionType(""), kSectionNone);
}

TEST(ConfigValues, OnlyLowerCase0xAndAFitting32BitHexNumberParse) {
    EXPECT_EQ(GetConfigType("ConfigFlags="), 0);
    EXPECT_EQ(GetConfigType("ConfigFlags"), 1);
    EXPECT_EQ(GetConfigType("configflags=0x1"), 1);
    EXPECT_EQ(GetConfigType(" ConfigFlags=0x1"), 1);

    ConfigTarget target;
    const auto parses = [&target](const char *line, uint32_t expected) {
        target.config_flags = 0x5A5A5A5A;
        EXPECT_EQ(GetConfigFlags(&target, line), 1) << line;
        EXPECT_EQ(target.config_flags, expected) << line;
    };
    const auto rejects = [&target](const char *line) {
        target.config_flags = 0x5A5A5A5A;
        EXPECT_EQ(GetConfigFlags(&target, line), 0) << line;
        EXPECT_EQ(target.config_flags, 0x5A5A5A5Au) << line;
    };
    parses("ConfigFlags=0x40000000", 0x40000000);
    parses("ConfigFlags=0x40000000\r", 0x40000000);
    parses("ConfigFlags=0xabcDEF01 trailing", 0xABCDEF01);
    parses("ConfigFlags=0xFFFFFFFF", 0xFFFFFFFF);
    parses("ConfigFlags=0x0000000040000000", 0x40000000);
    parses("ConfigFlags=0x0", 0);
    rejects("ConfigFlags=40000000");
    rejects("ConfigFlags=0X40000000");
    rejects("ConfigFlags=0x");
    rejects("ConfigFlags=0xG1");
    rejects("ConfigFlags=0x-1");
    rejects("ConfigFlags=0x+1");
    rejects("ConfigFlags=0x 1");
    rejects("ConfigFlags=0x100000000");
    rejects("ConfigFlags =0x1");
}

TEST(ConfigValues, VendorProductHeaderYieldsTwoHexNumbers) {
    auto ids = ParseVendorProductHeader("[VID_0403&PID_6015]");
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->vendor_id, 0x0403u);
    EXPECT_EQ(ids->product_id, 0x6015u);
    ids = ParseVendorProductHeader("[VID_abcd&PID_Ef01 anything");
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->vendor_id, 0xABCDu);
    EXPECT_EQ(ids->product_id, 0xEF01u);
    ids = ParseVendorProductHeader("[VID_10403&PID_6015]");
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->vendor_id, 0x10403u);
    EXPECT_FALSE(ParseVendorProductHeader("[VID_0403]"));
    EXPECT_FALSE(ParseVendorProductHeader("[VID_0403&PID_]"));
    EXPECT_FALSE(ParseVendorProductHeader("[VID_0403&pid_6015]"));
    EXPECT_FALSE(ParseVendorProductHeader("[VID_ 0403&PID_6015]"));
    EXPECT_FALSE(ParseVendorProductHeader("[VID_100000000&PID_6015]"));
}

TEST(ConfigFileReading, GlobalsSectionAppliesToEveryDevice) {
    const std::string text = "[Globals]\nConfigFlags=0x40000000\n";
    EXPECT_EQ(FlagsAfterReading(text, Ft232()), 0x40000000u);
    EXPECT_EQ(FlagsAfterReading(text, Other()), 0x40000000u);
    // The first section that stores a value ends the reading.
    EXPECT_EQ(FlagsAfterReading(text + "[Globals]\nConfigFlags=0x1\n", Ft232()), 0x40000000u);
}

TEST(ConfigFileReading, SectionForAnotherDeviceEndsTheReading) {
    const std::string vid =
        "[VID_0403&PID_6015]\nConfigFlags=0x40000000\n[Globals]\nConfigFlags=0x2\n";
    EXPECT_EQ(FlagsAfterReading(vid, Ft232()), 0x40000000u);
    EXPECT_EQ(FlagsAfterReading(vid, Other()), 0u);
    EXPECT_EQ(FlagsAfterReading(vid, Device(0x0403, 0x6014, "FT1X2Y3Z")), 0u);
    const std::string serial = "[AB000001]\nConfigFlags=0x8\n[Globals]\nConfigFlags=0x2\n";
    EXPECT_EQ(FlagsAfterReading(serial, Other()), 0x8u);
    EXPECT_EQ(FlagsAfterReading(serial, Ft232()), 0u);
    // A vendor/product header without both numbers stops before its value line.
    EXPECT_EQ(FlagsAfterReading("[VID_0403]\nConfigFlags=0x1\n", Ft232()), 0u);
}

TEST(ConfigFileReading, InterfaceSectionNamesTheLetteredSerialNumber) {
    ConfigTarget interface_a;
    ASSERT_TRUE(
        MakeNameCopy(interface_a.serial_copy, sizeof interface_a.serial_copy, "FT4ABC12", 'A'));
    EXPECT_EQ(FlagsAfterReading("[FT4ABC12 A]\nConfigFlags=0x40000000\n", interface_a),
              0x40000000u);
    EXPECT_EQ(FlagsAfterReading("[FT4ABC12]\nConfigFlags=0x40000000\n", interface_a), 0u);
    EXPECT_EQ(FlagsAfterReading("[FT4ABC12 B]\nConfigFlags=0x40000000\n", interface_a), 0u);
    EXPECT_EQ(FlagsAfterReading("[FT4ABC12A]\nConfigFlags=0x40000000\n", interface_a), 0u);
}

TEST(ConfigFileReading, EmptySerialCopyMatchesNoSection) {
    ConfigTarget no_serial;
    EXPECT_EQ(FlagsAfterReading("[]\nConfigFlags=0x1\n", no_serial), 0u);
    EXPECT_EQ(FlagsAfterReading("[]\nConfigFlags=0x1\n[Globals]\nConfigFlags=0x2\n", no_serial),
              0u);
}

TEST(ConfigFileReading, MatchingSectionWithUnparsableValueReadsOn) {
    EXPECT_EQ(
        FlagsAfterReading("[Globals]\nConfigFlags=40000000\n[Globals]\nConfigFlags=0x3\n", Ft232()),
        0x3u);
    EXPECT_EQ(FlagsAfterReading("[VID_0403&PID_6015]\nConfigFlags=zz\n[FT1X2Y3Z]\n"
                                "ConfigFlags=0x7\n",
                                Ft232()),
              0x7u);
    // Not for a section that does not apply, nor for a value line of another key.
    EXPECT_EQ(
        FlagsAfterReading("[AB000001]\nConfigFlags=zz\n[Globals]\nConfigFlags=0x3\n", Ft232()), 0u);
    EXPECT_EQ(FlagsAfterReading("[Globals]\nOther=0x1\n[Globals]\nConfigFlags=0x3\n", Ft232()), 0u);
    // After an unparsable value, a line that is not a header ends the reading.
    EXPECT_EQ(FlagsAfterReading("[Globals]\nConfigFlags=zz\nConfigFlags=0x3\n", Ft232()), 0u);
}

TEST(ConfigFileReading, CarriageReturnLineEndsBreakOnlyExactHeaders) {
    EXPECT_EQ(FlagsAfterReading("[Globals]\r\nConfigFlags=0x40000000\r\n", Ft232()), 0u);
    EXPECT_EQ(FlagsAfterReading("[VID_0403&PID_6015]\r\nConfigFlags=0x40000000\r\n", Ft232()),
              0x40000000u);
    EXPECT_EQ(FlagsAfterReading("[FT1X2Y3Z]\r\nConfigFlags=0x40000000\r\n", Ft232()), 0u);
}

TEST(ConfigFileReading, EmptyLinesAndEndOfFileEndTheReading) {
    EXPECT_EQ(FlagsAfterReading("", Ft232()), 0u);
    EXPECT_EQ(FlagsAfterReading("\n[Globals]\nConfigFlags=0x1\n", Ft232()), 0u);
    EXPECT_EQ(
        FlagsAfterReading("[Globals]\nConfigFlags=zz\n\n[Globals]\nConfigFlags=0x1\n", Ft232()),
        0u);
    EXPECT_EQ(FlagsAfterReading("[Globals]\n", Ft232()), 0u);
    EXPECT_EQ(FlagsAfterReading("[Globals]", Ft232()), 0u);
    EXPECT_EQ(FlagsAfterReading("[Globals]\nConfigFlags=0x1", Ft232()), 0x1u);
}

TEST(ConfigFileReading, LinesThatDoNotFitMatchNothing) {
    const auto pad = [](std::string line, size_t length) {
        line.resize(length, ' ');
        return line;
    };
    const size_t longest = kConfigLineSize - 1;
    const std::string value = "ConfigFlags=0x40000000";
    EXPECT_EQ(FlagsAfterReading("[Globals]\n" + pad(value, longest) + "\n", Ft232()), 0x40000000u);
    EXPECT_EQ(FlagsAfterReading("[Globals]\n" + pad(value, longest + 1) + "\n", Ft232()), 0u);
    EXPECT_EQ(FlagsAfterReading("[Globals]\n" + pad(value, 5000) + "\n", Ft232()), 0u);

    const std::string header = "[VID_0403&PID_6015";
    EXPECT_EQ(FlagsAfterReading(pad(header, longest - 1) + "]\n" + value + "\n", Ft232()),
              0x40000000u);
    EXPECT_EQ(FlagsAfterReading(pad(header, longest) + "]\n" + value + "\n", Ft232()), 0u);

    // The tail of an over-long value line is not taken as the next header: a
    // reader that split it would see an unparsable value and then [Globals].
    const std::string split = pad("ConfigFlags=zz", longest) + "[Globals]\nConfigFlags=0x5\n";
    EXPECT_EQ(FlagsAfterReading("[Globals]\n" + split, Ft232()), 0u);
}

TEST(ConfigFileSearch, FirstCandidateThatOpensWins) {
    TempDir dir;
    const std::string missing = (dir.path() / "missing.cfg").string();
    const std::string second = dir.Write("second.cfg", "[Globals]\nConfigFlags=0x2\n");
    const std::string third = dir.Write("third.cfg", "[Globals]\nConfigFlags=0x3\n");
    ConfigTarget target;

    ConfigFile file = OpenFirstConfigFile({missing, second, third});
    ASSERT_NE(file, nullptr);
    ReadConfigFile(file.get(), &target);
    EXPECT_EQ(target.config_flags, 0x2u);

    // A file that applies nothing still ends the search.
    const std::string useless = dir.Write("useless.cfg", "\n");
    file = OpenFirstConfigFile({useless, second});
    ASSERT_NE(file, nullptr);
    target.config_flags = 0;
    ReadConfigFile(file.get(), &target);
    EXPECT_EQ(target.config_flags, 0u);

    EXPECT_EQ(OpenFirstConfigFile({missing}), nullptr);
    EXPECT_EQ(OpenFirstConfigFile({}), nullptr);
}

TEST(ConfigFileSearch, OnlyRegularFilesCount) {
    TempDir dir;
    const std::string fallback = dir.Write("real.cfg", "[Globals]\nConfigFlags=0x7\n");
    const std::string fifo = (dir.path() / "fifo.cfg").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string directory = (dir.path() / "dir.cfg").string();
    fs::create_directory(directory);
    // Neither a FIFO nobody writes to (it would block) nor a directory stops
    // the search.
    ConfigFile file = OpenFirstConfigFile({fifo, directory, fallback});
    ASSERT_NE(file, nullptr);
    ConfigTarget target;
    ReadConfigFile(file.get(), &target);
    EXPECT_EQ(target.config_flags, 0x7u);
}

TEST(ConfigFileSearch, PathsThatDoNotFitAreSkipped) {
    TempDir dir;
    const std::string real = dir.Write("c.cfg", "[Globals]\nConfigFlags=0x9\n");
    const std::string fallback = dir.Write("d.cfg", "[Globals]\nConfigFlags=0x4\n");
    // The same file reached through "./" padding, at the longest length
    // allowed and one past it.
    const std::string base = dir.path().string();
    const size_t padding = kConfigPathSize - 1 - base.size() - std::string("/c.cfg").size();
    std::string longest = base;
    for (size_t i = 0; i < padding / 2; ++i) longest += "/.";
    if (padding % 2 != 0) longest += "/";
    longest += "/c.cfg";
    ASSERT_EQ(longest.size(), kConfigPathSize - 1);
    const std::string too_long = std::string("/") + longest;

    ConfigTarget target;
    ConfigFile file = OpenFirstConfigFile({longest, fallback});
    ASSERT_NE(file, nullptr);
    ReadConfigFile(file.get(), &target);
    EXPECT_EQ(target.config_flags, 0x9u);

    file = OpenFirstConfigFile({too_long, fallback});
    ASSERT_NE(file, nullptr);
    ReadConfigFile(file.get(), &target);
    EXPECT_EQ(target.config_flags, 0x4u);

    EXPECT_EQ(WorkingDirectoryConfigPath("/work"), "/work/ftd2xx.cfg");
    const size_t file_part = std::string("/ftd2xx.cfg").size();
    EXPECT_TRUE(
        WorkingDirectoryConfigPath(std::string(kConfigPathSize - 1 - file_part, 'd').c_str()));
    EXPECT_FALSE(WorkingDirectoryConfigPath(std::string(kConfigPathSize - file_part, 'd').c_str()));
    EXPECT_FALSE(WorkingDirectoryConfigPath(nullptr));
}

TEST(ConfigFileSearch, WorkingDirectoryComesBeforeTheSystemDirectories) {
    TempDir dir;
    ScopedChdir in_dir(dir.path());
    const std::vector<std::string> paths = ConfigSearchPaths();
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(fs::path(paths[0]), fs::current_path() / "ftd2xx.cfg");
    EXPECT_EQ(paths[1], "/usr/local/lib/ftd2xx.cfg");
    EXPECT_EQ(paths[2], "/usr/lib/ftd2xx.cfg");

    ConfigTarget target;
    dir.Write("ftd2xx.cfg", "[Globals]\nConfigFlags=0x40000000\n");
    ApplyConfigFile(&target);
    EXPECT_EQ(target.config_flags, 0x40000000u);

    // Reading starts from no flags: a file that applies nothing clears them.
    dir.Write("ftd2xx.cfg", "[VID_FFFF&PID_FFFF]\nConfigFlags=0x1\n");
    ApplyConfigFile(&target);
    EXPECT_EQ(target.config_flags, 0u);
}

TEST(ConfigNameCopies, SuffixedNamesThatDoNotFitAreLeftEmpty) {
    char serial[kSerialCopySize] = "stale";
    EXPECT_TRUE(MakeNameCopy(serial, sizeof serial, "FT4ABC12", 'A'));
    EXPECT_STREQ(serial, "FT4ABC12 A");
    EXPECT_TRUE(MakeNameCopy(serial, sizeof serial, "ABCDEFGHIJKLMN", 'B'));
    EXPECT_STREQ(serial, "ABCDEFGHIJKLMN B");
    EXPECT_FALSE(MakeNameCopy(serial, sizeof serial, "ABCDEFGHIJKLMNO", 'B'));
    EXPECT_STREQ(serial, "");
    EXPECT_FALSE(MakeNameCopy(serial, sizeof serial, "ABCDEFGHIJKLMNOP", 'A'));
    EXPECT_STREQ(serial, "");
    EXPECT_TRUE(MakeNameCopy(serial, sizeof serial, "ABCDEFGHIJKLMNOP", '\0'));
    EXPECT_STREQ(serial, "ABCDEFGHIJKLMNOP");
    EXPECT_FALSE(MakeNameCopy(serial, sizeof serial, "ABCDEFGHIJKLMNOPQ", '\0'));
    EXPECT_STREQ(serial, "");

    char description[kDescriptionCopySize];
    EXPECT_TRUE(MakeNameCopy(description, sizeof description, std::string(62, 'd').c_str(), 'C'));
    EXPECT_EQ(std::string(description), std::string(62, 'd') + " C");
    EXPECT_FALSE(MakeNameCopy(description, sizeof description, std::string(63, 'd').c_str(), 'C'));
    EXPECT_STREQ(description, "");

    // A 16-character serial on interface A cannot be stored whole, so no
    // section for it or for a 16-character prefix of it may match.
    ConfigTarget target;
    MakeNameCopy(target.serial_copy, sizeof target.serial_copy, "ABCDEFGHIJKLMNOP", 'A');
    EXPECT_EQ(FlagsAfterReading("[ABCDEFGHIJKLMNOP]\nConfigFlags=0x1\n", target), 0u);
    EXPECT_EQ(FlagsAfterReading("[ABCDEFGHIJKLMNOP A]\nConfigFlags=0x1\n", target), 0u);
}

}  // namespace
}  // namespace d2xx
