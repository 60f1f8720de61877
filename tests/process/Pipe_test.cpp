#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <csignal>
#include <random>

#include "process/DescriptorSet.h"
#include "process/ProcessSetCatcher.h"
#include "process/ProcessTestSupport.h"
#include "process/SignalBlocker.h"
#include "sysutil/lock.h"

using namespace proctest;

static volatile sig_atomic_t alarms = 0;

// A command takes the settings it leaves unset from the pipe; its own win.
TEST(Pipe, CommandsInheritTheSettingsTheyLeaveUnset) {
    const int probe = ::open("/dev/null", O_RDONLY);  // not close-on-exec
    const std::string script = "pwd; test -e /dev/fd/" + std::to_string(probe) + " && echo open";
    const struct { std::function<void(Pipe&)> configure; std::string expected; } rows[] = {
        {[](Pipe& p) { p.workingDir = "/tmp", p.closeDescriptors = true; }, "/tmp\n"},
        {[](Pipe& p) { p.workingDir = "/tmp", p.commands[0].workingDir = "/"; }, "/\nopen\n"},
    };
    for (const auto& row : rows) {
        std::string out;
        Pipe pipe(sh(script));
        pipe.stdoutChannel = {FD_PIPE, collectInto(out)};
        row.configure(pipe);
        pipe.run();
        EXPECT_EQ(out, row.expected);
    }
    kelmo::closeNoInt(probe);
}

// Nothing the library holds (catcher, parent's ends, lock, fed stdin) reaches a child from 3 up.
TEST(Pipe, ChildrenInheritNoneOfTheLibrarysOwnDescriptors) {
    const std::string list = "find /proc/$$/fd -mindepth 1 ! -name '[012]' -printf '%f\\n'";
    const std::string lockPath = "/tmp/Pipe_test.lock." + std::to_string(::getpid());
    for (const auto& fd : openFds()) if (fd.first > 2) ::fcntl(fd.first, F_SETFD, FD_CLOEXEC);
    lock_handle* lock = lock_wait(lockPath.c_str(), 0);
    ASSERT_TRUE(lock_is_held(lock));
    ::alarm(60);  // ends any hang
    for (const bool fed : {false, true}) {
        std::string out;
        const Command lister = sh(fed ? "timeout 5 wc -c; " + list : list);
        Pipe pipe(fed ? Command("/bin/cat") : lister);
        if (fed)  // wc ends only if no child holds cat's stdin open
            pipe.append(lister).stdinChannel = {FD_PIPE, [](auto& b) { return b = {'x'}, false; }};
        pipe.stdoutChannel = {FD_PIPE, collectInto(out)};
        pipe.run();
        EXPECT_EQ(out, fed ? "1\n" : "") << fed;
    }
    ::alarm(0);
    lock_release(lock), ::unlink(lockPath.c_str());
}

// One feeder call when it answers false; output in chunks of at most 1024; stderr per command.
TEST(Pipe, FeedsCollectsAndHandsEachCommandsDiagnosticsToItsHandler) {
    const std::string text(200 * 1024, 'x');
    std::string pipeWide, ownUnused, second, out;
    std::size_t feeds = 0, largest = 0;
    Pipe pipe(sh("cat; echo one >&2"));
    pipe.append(sh("tr x a; echo two >&2")).append(sh("cat; echo three >&2"));
    pipe.commands[0].stderrChannel.handler = collectInto(ownUnused);  // unset fd: the pipe's all
    pipe.commands[1].stderrChannel = {FD_PIPE, collectInto(second)};
    pipe.commands[2].stderrChannel.fd = FD_DEVNULL;
    pipe.stdinChannel = {FD_PIPE, [&](std::vector<char>& buffer) {  // one portion only
                             return buffer.assign(text.begin(), text.end()), ++feeds == 0;
                         }};
    pipe.stdoutChannel = {FD_PIPE, [&](const std::vector<char>& chunk) {
                              largest = std::max(largest, chunk.size()), appendOutput(out, chunk);
                          }};
    pipe.stderrChannel = {FD_PIPE, collectInto(pipeWide)};
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_EQ(out, std::string(text.size(), 'a'));
    EXPECT_EQ(feeds, 1U);
    EXPECT_EQ(largest, 1024U);
    EXPECT_EQ(pipeWide + "|" + ownUnused + "|" + second, "one\n||two\n");
}

// The last command's wait status, once every command ended (each end reported once).
TEST(Pipe, ReturnsTheLastCommandsWaitStatus) {
    const struct { std::vector<std::string> scripts; int status; } rows[] = {
        {{"cat; exit 3"}, 3 << 8}, {{"kill -TERM $$"}, SIGTERM}, {{"exit 5", "cat"}, 0},
        {{"true", "cat; exit 4"}, 4 << 8}, {{"exit 1", "exit 2", "kill -KILL $$"}, SIGKILL},
        {{"yes", "exit 0", "yes", "head -c 1 >/dev/null"}, 0}};  // hangs if a pipe end leaks
    for (const auto& row : rows) {
        std::vector<int> exits(row.scripts.size());
        Pipe pipe(sh(row.scripts[0]));
        for (std::size_t i = 1; i < row.scripts.size(); ++i) pipe.append(sh(row.scripts[i]));
        pipe.stdinChannel.fd = FD_PIPE;  // no feeder: end of file at once
        pipe.onExit = [&](std::size_t i) { ++exits.at(i); };
        EXPECT_EQ(pipe.run(), row.status) << row.scripts.back();
        EXPECT_EQ(exits, std::vector<int>(row.scripts.size(), 1));
    }
}

