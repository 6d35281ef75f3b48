// Arbitrary bytes as an ftd2xx.cfg file, read for one fixed device.
//
// Besides memory errors (caught by the sanitizers) the entry point checks what
// any input must respect: the reader only ever writes config_flags, and it
// can only set them from a "ConfigFlags=0x" value line.
//
// Built with FTD2XX_FUZZ_REPLAY it is a plain program instead: it runs the
// entry point over every file (or every file of every directory) named on
// its command line: the seed corpus in fuzz/corpus/.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"

namespace {

d2xx::ConfigTarget FixedTarget() {
    d2xx::ConfigTarget target;
    target.vendor_id = 0x0403;
    target.product_id = 0x6015;
    d2xx::MakeNameCopy(target.serial_copy, sizeof target.serial_copy, "FT4ABC12", 'A');
    d2xx::MakeNameCopy(target.description_copy, sizeof target.description_copy, "Quad RS232-HS",
                       'A');
    return target;
}

bool Contains(const uint8_t *data, size_t size, const char *needle) {
    return memmem(data, size, needle, std::strlen(needle)) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const d2xx::ConfigTarget before = FixedTarget();
    d2xx::ConfigTarget target = before;
    // fmemopen only reads through the buffer; an empty one reads as end of file.
    d2xx::ConfigFile file(fmemopen(const_cast<uint8_t *>(data), size, "r"));
    if (!file) return 0;
    d2xx::ReadConfigFile(file.get(), &target);

    if (target.vendor_id != before.vendor_id || target.product_id != before.product_id ||
        std::memcmp(target.serial_copy, before.serial_copy, sizeof target.serial_copy) != 0 ||
        std::memcmp(target.description_copy, before.description_copy,
                    sizeof target.description_copy) != 0) {
        std::abort();
    }
    if (target.config_flags != 0 && !Contains(data, size, "ConfigFlags=0x")) std::abort();
    return 0;
}

#ifdef FTD2XX_FUZZ_REPLAY

#include "replay.h"

int main(int argc, char **argv) {
    return fuzz_replay::ReplayMain(argc, argv);
}

#endif  // FTD2XX_FUZZ_REPLAY
