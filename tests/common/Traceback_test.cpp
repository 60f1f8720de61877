#include "common/Traceback.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

// A known call chain, named through ENABLE_EXPORTS; noinline and asm keep its frames on the stack.
namespace tracetest {

__attribute__((noinline)) std::unique_ptr<kelmo::Traceback> innerFrame(std::size_t skip) {
    std::unique_ptr<kelmo::Traceback> trace(new kelmo::Traceback(skip));
    asm volatile("");
    return trace;
}

__attribute__((noinline)) std::unique_ptr<kelmo::Traceback> outerFrame(std::size_t skip) {
    auto trace = innerFrame(skip);
    asm volatile("");
    return trace;
}

}  // namespace tracetest

namespace {

std::vector<std::string> printedLines(const kelmo::Traceback& trace) {
    std::stringstream text;
    text << trace;
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

TEST(Traceback, PrintsAKnownChainDemangledInnermostFirst) {
    const auto trace = tracetest::outerFrame(0);
    const auto lines = printedLines(*trace);
    ASSERT_EQ(lines.size(), trace->frameCount() + 1);
    EXPECT_EQ(lines[0], "Traceback:");
    const char* capture = "(kelmo::Traceback::Traceback(unsigned long)+";
    // A sanitizer's interceptor frame may come before the capture's own.
    size_t at = lines.at(1).find(capture) == std::string::npos ? 2 : 1;
    for (const char* name : {capture, "(tracetest::innerFrame(unsigned long)+",
                             "(tracetest::outerFrame(unsigned long)+"}) {
        ASSERT_LT(at, lines.size());
        EXPECT_TRUE(lines[at][0] == '\t' && lines[at].find(name) != std::string::npos) << lines[at];
        ++at;
    }
}

}  // namespace
