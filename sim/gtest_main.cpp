// main() for GoogleTest programs that run the simulated chips in-process.
//
// umockdev's preload library must be in place before the program starts, so
// the first start re-executes the program with it prepended to LD_PRELOAD.
// The sanitizer runtimes are told what they need for that arrangement:
// AddressSanitizer not to insist on coming first in the library order, and
// ThreadSanitizer where the suppressions for glib's and umockdev's own
// internals are.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void AddOption(const char *var, const std::string &option) {
    const char *cur = getenv(var);
    std::string value = cur ? cur : "";
    const std::string key = option.substr(0, option.find('=') + 1);
    if (value.find(key) != std::string::npos) return;
    if (!value.empty()) value += ':';
    value += option;
    setenv(var, value.c_str(), 1);
}

}  // namespace

int main(int argc, char **argv) {
    const char *preload = getenv("LD_PRELOAD");
    if (preload == nullptr || strstr(preload, "libumockdev-preload") == nullptr) {
        std::string value = "libumockdev-preload.so.0";
        if (preload != nullptr && *preload != '\0') value += std::string(":") + preload;
        setenv("LD_PRELOAD", value.c_str(), 1);
        AddOption("ASAN_OPTIONS", "verify_asan_link_order=0");
#if defined(__SANITIZE_THREAD__) && defined(FTDISIM_TSAN_SUPPRESSIONS)
        AddOption("TSAN_OPTIONS", std::string("suppressions=") + FTDISIM_TSAN_SUPPRESSIONS);
#endif
        execv("/proc/self/exe", argv);
        perror("ftdisim: re-executing with umockdev's preload library failed");
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