// An endless feeder stops when the first command ends, though a grandchild holds its stdin.
TEST(Pipe, FeedingStopsWhenTheFirstCommandEnds) {
    Pipe pipe(sh("exec 3<&0; sleep 1 0<&3 3<&- & exit 7"));  // dash: else sleep gets /dev/null
    pipe.stdinChannel = {FD_PIPE, [](std::vector<char>& b) { return b.assign(4096, 'y'), true; }};
    EXPECT_EQ(pipe.run(), 7 << 8);
}

// A nested run from a handler is refused (one catcher at a time), and so is a second run.
TEST(Pipe, RefusesMisuse) {
    const std::string logic = typeid(std::logic_error).name();
    Caught nested;
    Pipe pipe(Command("/bin/echo", "outer"));
    pipe.stdoutChannel = {FD_PIPE, [&](const std::vector<char>&) {
                              nested = caught([&] { Pipe(Command("/bin/true")).run(); });
                          }};
    EXPECT_EQ(pipe.run(), 0);  // the running pipe and its catcher carry on
    EXPECT_EQ(nested, (Caught{logic, "ProcessSetCatcher instance has been installed already", 0}));
    EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
    EXPECT_EQ(caught([&] { pipe.run(); }),
              (Caught{logic, "the pipe has been launched already", 0}));
}

// One handler call reaps every ended child; a refused uninstall still restores the disposition.
TEST(ProcessSetCatcher, ReapsEveryEndedChildAndRestoresTheDispositionEvenWhenRefused) {
    struct sigaction before {}, after {};
    ::sigaction(SIGCHLD, nullptr, &before);
    ProcessSetCatcher catcher;
    pid_t pids[3];
    {
        SignalBlocker blocker;  // the two ends are delivered as one signal on unblocking
        blocker.block(SIGCHLD);
        catcher.install();
        for (int i = 0; i < 3; ++i) {
            if ((pids[i] = ::fork()) == 0) i < 2 ? ::_exit(3 + i) : (void)::pause();
            catcher.registerChild(pids[i]);
        }
        siginfo_t info;
        for (int i = 0; i < 2; ++i) ::waitid(P_PID, id_t(pids[i]), &info, WEXITED | WNOWAIT);
    }
    EXPECT_EQ(catcher.drain(), 2U);  // a byte for each
    for (int i = 0; i < 2; ++i) EXPECT_EQ(catcher.childRecord(pids[i]).status, (3 + i) << 8);
    errno = ENOTTY;
    EXPECT_EQ(catcher.drain(), 0U);  // now empty, and errno untouched
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_THROW(catcher.uninstall(false), std::logic_error);  // pids[2] still runs
    EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
    ::sigaction(SIGCHLD, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    ::kill(pids[2], SIGKILL), ::waitpid(pids[2], nullptr, 0);
}

// With SIGALRM (no SA_RESTART) every 100 us interrupting slow calls, 10 MiB fed through cat in
// portions of varying size come back whole, and 2000 runs end right, leaving nothing behind.
TEST(PipeReliability, RunsStayCorrectAndLeaveNothingUnderASignalEvery100Microseconds) {
    const auto before = openFds();
    std::string text(10 << 20, '\0'), out, collected;
    std::generate(text.begin(), text.end(), std::minstd_rand());
    struct sigaction storm {}, saved {};
    storm.sa_handler = [](int) { ++alarms; };
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
        Pipe pipe(sh("exit 3"));
        pipe.stdoutChannel = {FD_PIPE, collectInto(collected)};
        pipe.stderrChannel.fd = FD_PIPE;
        wrong += pipe.run() != 3 << 8;
    }
    ::setitimer(ITIMER_REAL, &off, nullptr), ::sigaction(SIGALRM, &saved, nullptr);
    EXPECT_TRUE(out == text) << out.size();
    EXPECT_EQ(wrong + collected.size(), 0U);
    EXPECT_GT(alarms, 100);  // the storm really blew
    EXPECT_EQ(openFds(), before);
    EXPECT_TRUE(noChildLeft());
}

// A descriptor to watch at or past the select sets' bound fails the run with EMFILE, cleanly.
TEST(PipeReliability, DescriptorsBeyondTheSelectSetsFailWithEmfile) {
    const int bound = DescriptorSet::capacity;
    struct Row { int next, code; bool feed, collect; } rows[] = {  // next: first descriptor got
        {bound, EMFILE, false, false}, {bound - 2, EMFILE, false, true},  // catcher, stdout
        {bound - 2, EMFILE, true, false}, {bound - 8, 0, false, true}};  // stdin, all inside
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit raised{20000, std::max<rlim_t>(saved.rlim_max, 20000)};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    // A failed run's catcher closes its read end before its write end: should echo end in
    // between, the handler's byte for it raises SIGPIPE.
    const auto sigpipe = std::signal(SIGPIPE, SIG_IGN);
    for (const Row& row : rows) {
        const auto before = openFds();
        std::vector<int> fillers;  // every free descriptor below next
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
        while (::waitpid(-1, nullptr, 0) > 0) continue;  // a failed run leaves them unwaited
        EXPECT_EQ(openFds(), before) << row.next;
    }
    std::signal(SIGPIPE, sigpipe);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
}
