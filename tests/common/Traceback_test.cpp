#include "common/Traceback.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

// A known call chain, named through ENABLE_EXPORTS; noinline and asm keep its frames on the stack.
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

// One tab-led demangled line per frame, innermost first (a sanitizer's interceptor may precede).
TEST(Traceback, PrintsAKnownChainDemangledInnermostFirst) {
    const std::string text = outerFrame();
    std::size_t at = 0;
    for (const char* name : {"Traceback:\n", "\t", "(kelmo::Traceback::Traceback(unsigned long)+",
                             "\n\t", "(innerFrame[abi:cxx11]()+", "\n\t",
                             "(outerFrame[abi:cxx11]()+"}) {
        at = text.find(name, at);
        ASSERT_NE(at, std::string::npos) << name << " in\n" << text;
    }
}
