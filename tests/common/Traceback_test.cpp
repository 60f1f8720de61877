#include "common/Traceback.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

// A known call chain. External linkage and this test program's exported
// symbols (ENABLE_EXPORTS) give backtrace_symbols their names; noinline and
// the empty asm after each call keep every frame on the stack.
namespace tracetest {

__attribute__((noinline)) std::unique_ptr<kelmo::Traceback> innerFrame(std::size_t skip) {
    // Constructed right here, not inside make_unique, so that the frame
    // after the capture is this function's.
    std::unique_ptr<kelmo::Traceback> trace(new kelmo::Traceback(skip));
    asm volatile("");
    return trace;
}

__attribute__((noinline)) std::unique_ptr<kelmo::Traceback> middleFrame(std::size_t skip) {
    auto trace = innerFrame(skip);
    asm volatile("");
    return trace;
}

__attribute__((noinline)) std::unique_ptr<kelmo::Traceback> outerFrame(std::size_t skip) {
    auto trace = middleFrame(skip);
    asm volatile("");
    return trace;
}

__attribute__((noinline)) std::unique_ptr<kelmo::Traceback> recurse(int depth) {
    std::unique_ptr<kelmo::Traceback> trace(depth == 0 ? new kelmo::Traceback(0)
                                                       : recurse(depth - 1).release());
    asm volatile("");
    return trace;
}

}  // namespace tracetest

namespace {

std::string print(const kelmo::Traceback& trace) {
    std::ostringstream out;
    out << trace;
    return out.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

size_t lineIndexOf(const std::vector<std::string>& all, const std::string& needle) {
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].find(needle) != std::string::npos) {
            return i;
        }
    }
    return all.size();
}

TEST(Traceback, PrintsTheCallChainWithDemangledNames) {
    const auto trace = tracetest::outerFrame(0);
    const std::string text = print(*trace);
    const auto all = lines(text);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0], "Traceback:");
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(all.size(), trace->frameCount() + 1);
    for (size_t i = 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i].rfind('\t', 0), 0u) << all[i];
    }
    // Innermost first: the capture itself (after a sanitizer's interceptor
    // frame, in such builds), then the chain outwards.
    const size_t self = lineIndexOf(all, "(kelmo::Traceback::Traceback(unsigned long)+");
    const size_t inner = lineIndexOf(all, "(tracetest::innerFrame(unsigned long)+");
    const size_t middle = lineIndexOf(all, "(tracetest::middleFrame(unsigned long)+");
    const size_t outer = lineIndexOf(all, "(tracetest::outerFrame(unsigned long)+");
    EXPECT_LE(self, 2u) << text;
    EXPECT_EQ(inner, self + 1) << text;
    EXPECT_EQ(middle, inner + 1) << text;
    EXPECT_EQ(outer, middle + 1) << text;
    EXPECT_LT(outer, all.size()) << text;
    EXPECT_EQ(text.find("_ZN9tracetest"), std::string::npos) << text;
}

// Index of the capture's own frame among the captured frames.
size_t captureFrameIndex() {
    const auto all = lines(print(*tracetest::outerFrame(0)));
    return lineIndexOf(all, "(kelmo::Traceback::Traceback(unsigned long)+") - 1;
}

TEST(Traceback, SkipLeavesOutInnermostFrames) {
    const size_t skip = captureFrameIndex() + 1;
    const auto skipped = tracetest::outerFrame(skip);
    const auto all = lines(print(*skipped));
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(skipped->skip(), skip);
    EXPECT_EQ(all.size(), skipped->frameCount() - skip + 1);
    EXPECT_NE(all[1].find("(tracetest::innerFrame(unsigned long)+"), std::string::npos) << all[1];
}

TEST(Traceback, KeepsOnlyTheElevenInnermostFrames) {
    const auto trace = tracetest::recurse(30);
    EXPECT_EQ(trace->frameCount(), kelmo::Traceback::kMaxFrames);
    const auto all = lines(print(*trace));
    EXPECT_EQ(all.size(), kelmo::Traceback::kMaxFrames + 1);
    // Past the capture, every remaining frame is a recursion frame.
    for (size_t i = captureFrameIndex() + 2; i < all.size(); ++i) {
        EXPECT_NE(all[i].find("(tracetest::recurse(int)+"), std::string::npos) << all[i];
    }
}

