// Helpers shared by the console tests: standard input fed from a string, and a
// fixture that starts every test with the fake library and the console's
// globals in their start-up state.
#ifndef WG_TESTS_TEST_SUPPORT_H
#define WG_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>

#include "fake_ftd2xx.h"

// Replaces standard input with `text`, after which it reads end of file.
void FeedStdin(const std::string &text);

// Hex dump ("55 55 02 ...") of bytes, for readable frame comparisons.
std::string Hex(const fake::Bytes &bytes);

class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Runs `action` and returns what it printed.
    template <typename Action>
    static std::string Printed(Action &&action) {
        ::testing::internal::CaptureStdout();
        action();
        return ::testing::internal::GetCapturedStdout();
    }

    // Hands `bytes` to the receive state machine as the key loop does.
    static void Receive(const fake::Bytes &bytes);
};

#endif  // WG_TESTS_TEST_SUPPORT_H
