#include "common/UtilityErrorStream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "helpers/stream_capture.h"

using kelmo::errorStream;

// Raw writes of markers show when each copy happens.
void mark(int fd, const char* text) { (void)::write(fd, text, 1); }

// Each flush copies the pending text once; what is pending at exit is copied, not at _exit.
TEST(UtilityErrorStream, StandardErrorAtOnceStandardOutputAtFlushAndExit) {
    // clang-format off
    const struct { void (*body)(); bool exitHandlers; const char *err, *out; } cases[] = {
        {[] { errorStream << "one" << std::endl << "two " << 2 << std::endl; }, false,
         "one\ntwo 2\n", "one\ntwo 2\n"},
        {[] { errorStream << "abc"; mark(2, "|"); mark(1, "["); errorStream << "d" << std::flush;
              mark(1, "]"); }, false, "abc|d", "[abcd]"},
        {[] { errorStream << "pending"; }, true, "pending", "pending"},
        {[] { errorStream << "lost"; }, false, "lost", ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        const auto result = testsupport::runInChild([&] { c.body(); return 0; }, c.exitHandlers);
        EXPECT_TRUE(result.exitedWith(0)) << c.err;
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out, c.out) << c.err;
    }
}
