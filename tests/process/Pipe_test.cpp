#include "process/Pipe.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/SystemError.h"
#include "helpers/pipe_test_support.h"
#include "process/ProcessSetCatcher.h"

namespace {

using namespace kelmo::process;
using pipetest::collectInto;
using pipetest::feedOnce;
using pipetest::openDescriptors;

std::string message(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(nothing thrown)";
}

// A temporary file with the given contents, open for reading and writing.
struct TempFile {
    explicit TempFile(const std::string& contents = std::string()) {
        char name[] = "/tmp/pipe_test.XXXXXX";
        fd = ::mkstemp(name);
        ::unlink(name);
        if (!contents.empty()) {
            (void)!::write(fd, contents.data(), contents.size());
            ::lseek(fd, 0, SEEK_SET);
        }
    }
    ~TempFile() { ::close(fd); }
    std::string contents() const {
        std::string text;
        char chunk[4096];
        ::lseek(fd, 0, SEEK_SET);
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }
    int fd;
};

// Named functions rather than captureless lambdas: GCC 12 at -O2 warns that
// boost::function copies a stateless lambda's uninitialised byte.
void ignoreChunk(const std::vector<char>&) {}
void doNothing() {}
void ignoreExit(std::size_t) {}
void markSetup() { ::setenv("PIPE_TEST", "setup", 1); }
void markOwn() { ::setenv("PIPE_TEST", "own", 1); }

char pipeVariable[] = "PIPE_TEST=pipe";
char commandVariable[] = "PIPE_TEST=command";
char* const pipeEnvironment[] = {pipeVariable, nullptr};
char* const commandEnvironment[] = {commandVariable, nullptr};

struct FieldCase {
    const char* name;
    std::function<void(Pipe&)> configurePipe;
    std::function<void(Command&)> configureCommand;
    std::function<void(const Command&)> check;
};

TEST(PipeTest, CommandsTakeUnsetSettingsFromThePipeAndKeepThemAfterTheRun) {
    const boost::function<void()> setup = &doNothing;
    const boost::function<void(std::size_t)> exitHook = &ignoreExit;
    const std::vector<FieldCase> cases = {
        {"defaults stay defaults", [](Pipe&) {}, [](Command&) {},
         [](const Command& c) {
             EXPECT_EQ(c.workingDir, "");
             EXPECT_EQ(c.environment, nullptr);
             EXPECT_FALSE(c.closeDescriptors);
             EXPECT_TRUE(c.childSetup.empty());
             EXPECT_EQ(c.stderrChannel.fd, FD_UNSET);
             EXPECT_TRUE(c.onExit.empty());
         }},
        {"working directory inherited", [](Pipe& p) { p.workingDir = "/tmp"; }, [](Command&) {},
         [](const Command& c) { EXPECT_EQ(c.workingDir, "/tmp"); }},
        {"own working directory kept", [](Pipe& p) { p.workingDir = "/tmp"; },
         [](Command& c) { c.workingDir = "/"; },
         [](const Command& c) { EXPECT_EQ(c.workingDir, "/"); }},
        {"environment inherited", [](Pipe& p) { p.environment = pipeEnvironment; }, [](Command&) {},
         [](const Command& c) { EXPECT_EQ(c.environment, pipeEnvironment); }},
        {"own environment kept", [](Pipe& p) { p.environment = pipeEnvironment; },
         [](Command& c) { c.environment = commandEnvironment; },
         [](const Command& c) { EXPECT_EQ(c.environment, commandEnvironment); }},
        {"closing descriptors inherited", [](Pipe& p) { p.closeDescriptors = true; },
         [](Command&) {}, [](const Command& c) { EXPECT_TRUE(c.closeDescriptors); }},
        {"set-up hook inherited", [&](Pipe& p) { p.childSetup = setup; }, [](Command&) {},
         [](const Command& c) { EXPECT_FALSE(c.childSetup.empty()); }},
        {"exit hook inherited", [&](Pipe& p) { p.onExit = exitHook; }, [](Command&) {},
         [](const Command& c) { EXPECT_FALSE(c.onExit.empty()); }},
        {"own stderr spec kept against a piped pipe",
         [](Pipe& p) { p.stderrChannel = {FD_PIPE, &ignoreChunk}; },
         [](Command& c) { c.stderrChannel.fd = FD_DEVNULL; },
         [](const Command& c) {
             EXPECT_EQ(c.stderrChannel.fd, FD_DEVNULL);
             EXPECT_TRUE(c.stderrChannel.handler.empty());
         }},
        {"unset stderr spec takes the whole channel, an empty handler too",
         [](Pipe& p) { p.stderrChannel.fd = FD_DEVNULL; },
         [](Command& c) { c.stderrChannel.handler = &ignoreChunk; },
         [](const Command& c) {
             EXPECT_EQ(c.stderrChannel.fd, FD_DEVNULL);
             EXPECT_TRUE(c.stderrChannel.handler.empty());
         }},
        {"an unset pipe channel leaves the command's handler",
         [](Pipe& p) { p.stderrChannel.handler = &ignoreChunk; },
         [](Command& c) { c.stderrChannel.handler = &ignoreChunk; },
         [](const Command& c) {
             EXPECT_EQ(c.stderrChannel.fd, FD_UNSET);
             EXPECT_FALSE(c.stderrChannel.handler.empty());
         }},
    };
    for (const FieldCase& item : cases) {
        SCOPED_TRACE(item.name);
        Command command("/bin/true");
        item.configureCommand(command);
        Pipe pipe(command);
        pipe.append(command);
        item.configurePipe(pipe);
        const int status = pipe.run();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        for (const Command& merged : pipe.commands) {
            item.check(merged);
        }
    }
}

struct ChildCase {
    const char* name;
    std::function<void(Pipe&)> configure;
    const char* script;
    std::string expected;
};

TEST(PipeTest, InheritedSettingsReachTheChild) {
    const int probe = ::open("/dev/null", O_RDONLY);  // no close-on-exec
    ASSERT_GE(probe, 3);
    const std::string probeScript = "[ -e /proc/self/fd/" + std::to_string(probe) +
                                    " ] && echo open || echo closed";
    const std::vector<ChildCase> cases = {
        {"working directory", [](Pipe& p) { p.workingDir = "/tmp"; }, "pwd", "/tmp\n"},
        {"own working directory wins",
         [](Pipe& p) {
             p.workingDir = "/tmp";
             p.commands[0].workingDir = "/";
         },
         "pwd", "/\n"},
        {"environment", [](Pipe& p) { p.environment = pipeEnvironment; }, "echo $PIPE_TEST",
         "pipe\n"},
        {"set-up hook", [](Pipe& p) { p.childSetup = &markSetup; },
         "echo $PIPE_TEST", "setup\n"},
        {"own set-up hook wins",
         [](Pipe& p) {
             p.childSetup = &markSetup;
             p.commands[0].childSetup = &markOwn;
         },
         "echo $PIPE_TEST", "own\n"},
        {"descriptors kept by default", [](Pipe&) {}, probeScript.c_str(), "open\n"},
        {"descriptors closed", [](Pipe& p) { p.closeDescriptors = true; }, probeScript.c_str(),
         "closed\n"},
    };
    for (const ChildCase& item : cases) {
        SCOPED_TRACE(item.name);
        std::string out;
        Pipe pipe(Command("/bin/sh", "-c", item.script));
        pipe.stdoutChannel = {FD_PIPE, collectInto(out)};
        item.configure(pipe);
        EXPECT_EQ(pipe.run(), 0);
        EXPECT_EQ(out, item.expected);
    }
    ::close(probe);
}

TEST(PipeTest, ReturnsTheLastCommandsWaitStatus) {
    struct Case {
        std::vector<const char*> scripts;
        bool signalled;
        int value;  // exit code or signal number
    };
    const std::vector<Case> cases = {
        {{"true"}, false, 0},
        {{"exit 3"}, false, 3},
        {{"kill -TERM $$"}, true, SIGTERM},
        {{"exit 5", "cat >/dev/null; exit 0"}, false, 0},
        {{"true", "cat >/dev/null; exit 4"}, false, 4},
        {{"exit 1", "exit 2", "kill -KILL $$"}, true, SIGKILL},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.scripts.back());
        Pipe pipe(Command("/bin/sh", "-c", item.scripts[0]));
        for (std::size_t i = 1; i < item.scripts.size(); ++i) {
            pipe.append(Command("/bin/sh", "-c", item.scripts[i]));
        }
        const int status = pipe.run();
        ASSERT_EQ(pipe.statuses.size(), item.scripts.size());
        EXPECT_EQ(pipe.statuses.back().status, status);
        if (item.signalled) {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), item.value);
        } else {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), item.value);
        }
        for (const ChildStatus& record : pipe.statuses) {
            EXPECT_EQ(record.reaped, 1);
        }
    }
}

