// The main of a fuzz target's replay program: runs the target's entry point
// over every file named on the command line (a directory stands for the
// regular files in it). Built with any compiler, so
// the normal test run exercises every fuzz entry point.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fuzz_replay {

inline bool RunFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::string bytes(std::istreambuf_iterator<char>(in), {});
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return true;
}

inline int ReplayMain(int argc, char **argv) {
    size_t files = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(arg, error)) {
            for (const auto &entry : std::filesystem::directory_iterator(arg, error)) {
                if (!entry.is_regular_file()) continue;
                ok = RunFile(entry.path()) && ok;
                ++files;
            }
            if (error) ok = false;
        } else {
            ok = RunFile(arg) && ok;
            ++files;
        }
    }
    std::printf("ran %zu files\n", files);
    return ok && files > 0 ? 0 : 1;
}

}  // namespace fuzz_replay
