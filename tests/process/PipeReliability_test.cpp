// Reliability of Pipe::run under load: many runs, a signal storm, large
// transfers, descriptors beyond the select sets, and failures from inside
// the loop. Every case checks that no descriptor and no child is left.

#include "process/Pipe.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/SystemError.h"
#include "helpers/pipe_test_support.h"
#include "process/DescriptorSet.h"
#include "process/ProcessSetCatcher.h"

namespace {

using namespace kelmo::process;
using pipetest::collectInto;
using pipetest::openDescriptors;

#if defined(__SANITIZE_ADDRESS__)
constexpr int manyRuns = 1000;  // forking a sanitized process is slow
#else
constexpr int manyRuns = 10000;
#endif

TEST(PipeReliabilityTest, ManyRunsLeaveNoDescriptorAndNoZombie) {
    const auto before = openDescriptors();
    int failures = 0;
    std::string collected;
    for (int i = 0; i < manyRuns; ++i) {
        Pipe pipe(Command("/bin/true"));
        pipe.stdoutChannel = {FD_PIPE, collectInto(collected)};
        pipe.stderrChannel.fd = FD_PIPE;
        if (pipe.run() != 0) {
            ++failures;
        }
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(collected, "");
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_TRUE(pipetest::noChildLeft());
}

// Delivers SIGALRM every 100 microseconds to a handler installed without
// SA_RESTART, so every slow call of the run is interrupted now and then.
class SignalStorm {
public:
    SignalStorm() {
        count_ = 0;
        struct sigaction action {};
        action.sa_handler = [](int) { ++count_; };
        ::sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ::sigaction(SIGALRM, &action, &saved_);
        itimerval every{{0, 100}, {0, 100}};
        ::setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~SignalStorm() {
        itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::sigaction(SIGALRM, &saved_, nullptr);
    }
    static long delivered() { return count_; }

private:
    static volatile sig_atomic_t count_;
    struct sigaction saved_ {};
};

volatile sig_atomic_t SignalStorm::count_ = 0;

// Bytes that differ in every position of a long run, so a lost, repeated or
// reordered chunk shows.
std::string patternOf(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 2463534242u;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    return bytes;
}

// A feeder that hands out text in portions of varying size.
boost::function<bool(std::vector<char>&)> feedInPortions(const std::string& text,
                                                         std::size_t& offset) {
    offset = 0;
    return [&text, &offset](std::vector<char>& buffer) {
        const std::size_t portion = std::min<std::size_t>(text.size() - offset,
                                                          1 + (offset * 7919) % 100000);
        buffer.insert(buffer.end(), text.begin() + offset, text.begin() + offset + portion);
        offset += portion;
        return offset < text.size();
    };
}

TEST(PipeReliabilityTest, RunsStayCorrectUnderASignalEvery100Microseconds) {
    const auto before = openDescriptors();
    const std::string text = patternOf(256 * 1024);
    int wrong = 0;
    long delivered = 0;
    {
        SignalStorm storm;
        for (int i = 0; i < 60; ++i) {
            std::string out;
            std::size_t offset = 0;
            Pipe fed(Command("/bin/cat"));
            fed.stdinChannel = {FD_PIPE, feedInPortions(text, offset)};
            fed.stdoutChannel = {FD_PIPE, collectInto(out)};
            wrong += fed.run() != 0 || out != text;

            std::string counted;
            Pipe chain(Command("/usr/bin/printf", "one two\\nthree\\n"));
            chain.append(Command("/usr/bin/tr", " ", "\\n"));
            chain.append(Command("/usr/bin/wc", "-l"));
            chain.stdoutChannel = {FD_PIPE, collectInto(counted)};
            wrong += chain.run() != 0 || counted != "3\n";

            Pipe failing(Command("/bin/sh", "-c", "exit 3"));
            const int status = failing.run();
            wrong += !WIFEXITED(status) || WEXITSTATUS(status) != 3;
        }
        delivered = SignalStorm::delivered();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(delivered, 100);  // the storm really blew
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_TRUE(pipetest::noChildLeft());
}

TEST(PipeReliabilityTest, TenMebibytesThroughCatComeBackUnchanged) {
    const std::string text = patternOf(10 * 1024 * 1024);
    std::string out;
    out.reserve(text.size());
    std::size_t offset = 0;
    Pipe pipe(Command("/bin/cat"));
    pipe.stdinChannel = {FD_PIPE, feedInPortions(text, offset)};
    pipe.stdoutChannel = {FD_PIPE, collectInto(out)};
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(offset, text.size());
    ASSERT_EQ(out.size(), text.size());
    EXPECT_TRUE(out == text);
}

// Raises the soft descriptor limit and fills every free descriptor below
// `next`, so that the next one opened is `next`; undoes both on destruction.
class DescriptorFill {
public:
    explicit DescriptorFill(int next) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        struct rlimit raised = saved_;
        raised.rlim_cur = 20000;
        if (raised.rlim_max < raised.rlim_cur) {
            raised.rlim_max = raised.rlim_cur;  // tests run as root
        }
        ok_ = ::setrlimit(RLIMIT_NOFILE, &raised) == 0;
        while (ok_) {
            const int fd = ::dup(2);
            if (fd < 0) {
                ok_ = false;
            } else if (fd >= next) {
                ::close(fd);
                break;
            } else {
                fillers_.push_back(fd);
            }
        }
    }
    ~DescriptorFill() {
        for (const int fd : fillers_) {
            ::close(fd);
        }
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    bool ok() const { return ok_; }

private:
    struct rlimit saved_ {};
    std::vector<int> fillers_;
    bool ok_ = false;
};

TEST(PipeReliabilityTest, DescriptorsBeyondTheSelectSetsFailWithEmfileAndLeaveNothing) {
    struct Case {
        const char* name;
        int next;  // the first descriptor the run gets
        bool feed;
        bool collect;
    };
    const int bound = DescriptorSet::capacity;
    const std::vector<Case> cases = {
        {"the catcher's control pipe", bound, false, false},
        {"the pipeline's stdout", bound - 2, false, true},
        {"the fed stdin", bound - 2, true, false},
        {"the last descriptor inside the sets works", bound - 8, false, true},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        const auto before = openDescriptors();
        std::string out;
        int code = 0;
        int status = -1;
        std::size_t launched = 0;
        {
            DescriptorFill fill(item.next);
            ASSERT_TRUE(fill.ok());
            Pipe pipe(Command("/bin/echo", "x"));
            if (item.feed) {
                pipe.stdinChannel = {FD_PIPE, pipetest::feedOnce("input")};
            }
            pipe.stdoutChannel = {item.collect ? FD_PIPE : FD_DEVNULL, collectInto(out)};
            try {
                status = pipe.run();
            } catch (const kelmo::SystemError& error) {
                code = error.code();
            }
            launched = pipe.statuses.size();
            EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
        }
        // A failed run does not wait for the children it started.
        pipetest::reapAll();
        if (item.next + 8 <= bound) {
            EXPECT_EQ(code, 0);
            EXPECT_EQ(status, 0);
            EXPECT_EQ(out, "x\n");
        } else {
            EXPECT_EQ(code, EMFILE);
            EXPECT_EQ(launched, 1u);
        }
        EXPECT_EQ(openDescriptors(), before);
        EXPECT_TRUE(pipetest::noChildLeft());
    }
}

TEST(PipeReliabilityTest, AnExceptionFromACallbackEndsTheRunAndReleasesEverything) {
    struct Case {
        const char* name;
        std::function<void(Pipe&)> configure;
    };
    const auto fail = [] { throw std::runtime_error("callback failed"); };
    const std::vector<Case> cases = {
        {"output handler",
         [&](Pipe& p) {
             // yes never ends by itself: only the closed pipe stops it.
             p.commands[0] = Command("/usr/bin/yes");
             p.append(Command("/bin/cat"));
             p.stdoutChannel = {FD_PIPE, [&](const std::vector<char>&) { fail(); }};
         }},
        {"feeder",
         [&](Pipe& p) {
             p.stdinChannel = {FD_PIPE, [&](std::vector<char>&) -> bool { fail(); return false; }};
         }},
        {"exit hook", [&](Pipe& p) { p.onExit = [&](std::size_t) { fail(); }; }},
        {"stderr handler",
         [&](Pipe& p) {
             p.commands[0] = Command("/bin/sh", "-c", "echo oops >&2; exec cat");
             p.stdinChannel.fd = FD_PIPE;
             p.stdinChannel.feeder = [](std::vector<char>&) { return true; };
             p.stderrChannel = {FD_PIPE, [&](const std::vector<char>&) { fail(); }};
         }},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        const auto before = openDescriptors();
        Pipe pipe(Command("/bin/cat"));
        item.configure(pipe);
        EXPECT_THROW(pipe.run(), std::runtime_error);
        EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
        EXPECT_EQ(openDescriptors(), before);
        pipetest::reapAll();
        EXPECT_TRUE(pipetest::noChildLeft());
    }
}

}  // namespace
