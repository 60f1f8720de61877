#include "process/Pipe.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "process/ProcessSetCatcher.h"
#include "process/ProcessTestSupport.h"
#include "process/SignalBlocker.h"

using namespace proctest;

namespace {

// Named functions and arrays: GCC 12 at -O2 warns when boost::function copies a
// stateless lambda.
void markSetup() { ::setenv("PIPE_TEST", "setup", 1); }
void markOwn() { ::setenv("PIPE_TEST", "own", 1); }
char pipeVariable[] = "PIPE_TEST=pipe", commandVariable[] = "PIPE_TEST=command";
char* const pipeEnvironment[] = {pipeVariable, nullptr};
char* const commandEnvironment[] = {commandVariable, nullptr};
const std::string LOGIC = typeid(std::logic_error).name();
const Caught REFUSED{LOGIC, "ProcessSetCatcher instance has been installed already"};

}  // namespace

// A command takes each setting it leaves unset from the pipe; its own wins.
TEST(Pipe, CommandsInheritTheSettingsTheyLeaveUnset) {
    const int probe = ::open("/dev/null", O_RDONLY);  // not close-on-exec
    const std::string probed = "[ -e /proc/self/fd/" + std::to_string(probe) + " ] && echo open";
    struct Row {
        std::function<void(Pipe&)> configure;
        std::string script, expected;
    };
    // clang-format off
    const Row rows[] = {
        {[](Pipe& p) { p.workingDir = "/tmp"; }, "pwd", "/tmp\n"},
        {[](Pipe& p) { p.workingDir = "/tmp", p.commands[0].workingDir = "/"; }, "pwd", "/\n"},
        {[](Pipe& p) { p.environment = pipeEnvironment; }, "echo $PIPE_TEST", "pipe\n"},
        {[](Pipe& p) { p.environment = pipeEnvironment, p.commands[0].environment = commandEnvironment; }, "echo $PIPE_TEST", "command\n"},
        {[](Pipe& p) { p.childSetup = &markSetup; }, "echo $PIPE_TEST", "setup\n"},
        {[](Pipe& p) { p.childSetup = &markSetup, p.commands[0].childSetup = &markOwn; }, "echo $PIPE_TEST", "own\n"},
        {[](Pipe&) {}, probed, "open\n"},
        {[](Pipe& p) { p.closeDescriptors = true; }, probed, ""},
    };
    // clang-format on
    for (const Row& row : rows) {
        std::string out;
        Pipe pipe(Command("/bin/sh", "-c", row.script));
        pipe.stdoutChannel = {FD_PIPE, collectInto(out)};
        row.configure(pipe);
        pipe.run();
        EXPECT_EQ(out, row.expected) << row.script;
    }
    kelmo::closeNoInt(probe);
}

// The feeder answering false is called once; stdout comes in chunks of at most 1024
// bytes. A command's own stderr spec keeps its handler; an unset one takes the
// pipe's whole channel, in place of the command's handler.
TEST(Pipe, FeedsCollectsAndHandsEachCommandsDiagnosticsToItsHandler) {
    const std::string text(200 * 1024, 'x');
    std::string pipeWide, ownUnused, second, out;
    std::size_t feeds = 0, largest = 0;
    Command first("/bin/sh", "-c", "cat; echo one >&2");
    first.stderrChannel.handler = collectInto(ownUnused);
    Command middle("/bin/sh", "-c", "tr x a; echo two >&2");
    middle.stderrChannel = {FD_PIPE, collectInto(second)};
    Command last("/bin/sh", "-c", "cat; echo three >&2");
    last.stderrChannel.fd = FD_DEVNULL;
    Pipe pipe(first);
    pipe.append(middle).append(last);
    pipe.stdinChannel = {FD_PIPE, [&](std::vector<char>& buffer) {
                             buffer.assign(text.begin(), text.end());
                             return ++feeds == 0;  // one portion only
                         }};
    pipe.stdoutChannel = {FD_PIPE, [&](const std::vector<char>& chunk) {
                              largest = std::max(largest, chunk.size());
                              out.append(chunk.begin(), chunk.end());
                          }};
    pipe.stderrChannel = {FD_PIPE, collectInto(pipeWide)};
    pipe.closeDescriptors = true;  // else later commands keep command 0's stdin open
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(out, std::string(text.size(), 'a'));
    EXPECT_EQ(feeds, 1U);
    EXPECT_EQ(largest, 1024U);
    EXPECT_EQ(pipeWide + "|" + ownUnused + "|" + second, "one\n||two\n");
}

