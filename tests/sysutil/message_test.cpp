#include "sysutil/message.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "helpers/stream_capture.h"

namespace {

using testsupport::runInChild;
using testsupport::StdStreamsCapture;

std::string systemLine(int code) {
    return "\nSystem error " + std::to_string(code) + ": " + std::strerror(code);
}

// Prints one message with errno set to errnoBefore; returns {stdout, stderr}
// and the errno seen right after the call.
std::pair<std::string, std::string> capture(int errnoBefore, const char* format, const char* arg,
                                            int* errnoAfter) {
    StdStreamsCapture streams;
    errno = errnoBefore;
    message(0, format, arg);
    *errnoAfter = errno;
    return streams.finish();
}

TEST(Message, FormatsAddsNewlineAndSystemErrorOnBothStreams) {
    struct Case {
        const char* format;
        const char* arg;
        int errnoValue;
        std::string expected;
    };
    const Case cases[] = {
        {"plain %s", "text", 0, "plain text\n"},
        {"ends with newline%s", "\n", 0, "ends with newline\n"},
        {"%s", "", 0, "\n"},
        {"ends with newline%s", "\n", EACCES, "ends with newline\n" + systemLine(EACCES) + "\n"},
        {"Unable to open file \"%s\": No such file or directory.", "/var/lock/files/x", ENOENT,
         "Unable to open file \"/var/lock/files/x\": No such file or directory." + systemLine(ENOENT) +
             "\n"},
    };
    for (const Case& c : cases) {
        int errnoAfter = -1;
        const auto [out, err] = capture(c.errnoValue, c.format, c.arg, &errnoAfter);
        EXPECT_EQ(err, c.expected) << c.format;
        EXPECT_EQ(out, c.expected) << c.format;
        EXPECT_EQ(errnoAfter, c.errnoValue) << c.format;
    }
}

TEST(Message, LongMessagesArePrintedWhole) {
    struct Case {
        size_t length;
        int errnoValue;
    };
    // 4095 fits the first buffer exactly; 4094 plus the system-error line
    // needs growth only for that line; the rest need a second formatting.
    const Case cases[] = {{4095, 0}, {4096, 0}, {5000, 0}, {4094, EPERM}, {10000, EINVAL}};
    for (const Case& c : cases) {
        std::string body(c.length, 'x');
        for (size_t i = 0; i < c.length; i += 97) {
            body[i] = static_cast<char>('a' + (i / 97) % 26);
        }
        int errnoAfter = -1;
        const auto [out, err] = capture(c.errnoValue, "%s", body.c_str(), &errnoAfter);
        const std::string expected = body + (c.errnoValue != 0 ? systemLine(c.errnoValue) : "") + "\n";
        EXPECT_EQ(err, expected) << c.length;
        EXPECT_EQ(out, expected) << c.length;
        EXPECT_EQ(errnoAfter, c.errnoValue);
    }
}

TEST(Message, RegrownBufferUsesEveryArgumentAgain) {
    // The arguments after a long one must come out right in the second
    // formatting pass too.
    const std::string head(6000, 'h');
    StdStreamsCapture streams;
    errno = 0;
    message(0, "%s|%d|%s|%c", head.c_str(), 42, "tail", '!');
    const auto [out, err] = streams.finish();
    EXPECT_EQ(out, head + "|42|tail|!\n");
    EXPECT_EQ(err, out);
}

TEST(Message, ProgramNamePrefixesBothStreams) {
    struct Case {
        const char* progname;
        const char* prefix;
    };
    const Case cases[] = {
        {"/usr/local/sbin/tool", "tool: "},
        {"tool", "tool: "},
        {"/opt/tool/", "tool: "},  // the XPG form drops trailing slashes
        {"./bin//tool", "tool: "},
    };
    for (const Case& c : cases) {
        char name[64];
        std::strcpy(name, c.progname);
        PROGNAME = name;
        StdStreamsCapture streams;
        errno = 0;
        message(0, "something %s", "happened");
        const auto [out, err] = streams.finish();
        PROGNAME = nullptr;
        const std::string expected = std::string(c.prefix) + "something happened\n";
        EXPECT_EQ(err, expected) << c.progname;
        EXPECT_EQ(out, expected) << c.progname;
        // basename may write into its argument: it must have had a copy.
        EXPECT_STREQ(name, c.progname);
    }
}

TEST(Message, NonZeroStatusEndsTheProcessThroughExit) {
    struct Case {
        int status;
        bool viaPrint;
    };
    for (const Case c : {Case{3, false}, Case{1, false}, Case{5, true}}) {
        const auto result = runInChild([&] {
            // Exit handlers run, so this one's text must appear last.
            std::atexit([] { fputs("exit handler\n", stdout); });
            errno = 0;
            if (c.viaPrint) {
                message_print("bye 7", c.status);
            } else {
                message(c.status, "bye %d", 7);
            }
            fputs("returned\n", stdout);
            return 0;
        });
        EXPECT_TRUE(result.exitedWith(c.status)) << "status " << result.status;
        EXPECT_EQ(result.out, "bye 7\nexit handler\n");
        EXPECT_EQ(result.err, "bye 7\n");
    }
}

TEST(Message, ZeroStatusReturnsZero) {
    StdStreamsCapture streams;
    errno = 0;
    const int viaMessage = message(0, "a");
    const int viaPrint = message_print("b\n", 0);
    const auto [out, err] = streams.finish();
    EXPECT_EQ(viaMessage, 0);
    EXPECT_EQ(viaPrint, 0);
    EXPECT_EQ(out, "a\nb\n");
    EXPECT_EQ(err, "a\nb\n");
}

TEST(FormatAlloc, ReturnsNewlyAllocatedText) {
    const std::string longArg(9000, 'q');
    char* shortText = format_alloc("%s/%s", "/var/lock/files", "abc");
    char* longText = format_alloc("<%s>%d", longArg.c_str(), -5);
    char* emptyText = format_alloc("%s", "");
    ASSERT_NE(shortText, nullptr);
    ASSERT_NE(longText, nullptr);
    ASSERT_NE(emptyText, nullptr);
    EXPECT_STREQ(shortText, "/var/lock/files/abc");
    EXPECT_EQ(std::string(longText), "<" + longArg + ">-5");
    EXPECT_STREQ(emptyText, "");
    std::free(shortText);
    std::free(longText);
    std::free(emptyText);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(FormatAlloc, OutOfMemoryEndsTheProcessWithStatusOne) {
    const auto result = runInChild([] {
        // A 1 GiB result cannot be allocated under a 512 MiB address-space limit.
        const rlimit limit{512UL << 20, 512UL << 20};
        setrlimit(RLIMIT_AS, &limit);
        char* text = format_alloc("%*s", 1 << 30, "");
        fputs(text == nullptr ? "returned null\n" : "returned text\n", stdout);
        return 0;
    });
    const std::string expected = std::string("Cannot allocate memory: ") + std::strerror(ENOMEM) +
                                 systemLine(ENOMEM) + "\n";
    EXPECT_TRUE(result.exitedWith(1)) << "status " << result.status;
    EXPECT_EQ(result.err, expected);
    EXPECT_EQ(result.out, expected);
}
#endif

}  // namespace
