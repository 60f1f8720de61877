#include "common/UtilityErrorStream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "helpers/stream_capture.h"

namespace {

using testsupport::runInChild;

struct Case {
    const char* what;
    std::function<void()> body;
    bool runExitHandlers;
    std::string expectedErr;
    std::string expectedOut;
};

TEST(UtilityErrorStream, CopiesToStandardErrorAtOnceAndToStandardOutputAtFlush) {
    const Case cases[] = {
        {"line ended by endl", [] { kelmo::errorStream << "abc" << std::endl; }, true, "abc\n",
         "abc\n"},
        {"two messages in order, each once",
         [] { kelmo::errorStream << "one" << std::endl << "two " << 2 << std::endl; }, true,
         "one\ntwo 2\n", "one\ntwo 2\n"},
        {"nothing written, flushed", [] { kelmo::errorStream.flush(); }, true, "", ""},
        {"pending text is written at normal exit", [] { kelmo::errorStream << "abc"; }, true, "abc",
         "abc"},
        {"without exit handlers pending text reaches standard error only",
         [] { kelmo::errorStream << "lost"; }, false, "lost", ""},
        // The raw writes show when each copy happens: standard error gets
        // the text before the marker, standard output only at the flush.
        {"standard error at once, standard output at flush",
         [] {
             kelmo::errorStream << "abc";
             (void)::write(2, "|", 1);
             (void)::write(1, "[", 1);
             kelmo::errorStream << "d" << std::flush;
             (void)::write(1, "]", 1);
         },
         false, "abc|d", "[abcd]"},
        {"a flush with nothing pending adds nothing",
         [] {
             kelmo::errorStream << "x" << std::flush;
             kelmo::errorStream.flush();
             kelmo::errorStream << std::flush;
         },
         false, "x", "x"},
        {"a local stream flushes its pending text when destroyed",
         [] {
             {
                 kelmo::UtilityErrorStream local;
                 local << "local " << 7;
                 (void)::write(1, "<", 1);
             }
             (void)::write(1, ">", 1);
         },
         false, "local 7", "<local 7>"},
    };
    for (const Case& c : cases) {
        const auto result = runInChild(
            [&] {
                c.body();
                return 0;
            },
            c.runExitHandlers);
        EXPECT_TRUE(result.exitedWith(0)) << c.what;
        EXPECT_EQ(result.err, c.expectedErr) << c.what;
        EXPECT_EQ(result.out, c.expectedOut) << c.what;
    }
}

TEST(UtilityErrorStream, BehavesAsAnOrdinaryOutputStream) {
    const auto result = runInChild([] {
        std::ostream& out = kelmo::errorStream;
        out << "Fatal error: " << std::hex << 255 << std::dec << ' ' << 1.5 << '\n' << std::flush;
        return out.good() ? 0 : 1;
    });
    EXPECT_TRUE(result.exitedWith(0));
    EXPECT_EQ(result.err, "Fatal error: ff 1.5\n");
    EXPECT_EQ(result.out, "Fatal error: ff 1.5\n");
}

}  // namespace
