#include "sysutil/message.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "helpers/stream_capture.h"

namespace {

std::string sys(int e) { return "\nSystem error " + std::to_string(e) + ": " + std::strerror(e); }

// The whole text on both streams; a non-zero status ends the process through exit().
TEST(Message, WholeTextOnBothStreamsWithSystemErrorAndProgramName) {
    std::string big;  // beyond the first 4096-byte buffer; every piece distinct
    while (big.size() < 9000) big += std::to_string(big.size()) + ',';
    // clang-format off
    struct Case { const char* progname; int errnoValue, status; std::string text, expected; };
    const Case cases[] = {
        {nullptr, 0, 0, "plain", "42 plain\n"},
        {nullptr, EACCES, 0, "ends with newline\n", "42 ends with newline\n" + sys(EACCES) + "\n"},
        {nullptr, 0, 0, "one newline\n", "42 one newline\n"},
        {nullptr, 0, 0, big, "42 " + big + "\n"},
        {"/usr/local/sbin/tool", 0, 3, "hi", "tool: 42 hi\n"},
        {"/opt/tool/", EINVAL, 0, big, "tool: 42 " + big + sys(EINVAL) + "\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto result = testsupport::runInChild([&] {
            std::atexit([] { fputs("exit handler\n", stdout); });
            PROGNAME = c.progname != nullptr ? strdup(c.progname) : nullptr;
            errno = c.errnoValue;
            // The long argument after 42 makes a second formatting pass use all of them again.
            return message(c.status, "%d %s", 42, c.text.c_str());
        });
        EXPECT_TRUE(result.exitedWith(c.status)) << result.status;
        EXPECT_EQ(result.err, c.expected);
        EXPECT_EQ(result.out, c.expected + (c.status ? "exit handler\n" : ""));
    }
}

}  // namespace
