#include "sysutil/message.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "helpers/stream_capture.h"

namespace {

std::string sys(int e) { return "\nSystem error " + std::to_string(e) + ": " + std::strerror(e); }

TEST(Message, WholeTextOnBothStreamsWithSystemErrorAndProgramName) {
    std::string big;  // beyond the first 4096-byte buffer; every piece distinct
    while (big.size() < 9000) big += std::to_string(big.size()) + ',';
    // clang-format off
    struct Case { const char* progname; int errnoValue; std::string text, expected; };
    const Case cases[] = {
        {nullptr, 0, "plain", "42 plain\n"},
        {nullptr, EACCES, "ends with newline\n", "42 ends with newline\n" + sys(EACCES) + "\n"},
        {nullptr, ENOENT, "no newline.", "42 no newline." + sys(ENOENT) + "\n"},
        {nullptr, 0, big, "42 " + big + "\n"},
        {"/usr/local/sbin/tool", 0, "hi", "tool: 42 hi\n"},
        {"/opt/tool/", EINVAL, big, "tool: 42 " + big + sys(EINVAL) + "\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto result = testsupport::runInChild([&] {
            PROGNAME = c.progname != nullptr ? strdup(c.progname) : nullptr;
            errno = c.errnoValue;
            // The long argument after 42 makes a second formatting pass use all of them again.
            return message(0, "%d %s", 42, c.text.c_str()) == 0 && errno == c.errnoValue ? 0 : 1;
        });
        EXPECT_TRUE(result.exitedWith(0)) << "errno not kept: " << c.expected.substr(0, 40);
        EXPECT_EQ(result.err, c.expected);
        EXPECT_EQ(result.out, c.expected);
    }
}

TEST(Message, NonZeroStatusEndsTheProcessThroughExit) {
    for (const bool viaPrint : {false, true}) {
        const auto result = testsupport::runInChild([&] {
            std::atexit([] { fputs("exit handler\n", stdout); });
            errno = 0;
            viaPrint ? message_print("bye 7", 5) : message(3, "bye %d", 7);
            fputs("returned\n", stdout);
            return 0;
        });
        EXPECT_TRUE(result.exitedWith(viaPrint ? 5 : 3)) << result.status;
        EXPECT_EQ(result.out, "bye 7\nexit handler\n");
        EXPECT_EQ(result.err, "bye 7\n");
    }
}

}  // namespace