// run returns the last command's wait status, after every command ended once. A
// stdin pipe without feeder ends at once; a stopped child ends nothing.
TEST(Pipe, ReturnsTheLastCommandsWaitStatus) {
    const char* stopped = "(until grep -q '^State:.*T' /proc/$$/status; do sleep 0.01; done;"
                          " kill -CONT $$) & kill -STOP $$; exit 6";
    struct Row {
        std::vector<const char*> scripts;
        int status;
    } rows[] = {{{"cat; exit 3"}, 3 << 8},
                {{"kill -TERM $$"}, SIGTERM},
                {{stopped}, 6 << 8},
                {{"exit 5", "cat"}, 0},
                {{"true", "cat; exit 4"}, 4 << 8},
                {{"exit 1", "exit 2", "kill -KILL $$"}, SIGKILL}};
    for (const Row& row : rows) {
        std::vector<std::size_t> exits;
        Pipe pipe(Command("/bin/sh", "-c", row.scripts[0]));
        for (std::size_t i = 1; i < row.scripts.size(); ++i) {
            pipe.append(Command("/bin/sh", "-c", row.scripts[i]));
        }
        pipe.stdinChannel.fd = FD_PIPE;
        pipe.onExit = [&](std::size_t i) { exits.push_back(i); };
        EXPECT_EQ(pipe.run(), row.status) << row.scripts.back();
        std::sort(exits.begin(), exits.end());
        EXPECT_EQ(exits.size(), row.scripts.size());
        EXPECT_EQ(std::unique(exits.begin(), exits.end()), exits.end());
        ASSERT_EQ(pipe.statuses.size(), row.scripts.size());
        for (const ChildStatus& record : pipe.statuses) EXPECT_EQ(record.reaped, 1);
    }
}

// The shell leaves while a grandchild holds its stdin open unread: only the end
// of the first command can stop an endless feeder. (dash gives a background job
// /dev/null unless stdin comes from another descriptor, hence the detour via 3.)
TEST(Pipe, FeedingStopsWhenTheFirstCommandEnds) {
    Pipe pipe(Command("/bin/sh", "-c", "exec 3<&0; sleep 1 0<&3 3<&- & exit 7"));
    pipe.stdinChannel = {FD_PIPE, [&](std::vector<char>& buffer) {
                             buffer.assign(4096, 'y');
                             return true;
                         }};
    EXPECT_EQ(pipe.run(), 7 << 8);
}

TEST(Pipe, ThreeCommandsAndNoConnectingPipeEndInTheParent) {
    const auto before = openFds();
    std::string out;
    std::map<int, std::string> during;
    Pipe pipe(Command("/usr/bin/printf", "one two\\nthree\\n"));
    pipe.append(Command("/usr/bin/tr", " ", "\\n")).append(Command("/usr/bin/wc", "-l"));
    pipe.stdoutChannel = {FD_PIPE, [&](const std::vector<char>& chunk) {
                              out.append(chunk.begin(), chunk.end());
                              during = openFds();
                              for (const auto& fd : before) during.erase(fd.first);
                              during.erase(ProcessSetCatcher::instance()->readEnd());
                          }};
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(out, "3\n");
    EXPECT_EQ(during.size(), 2U);  // the catcher's write end and the pipeline's stdout
    EXPECT_EQ(openFds(), before);
}

// A nested run from a handler is refused and the running pipe completes; a
// launched pipe refuses a second run and new commands; an empty one refuses to run.
TEST(Pipe, RefusesMisuse) {
    std::string out;
    Caught nested;
    Pipe pipe(Command("/bin/echo", "outer"));
    pipe.stdoutChannel = {FD_PIPE, [&](const std::vector<char>& chunk) {
                              out.append(chunk.begin(), chunk.end());
                              ProcessSetCatcher* const outer = ProcessSetCatcher::instance();
                              Pipe inner(Command("/bin/true"));
                              nested = caught([&] { inner.run(); });
                              EXPECT_TRUE(inner.statuses.empty());
                              EXPECT_EQ(ProcessSetCatcher::instance(), outer);
                          }};
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(out, "outer\n");
    EXPECT_EQ(nested, REFUSED);
    EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
    EXPECT_EQ(caught([&] { pipe.run(); }), (Caught{LOGIC, "the pipe has been launched already"}));
    EXPECT_EQ(caught([&] { pipe.append(Command("/bin/true")); }),
              (Caught{LOGIC, "adding processes to the launched pipe is prohibited"}));
    Pipe empty(Command("/bin/true"));
    empty.commands.clear();
    EXPECT_EQ(caught([&] { empty.run(); }),
              (Caught{LOGIC, "No processes to launch were assigned so far"}));
}

// A second install is refused and leaves the first in place. Two children ended
// while SIGCHLD was blocked: one handler call on unblocking reaps both, a byte each.
TEST(ProcessSetCatcher, ReapsEveryEndedChildWhenTheSignalComesThrough) {
    ProcessSetCatcher catcher;
    pid_t pids[2];
    struct sigaction installed {}, now {};
    {
        SignalBlocker blocker;
        blocker.block(SIGCHLD);
        catcher.install();
        ::sigaction(SIGCHLD, nullptr, &installed);
        EXPECT_EQ(caught([] { ProcessSetCatcher().install(); }), REFUSED);
        EXPECT_EQ(ProcessSetCatcher::instance(), &catcher);
        ::sigaction(SIGCHLD, nullptr, &now);
        EXPECT_EQ(now.sa_sigaction, installed.sa_sigaction);
        for (int i = 0; i < 2; ++i) {
            if ((pids[i] = ::fork()) == 0) ::_exit(3 + i);
            catcher.registerChild(pids[i]);
        }
        siginfo_t info;
        for (const pid_t pid : pids) ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT);
        EXPECT_EQ(catcher.finished(), 0U);
    }
    EXPECT_EQ(catcher.drain(), 2U);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(catcher.childRecord(pids[i]).status, (3 + i) << 8);
    errno = ENOTTY;
    EXPECT_EQ(catcher.drain(), 0U);  // now empty, and errno untouched
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_TRUE(noChildLeft());
}