TEST(PipeTest, CollectsStandardOutputInChunksOfAtMost1024Bytes) {
    std::string out;
    std::vector<std::size_t> sizes;
    Pipe pipe(Command("/bin/sh", "-c", "head -c 5000 /dev/zero | tr '\\000' a; echo end >&2"));
    pipe.stdoutChannel = {FD_PIPE, [&](const std::vector<char>& chunk) {
                              sizes.push_back(chunk.size());
                              out.append(chunk.begin(), chunk.end());
                          }};
    pipe.stderrChannel.fd = FD_DEVNULL;
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(out, std::string(5000, 'a'));
    ASSERT_FALSE(sizes.empty());
    EXPECT_LE(*std::max_element(sizes.begin(), sizes.end()), 1024u);
    EXPECT_GE(sizes.size(), 5u);
}

TEST(PipeTest, StandardInputEnds) {
    struct Case {
        const char* name;
        int fd;
        bool feed;
        std::string expected;
    };
    const std::string text(200 * 1024, 'x');
    int feederCalls = 0;
    const std::vector<Case> cases = {
        {"a pipe without feeder gives end-of-file at once", FD_PIPE, false, "0\n"},
        {"a feeder that answers false at once sends its bytes, then end-of-file", FD_PIPE, true,
         std::to_string(text.size()) + "\n"},
        {"the null device", FD_DEVNULL, false, "0\n"},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        std::string out;
        Pipe pipe(Command("/bin/sh", "-c", "wc -c"));
        pipe.stdinChannel.fd = item.fd;
        if (item.feed) {
            pipe.stdinChannel.feeder = [&](std::vector<char>& buffer) {
                ++feederCalls;
                buffer.assign(text.begin(), text.end());
                return false;
            };
        }
        pipe.stdoutChannel = {FD_PIPE, collectInto(out)};
        EXPECT_EQ(pipe.run(), 0);
        EXPECT_EQ(out, item.expected);
    }
    EXPECT_EQ(feederCalls, 1);
}

