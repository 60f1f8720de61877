#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <memory>
#include <random>

#include "process/DescriptorSet.h"
#include "process/ProcessSetCatcher.h"
#include "process/ProcessTestSupport.h"
#include "process/SignalBlocker.h"
#include "sysutil/lock.h"

using namespace proctest;

static volatile sig_atomic_t alarms = 0;
static void countAlarm(int) { ++alarms; }

// A command takes each setting it leaves unset from the pipe; its own wins.
TEST(Pipe, CommandsInheritTheSettingsTheyLeaveUnset) {
    const int probe = ::open("/dev/null", O_RDONLY);  // not close-on-exec
    const std::string probed = "[ -e /proc/self/fd/" + std::to_string(probe) + " ] && echo open";
    struct Row { std::function<void(Pipe&)> configure; std::string script, expected; };
    const Row rows[] = {
        {[](Pipe& p) { p.workingDir = "/tmp"; }, "pwd", "/tmp\n"},
        {[](Pipe& p) { p.workingDir = "/tmp", p.commands[0].workingDir = "/"; }, "pwd", "/\n"},
        {[](Pipe&) {}, probed, "open\n"},
        {[](Pipe& p) { p.closeDescriptors = true; }, probed, ""},
    };
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

// Nothing of the library's reaches a child from 3 up: not the catcher's pipe, the parent's
// ends, a lock file, nor command 0's fed stdin (wc would wait for its end till timeout; the
// alarm ends any other hang). What this process was handed is made close-on-exec first.
TEST(Pipe, ChildrenInheritNoneOfTheLibrarysOwnDescriptors) {
    const std::string list = "find /proc/$$/fd -mindepth 1 ! -name '[012]' -printf '%f\\n'";
    const std::string lockPath = "/tmp/Pipe_test.lock." + std::to_string(::getpid());
    struct Row { bool fed, locked; std::string expected; } rows[] = {
        {false, false, ""}, {true, false, "1\n"}, {false, true, ""}};
    for (const auto& fd : openFds()) if (fd.first > 2) ::fcntl(fd.first, F_SETFD, FD_CLOEXEC);
    ::alarm(60);
    for (const Row& row : rows) {
        lock_handle* lock = row.locked ? lock_wait(lockPath.c_str(), 0) : nullptr;
        EXPECT_TRUE(!row.locked || lock_is_held(lock));
        std::string out;
        const Command lister("/bin/sh", "-c", row.fed ? "timeout 5 wc -c; " + list : list);
        Pipe pipe(row.fed ? Command("/bin/cat") : lister);
        if (row.fed)
            pipe.append(lister).stdinChannel = {FD_PIPE, [](auto& b) { return b = {'x'}, false; }};
        pipe.stdoutChannel = {FD_PIPE, collectInto(out)};
        pipe.run();
        EXPECT_EQ(out, row.expected) << row.fed << row.locked;
        lock_release(lock), ::unlink(lockPath.c_str());
    }
    ::alarm(0);
}

// One feeder call when it answers false; stdout in chunks of at most 1024 bytes; an
// unset stderr spec takes the pipe's whole channel, a command's own keeps its handler.
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
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(out, std::string(text.size(), 'a'));
    EXPECT_EQ(feeds, 1U);
    EXPECT_EQ(largest, 1024U);
    EXPECT_EQ(pipeWide + "|" + ownUnused + "|" + second, "one\n||two\n");
}

// The last command's wait status, once every command ended (each end reported once).
// A connecting pipe end left open in the parent would keep yes from its SIGPIPE: a hang.
TEST(Pipe, ReturnsTheLastCommandsWaitStatus) {
    struct Row { std::vector<const char*> scripts; int status; } rows[] = {{{"cat; exit 3"}, 3 << 8},
        {{"kill -TERM $$"}, SIGTERM}, {{"exit 5", "cat"}, 0}, {{"true", "cat; exit 4"}, 4 << 8},
        {{"yes", "exit 0", "yes", "head -c 1 >/dev/null"}, 0},
        {{"exit 1", "exit 2", "kill -KILL $$"}, SIGKILL}};
    for (const Row& row : rows) {
        std::vector<int> exits(row.scripts.size());
        Pipe pipe(Command("/bin/sh", "-c", row.scripts[0]));
        for (std::size_t i = 1; i < row.scripts.size(); ++i) pipe.append(Command("/bin/sh", "-c", row.scripts[i]));
        pipe.stdinChannel.fd = FD_PIPE;  // no feeder: end of file at once
        pipe.onExit = [&](std::size_t i) { ++exits.at(i); };
        EXPECT_EQ(pipe.run(), row.status) << row.scripts.back();
        EXPECT_EQ(exits, std::vector<int>(row.scripts.size(), 1));
    }
}

// A grandchild holds the shell's stdin open unread: only the shell's end stops an
// endless feeder. (dash gives a background job /dev/null unless stdin is moved.)
TEST(Pipe, FeedingStopsWhenTheFirstCommandEnds) {
    Pipe pipe(Command("/bin/sh", "-c", "exec 3<&0; sleep 1 0<&3 3<&- & exit 7"));
    pipe.stdinChannel = {FD_PIPE, [&](std::vector<char>& buffer) { return buffer.assign(4096, 'y'), true; }};
    EXPECT_EQ(pipe.run(), 7 << 8);
}

