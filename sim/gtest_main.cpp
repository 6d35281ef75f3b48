// main() for GoogleTest programs that run the simulated chips in-process.
//
// umockdev's preload library must be in place before the program starts, so
// the first start re-executes the program with it prepended to LD_PRELOAD.
// The sanitizer runtimes are told what they need for that arrangement:
// AddressSanitizer not to insist on coming first in the library order, and
// ThreadSanitizer where the suppressions for glib's and umockdev's own
// internals are.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ftdisim.h"

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
    // Read by the sanitizer runtimes when the program starts again.
    AddOption("ASAN_OPTIONS", "verify_asan_link_order=0");
#if defined(__SANITIZE_THREAD__) && defined(FTDISIM_TSAN_SUPPRESSIONS)
    AddOption("TSAN_OPTIONS", std::string("suppressions=") + FTDISIM_TSAN_SUPPRESSIONS);
#endif
    if (!ftdisim::EnsureUmockdevPreload(argv)) return 2;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
