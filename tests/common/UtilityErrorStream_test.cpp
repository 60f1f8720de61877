#include "common/UtilityErrorStream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "helpers/stream_capture.h"

namespace {

// Raw writes of markers show when each copy happens.
void mark(int fd, const char* text) { (void)::write(fd, text, 1); }

TEST(UtilityErrorStream, StandardErrorAtOnceStandardOutputAtFlushAndExit) {
    // clang-format off
    struct Case { void (*body)(); bool exitHandlers; const char *err, *out; };
    const Case cases[] = {
        {[] { kelmo::errorStream << "one" << std::endl << "two " << 2 << std::endl; }, false, "one\ntwo 2\n", "one\ntwo 2\n"},
        {[] { kelmo::errorStream << "abc"; mark(2, "|"); mark(1, "["); kelmo::errorStream << "d" << std::flush; mark(1, "]"); }, false, "abc|d", "[abcd]"},
        {[] { kelmo::errorStream << "x" << std::flush; kelmo::errorStream.flush(); }, false, "x", "x"},
        {[] { kelmo::errorStream << "pending"; }, true, "pending", "pending"},
        {[] { kelmo::errorStream << "lost"; }, false, "lost", ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto result = testsupport::runInChild([&] { c.body(); return 0; }, c.exitHandlers);
        EXPECT_TRUE(result.exitedWith(0)) << c.err;
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out, c.out) << c.err;
    }
}

}  // namespace
