#include "sysutil/message.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "helpers/stream_capture.h"

std::string sys(int e) { return "\nSystem error " + std::to_string(e) + ": " + std::strerror(e); }

// The whole text on both streams; a non-zero status ends the process through exit().
TEST(Message, WholeTextOnBothStreamsWithSystemErrorAndProgramName) {
    std::string big;  // beyond the first 4096-byte buffer; every piece distinct
    while (big.size() < 9000) big += std::to_string(big.size()) + ',';
    const struct { const char* progname; int error, status; std::string text, wanted; } cases[] = {
        {nullptr, EACCES, 0, "ends with newline\n", "42 ends with newline\n" + sys(EACCES) + "\n"},
        {nullptr, 0, 0, "one newline\n", "42 one newline\n"},
        {"/usr/local/sbin/tool", 0, 3, "hi", "tool: 42 hi\n"},
        {"/opt/tool/", EINVAL, 0, big, "tool: 42 " + big + sys(EINVAL) + "\n"},
    };
    for (const auto& c : cases) {
        const auto result = testsupport::runInChild([&] {
            std::atexit([] { fputs("exit handler\n", stdout); });
            PROGNAME = c.progname != nullptr ? strdup(c.progname) : nullptr;
            errno = c.error;
            // The long argument after 42 makes a second formatting pass use all of them again.
            return message(c.status, "%d %s", 42, c.text.c_str());
        });
        EXPECT_TRUE(result.exitedWith(c.status)) << result.status;
        EXPECT_EQ(result.err, c.wanted);
        EXPECT_EQ(result.out, c.wanted + (c.status ? "exit handler\n" : ""));
    }
}