// A nested run (a second catcher) from a handler is refused and the running pipe
// and its catcher carry on; a launched pipe refuses to run again.
TEST(Pipe, RefusesMisuse) {
    const std::string logic = typeid(std::logic_error).name();
    std::string out;
    Caught nested;
    Pipe pipe(Command("/bin/echo", "outer"));
    pipe.stdoutChannel = {FD_PIPE, [&](const std::vector<char>& chunk) {
                              out.append(chunk.begin(), chunk.end());
                              nested = caught([&] { Pipe(Command("/bin/true")).run(); });
                          }};
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(out, "outer\n");
    EXPECT_EQ(nested, (Caught{logic, "ProcessSetCatcher instance has been installed already", 0}));
    EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
    EXPECT_EQ(caught([&] { pipe.run(); }), (Caught{logic, "the pipe has been launched already", 0}));
}

// Two children ended while SIGCHLD was blocked: one handler call on unblocking
// reaps both and writes a byte for each. Uninstalling with a child still running is
// refused, yet the previous disposition is back, so nothing points at freed storage.
TEST(ProcessSetCatcher, ReapsEveryEndedChildAndRestoresTheDispositionEvenWhenRefused) {
    struct sigaction before {}, after {};
    ::sigaction(SIGCHLD, nullptr, &before);
    auto catcher = std::make_unique<ProcessSetCatcher>();
    pid_t pids[3];
    {
        SignalBlocker blocker;
        blocker.block(SIGCHLD);
        catcher->install();
        for (int i = 0; i < 3; ++i) {
            if ((pids[i] = ::fork()) == 0) i < 2 ? ::_exit(3 + i) : (void)::pause();
            catcher->registerChild(pids[i]);
        }
        siginfo_t info;
        for (int i = 0; i < 2; ++i) ::waitid(P_PID, id_t(pids[i]), &info, WEXITED | WNOWAIT);
    }
    EXPECT_EQ(catcher->drain(), 2U);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(catcher->childRecord(pids[i]).status, (3 + i) << 8);
    errno = ENOTTY;
    EXPECT_EQ(catcher->drain(), 0U);  // now empty, and errno untouched
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_THROW(catcher->uninstall(false), std::logic_error);
    catcher.reset();
    EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
    ::sigaction(SIGCHLD, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    ::kill(pids[2], SIGKILL), ::waitpid(pids[2], nullptr, 0);
}

// SIGALRM every 100 microseconds, handled without SA_RESTART, interrupts every slow call
// now and then: 10 MiB fed through cat in portions of varying size come back unchanged,
// and two thousand runs each end with their status and leave no descriptor and no child.
TEST(PipeReliability, RunsStayCorrectAndLeaveNothingUnderASignalEvery100Microseconds) {
    const auto before = openFds();
    std::string text(10 << 20, '\0'), out, collected;
    std::generate(text.begin(), text.end(), std::minstd_rand());
    struct sigaction storm {}, saved {};
    storm.sa_handler = &countAlarm;
    ::sigaction(SIGALRM, &storm, &saved);
    itimerval every{{0, 100}, {0, 100}}, off{};
    ::setitimer(ITIMER_REAL, &every, nullptr);
    std::size_t offset = 0;
    Pipe fed(Command("/bin/cat"));
    fed.stdinChannel = {FD_PIPE, [&](std::vector<char>& buffer) {
                            const auto from = text.begin() + offset;
                            offset += std::min(text.size() - offset, 1 + offset % 99991);
                            buffer.assign(from, text.begin() + offset);
                            return offset < text.size();
                        }};
    fed.stdoutChannel = {FD_PIPE, collectInto(out)};
    EXPECT_EQ(fed.run(), 0);
    int wrong = 0;
    for (int i = 0; i < 2000; ++i) {
        Pipe pipe(Command("/bin/sh", "-c", "exit 3"));
        pipe.stdoutChannel = {FD_PIPE, collectInto(collected)};
        pipe.stderrChannel.fd = FD_PIPE;
        wrong += pipe.run() != 3 << 8;
    }
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &saved, nullptr);
    EXPECT_TRUE(out == text) << out.size();
    EXPECT_EQ(wrong + collected.size(), 0U);
    EXPECT_GT(alarms, 100);  // the storm really blew
    EXPECT_EQ(openFds(), before);
    EXPECT_TRUE(noChildLeft());
}

// With every free descriptor below `next` filled, a descriptor the loop would
// watch at or past the select sets' bound fails the run with EMFILE, cleanly.
TEST(PipeReliability, DescriptorsBeyondTheSelectSetsFailWithEmfile) {
    const int bound = DescriptorSet::capacity;
    struct Row { int next, code; bool feed, collect; } rows[] = {  // next: first descriptor got
        {bound, EMFILE, false, false}, {bound - 2, EMFILE, false, true},  // catcher, stdout
        {bound - 2, EMFILE, true, false}, {bound - 8, 0, false, true}};  // stdin, all inside
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit raised{20000, std::max<rlim_t>(saved.rlim_max, 20000)};
    for (const Row& row : rows) {
        const auto before = openFds();
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
        std::vector<int> fillers;
        for (int fd; (fd = ::dup(2)) >= 0 && fd < row.next;) fillers.push_back(fd);
        kelmo::closeNoInt(row.next);
        std::string out;
        Pipe pipe(Command("/bin/echo", "x"));
        if (row.feed) pipe.stdinChannel = {FD_PIPE, [](std::vector<char>&) { return false; }};
        pipe.stdoutChannel = {row.collect ? FD_PIPE : FD_DEVNULL, collectInto(out)};
        EXPECT_EQ(std::get<2>(caught([&] { pipe.run(); })), row.code) << row.next;
        EXPECT_EQ(out, row.code ? "" : "x\n");
        EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
        for (const int fd : fillers) kelmo::closeNoInt(fd);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        while (::waitpid(-1, nullptr, 0) > 0) continue;  // a failed run leaves them unwaited
        EXPECT_EQ(openFds(), before) << row.next;
        EXPECT_TRUE(noChildLeft());
    }
}