TEST(PipeTest, BorrowedDescriptorsStayOpenAfterTheRun) {
    TempFile input("from a file\n");
    TempFile output;
    std::string collected;
    Pipe pipe(Command("/bin/cat"));
    pipe.stdinChannel.fd = input.fd;
    pipe.stdoutChannel.fd = output.fd;
    pipe.stderrChannel = {FD_PIPE, collectInto(collected)};
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_NE(::fcntl(input.fd, F_GETFD), -1);
    EXPECT_NE(::fcntl(output.fd, F_GETFD), -1);
    EXPECT_EQ(output.contents(), "from a file\n");
    EXPECT_EQ(collected, "");
}

TEST(PipeTest, FeedingStopsWhenTheFirstCommandEnds) {
    // The shell leaves while a grandchild keeps its stdin open and unread:
    // the pipe fills and only the shell's end can stop an endless feeder.
    int portions = 0;
    // (dash gives a background job /dev/null unless stdin comes from another
    // descriptor, hence the detour through 3.)
    Pipe pipe(Command("/bin/sh", "-c", "exec 3<&0; sleep 1 0<&3 3<&- & exit 7"));
    pipe.stdinChannel = {FD_PIPE, [&](std::vector<char>& buffer) {
                             ++portions;
                             buffer.assign(4096, 'y');
                             return true;
                         }};
    const int status = pipe.run();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_GE(portions, 1);
}

TEST(PipeTest, EachStderrHandlerGetsItsOwnCommandsDiagnostics) {
    std::string first;
    std::string second;
    std::string out;
    Command producer("/bin/sh", "-c", "echo data; echo one >&2");
    producer.stderrChannel = {FD_PIPE, collectInto(first)};
    Command consumer("/bin/sh", "-c", "cat; echo two >&2");
    consumer.stderrChannel = {FD_PIPE, collectInto(second)};
    Pipe pipe(producer);
    pipe.append(consumer);
    pipe.stdoutChannel = {FD_PIPE, collectInto(out)};
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(first, "one\n");
    EXPECT_EQ(second, "two\n");
    EXPECT_EQ(out, "data\n");
}

TEST(PipeTest, PipeStderrHandlerReplacesAnUnsetCommandsOwn) {
    std::string pipeWide;
    std::string own;
    Command first("/bin/sh", "-c", "echo zero >&2");
    first.stderrChannel.handler = collectInto(own);
    Command second("/bin/sh", "-c", "cat >/dev/null; echo one >&2");
    second.stderrChannel.fd = FD_DEVNULL;
    Pipe pipe(first);
    pipe.append(second);
    pipe.stderrChannel = {FD_PIPE, collectInto(pipeWide)};
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(pipeWide, "zero\n");
    EXPECT_EQ(own, "");
}