TEST(Traceback, SkipBeyondTheCapturedFramesPrintsTheAddressHeaderAlone) {
    for (const std::size_t skip : {std::size_t{11}, std::size_t{12}, std::size_t{1000}}) {
        const auto trace = tracetest::outerFrame(skip);
        EXPECT_EQ(trace->skip(), trace->frameCount());
        EXPECT_EQ(print(*trace), "Traceback addresses:\n");
    }
}

TEST(Traceback, PrintingTwiceGivesTheSameLines) {
    const auto trace = tracetest::outerFrame(0);
    const std::string first = print(*trace);
    EXPECT_EQ(print(*trace), first);
}

TEST(Traceback, CopiesOwnTheirSymbolCache) {
    auto original = tracetest::outerFrame(1);
    const std::string expected = print(*original);  // fills the original's cache

    kelmo::Traceback copy(*original);
    auto assigned = tracetest::recurse(3);
    (void)print(*assigned);  // a filled cache that assignment must free
    *assigned = copy;
    original.reset();  // frees the original's cache

    // Under AddressSanitizer a shared cache shows up as use-after-free or
    // double free.
    EXPECT_EQ(print(copy), expected);
    EXPECT_EQ(print(*assigned), expected);
    EXPECT_EQ(assigned->skip(), 1u);
}

// An exception class using the traceback as an additional base, as the
// top level expects to find it by a cross-cast.
struct TracedError : std::runtime_error, kelmo::Traceback {
    TracedError() : std::runtime_error("traced"), kelmo::Traceback(1) {}
};

TEST(Traceback, IsReachableFromAnExceptionByCrossCast) {
    try {
        throw TracedError();
    } catch (const std::exception& error) {
        const auto* trace = dynamic_cast<const kelmo::Traceback*>(&error);
        ASSERT_NE(trace, nullptr);
        EXPECT_EQ(lines(print(*trace)).at(0), "Traceback:");
    }
    const std::runtime_error plain("plain");
    EXPECT_EQ(dynamic_cast<const kelmo::Traceback*>(static_cast<const std::exception*>(&plain)),
              nullptr);
}

TEST(TracebackSymbolLine, DemanglesOnlyAValidNameBetweenParenthesisAndPlus) {
    struct Case {
        const char* line;
        const char* expected;
    };
    const Case cases[] = {
        {"./prog(_ZN5kelmo9TracebackD2Ev+0x1c) [0x55d0c2a1b2c3]",
         "./prog(kelmo::Traceback::~Traceback()+0x1c) [0x55d0c2a1b2c3]"},
        {"/lib/libx.so(_ZNSt6vectorIiSaIiEE9push_backERKi+0x4) [0x1]",
         "/lib/libx.so(std::vector<int, std::allocator<int> >::push_back(int const&)+0x4) [0x1]"},
        {"./prog [0x55d0c2a1b2c3]", "./prog [0x55d0c2a1b2c3]"},
        {"./prog(+0x1234) [0x55d0c2a1b2c3]", "./prog(+0x1234) [0x55d0c2a1b2c3]"},
        {"./prog(main+0x10) [0x1]", "./prog(main+0x10) [0x1]"},
        {"./prog(_Zinvalid+0x10) [0x1]", "./prog(_Zinvalid+0x10) [0x1]"},
        {"./prog(_ZN5kelmo9TracebackD2Ev) [0x1]", "./prog(_ZN5kelmo9TracebackD2Ev) [0x1]"},
        {"/opt/a+b/prog [0x1]", "/opt/a+b/prog [0x1]"},
        {"/opt/a+b/prog(_ZN1a1bEv+0x2) [0x1]", "/opt/a+b/prog(a::b()+0x2) [0x1]"},
        {"", ""},
    };
    // One buffer across all lines, as when printing a trace: a long name
    // first, shorter ones after, then longer again.
    char* buffer = nullptr;
    std::size_t size = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(kelmo::detail::demangleSymbolLine(c.line, buffer, size), c.expected) << c.line;
    }
    EXPECT_EQ(kelmo::detail::demangleSymbolLine(cases[1].line, buffer, size), cases[1].expected);
    std::free(buffer);
}

}  // namespace
