#include "common/Traceback.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

// A known call chain, named through ENABLE_EXPORTS; noinline and asm keep its frames on the stack.
namespace tracetest {

__attribute__((noinline)) std::string innerFrame() {
    std::ostringstream text;
    text << kelmo::Traceback(0);
    asm volatile("");
    return text.str();
}

__attribute__((noinline)) std::string outerFrame() {
    std::string text = innerFrame();
    asm volatile("");
    return text;
}

}  // namespace tracetest

namespace {

// One tab-led line per frame, demangled, the capture's own first (a sanitizer's interceptor may
// come before it).
TEST(Traceback, PrintsAKnownChainDemangledInnermostFirst) {
    const std::string text = tracetest::outerFrame();
    std::size_t at = 0;
    for (const char* name : {"Traceback:\n", "\t", "(kelmo::Traceback::Traceback(unsigned long)+",
                             "\n\t", "(tracetest::innerFrame[abi:cxx11]()+", "\n\t",
                             "(tracetest::outerFrame[abi:cxx11]()+"}) {
        at = text.find(name, at);
        ASSERT_NE(at, std::string::npos) << name << " in\n" << text;
    }
}

}  // namespace
