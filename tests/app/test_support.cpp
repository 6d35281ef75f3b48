#include "test_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "console.h"
#include "link_protocol.h"

void FeedStdin(const std::string &text) {
    char path[] = "/tmp/wg-stdin-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    ASSERT_NE(std::freopen(path, "r", stdin), nullptr);
    unlink(path);
}

std::string Hex(const fake::Bytes &bytes) {
    std::string out;
    char digits[4];
    for (unsigned char b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X ", b);
        out += digits;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

void ConsoleTest::SetUp() {
    fake::Reset();
    ftHandle = fake::Handle();
    ftStatus = FT_OK;
    RxStates = kRxHunting;
    idxRxFrame = 0;
    SetFrameHandler(nullptr);
}

void ConsoleTest::TearDown() {
    ftHandle = nullptr;
    SetFrameHandler(nullptr);
}

void ConsoleTest::Receive(const fake::Bytes &bytes) {
    fake::Bytes copy = bytes;
    ProcessRxData(copy.data(), static_cast<unsigned int>(copy.size()));
    ProcessFrame();
}