TEST(PipeTest, ThreeCommandPipelineLeavesNoConnectingPipeEndInTheParent) {
    const auto before = openDescriptors();
    std::string out;
    std::vector<std::size_t> exits;
    std::size_t extraWhileRunning = 0;
    bool catcherEndSeen = false;
    Pipe pipe(Command("/usr/bin/printf", "one two\\nthree\\n"));
    pipe.append(Command("/usr/bin/tr", " ", "\\n"));
    pipe.append(Command("/usr/bin/wc", "-l"));
    pipe.stdoutChannel = {FD_PIPE, [&](const std::vector<char>& chunk) {
                              out.append(chunk.begin(), chunk.end());
                              const auto now = openDescriptors();
                              extraWhileRunning = now.size() - before.size();
                              catcherEndSeen =
                                  now.count(ProcessSetCatcher::instance()->readEnd()) == 1;
                          }};
    pipe.onExit = [&](std::size_t i) { exits.push_back(i); };
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(out, "3\n");
    // The catcher's two ends and the pipeline's stdout: nothing that joins
    // the commands.
    EXPECT_EQ(extraWhileRunning, 3u);
    EXPECT_TRUE(catcherEndSeen);
    std::sort(exits.begin(), exits.end());
    EXPECT_EQ(exits, (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(openDescriptors(), before);
}

TEST(PipeTest, AStoppedChildDoesNotEndTheRun) {
    // A background helper waits until the shell is really stopped, then
    // continues it; only then does the shell print and exit.
    std::string out;
    int exits = 0;
    Pipe pipe(Command("/bin/sh", "-c",
                      "(until grep -q '^State:.*T' /proc/$$/status; do sleep 0.01; done;"
                      " kill -CONT $$) & kill -STOP $$; echo resumed"));
    pipe.stdoutChannel = {FD_PIPE, collectInto(out)};
    pipe.onExit = [&](std::size_t) { ++exits; };
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(out, "resumed\n");
    EXPECT_EQ(exits, 1);
    EXPECT_TRUE(WIFEXITED(pipe.statuses[0].status));
}

TEST(PipeTest, RefusesMisuse) {
    Pipe pipe(Command("/bin/true"));
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(message([&] { pipe.run(); }), "the pipe has been launched already");
    EXPECT_EQ(message([&] { pipe.append(Command("/bin/true")); }),
              "adding processes to the launched pipe is prohibited");
    EXPECT_EQ(pipe.commands.size(), 1u);
    EXPECT_EQ(pipe.statuses.size(), 1u);

    Pipe empty(Command("/bin/true"));
    empty.commands.clear();
    EXPECT_THROW(empty.run(), std::logic_error);
    EXPECT_EQ(message([&] { empty.run(); }), "No processes to launch were assigned so far");
    EXPECT_TRUE(empty.statuses.empty());
}

TEST(PipeTest, AFailedLaunchStopsTheRunAndTheLaunchedPipeStaysLaunched) {
    const auto before = openDescriptors();
    Pipe pipe(Command("/bin/true"));
    pipe.append(Command("/nonexistent/program"));
    pipe.append(Command("/bin/true"));
    try {
        pipe.run();
        ADD_FAILURE() << "run returned";
    } catch (const kelmo::SystemError& error) {
        EXPECT_EQ(error.code(), ENOENT);
    }
    // Only the command before the failed one was registered.
    EXPECT_EQ(pipe.statuses.size(), 1u);
    EXPECT_EQ(message([&] { pipe.run(); }), "the pipe has been launched already");
    EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
    pipetest::reapAll();
    EXPECT_TRUE(pipetest::noChildLeft());
    EXPECT_EQ(openDescriptors(), before);
}

TEST(PipeTest, ANestedRunIsRefusedAndTheRunningPipeCompletes) {
    std::string out;
    std::string nestedError;
    bool nestedStarted = true;
    ProcessSetCatcher* outerCatcher = nullptr;
    Pipe pipe(Command("/bin/sh", "-c", "echo outer"));
    pipe.stdoutChannel = {FD_PIPE, [&](const std::vector<char>& chunk) {
                              out.append(chunk.begin(), chunk.end());
                              outerCatcher = ProcessSetCatcher::instance();
                              Pipe nested(Command("/bin/true"));
                              nestedError = message([&] { nested.run(); });
                              nestedStarted = !nested.statuses.empty();
                              // The running pipe's catcher is still the one.
                              EXPECT_EQ(ProcessSetCatcher::instance(), outerCatcher);
                          }};
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(out, "outer\n");
    EXPECT_EQ(nestedError, "ProcessSetCatcher instance has been installed already");
    EXPECT_FALSE(nestedStarted);
    EXPECT_NE(outerCatcher, nullptr);
    EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
}

TEST(PipeTest, AppendOutputAppendsTheChunk) {
    std::string target = "ab";
    appendOutput(target, std::vector<char>{'c', '\0', 'd'});
    EXPECT_EQ(target, std::string("abc\0d", 5));
}

}  // namespace
