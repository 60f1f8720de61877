#include "process/ProcessSetCatcher.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "common/SystemError.h"
#include "helpers/pipe_test_support.h"
#include "process/SignalBlocker.h"

namespace {

using kelmo::process::ChildStatus;
using kelmo::process::ProcessSetCatcher;
using kelmo::process::SignalBlocker;

pid_t startExiting(int code) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(code);
    }
    return pid;
}

// Blocks until pid has exited, leaving it to be reaped.
void awaitExit(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
}

void noteSignal(int) {}

// The current SIGCHLD disposition.
struct sigaction currentAction() {
    struct sigaction action {};
    ::sigaction(SIGCHLD, nullptr, &action);
    return action;
}

// Puts a recognisable SIGCHLD disposition in place for the test and the
// previous one back afterwards.
class DispositionGuard {
public:
    DispositionGuard() {
        struct sigaction marker {};
        marker.sa_handler = &noteSignal;
        marker.sa_flags = SA_RESTART;
        ::sigemptyset(&marker.sa_mask);
        ::sigaction(SIGCHLD, &marker, &saved_);
    }
    ~DispositionGuard() { ::sigaction(SIGCHLD, &saved_, nullptr); }

private:
    struct sigaction saved_ {};
};

bool isMarker(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == &noteSignal &&
           (action.sa_flags & SA_RESTART) != 0;
}

TEST(ProcessSetCatcherTest, ChildrenEndedWhileBlockedAreCollectedWhenTheSignalIsLetThrough) {
    for (const int children : {1, 2}) {
        SCOPED_TRACE(children);
        ProcessSetCatcher catcher;
        pid_t pids[2] = {-1, -1};
        {
            SignalBlocker blocker;
            blocker.block(SIGCHLD);
            catcher.install();
            for (int i = 0; i < children; ++i) {
                pids[i] = startExiting(3 + i);
                ASSERT_GT(pids[i], 0);
                catcher.registerChild(pids[i]);
                EXPECT_EQ(catcher.childRecord(pids[i]).reaped, 0);
                EXPECT_EQ(catcher.childRecord(pids[i]).status, -1);
            }
            for (int i = 0; i < children; ++i) {
                awaitExit(pids[i]);
            }
            EXPECT_EQ(catcher.finished(), 0u);
        }
        // The pending signal was delivered as the mask came back; one call
        // of the handler reaps every child that has ended.
        EXPECT_EQ(catcher.finished(), static_cast<std::size_t>(children));
        EXPECT_EQ(catcher.statusReports(), static_cast<std::size_t>(children));
        EXPECT_EQ(catcher.drain(), static_cast<std::size_t>(children));
        for (int i = 0; i < children; ++i) {
            const ChildStatus record = catcher.childRecord(pids[i]);
            EXPECT_EQ(record.reaped, 1);
            ASSERT_TRUE(WIFEXITED(record.status));
            EXPECT_EQ(WEXITSTATUS(record.status), 3 + i);
        }
        EXPECT_TRUE(pipetest::noChildLeft());
    }
}

TEST(ProcessSetCatcherTest, DrainOfAnEmptyPipeReturnsZeroAndKeepsErrno) {
    ProcessSetCatcher catcher;
    catcher.install();
    errno = ENOTTY;
    EXPECT_EQ(catcher.drain(), 0u);
    EXPECT_EQ(errno, ENOTTY);
}

TEST(ProcessSetCatcherTest, UnknownPidsAreRefused) {
    ProcessSetCatcher catcher;
    catcher.install();
    catcher.registerChild(12345);
    try {
        catcher.childRecord(12346);
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "no such pid");
    }
    // 12345 never runs as our child: force its way out.
    catcher.uninstall(true);
}

TEST(ProcessSetCatcherTest, ASecondCatcherIsRefusedAndTheFirstKeepsWorking) {
    DispositionGuard guard;
    ProcessSetCatcher first;
    first.install();
    const struct sigaction installed = currentAction();
    try {
        ProcessSetCatcher second;
        second.install();
        ADD_FAILURE() << "second install succeeded";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "ProcessSetCatcher instance has been installed already");
    }
    EXPECT_EQ(ProcessSetCatcher::instance(), &first);
    EXPECT_EQ(currentAction().sa_sigaction, installed.sa_sigaction);
    EXPECT_EQ(currentAction().sa_flags & (SA_NOCLDSTOP | SA_SIGINFO), SA_NOCLDSTOP | SA_SIGINFO);

    pid_t pid;
    {
        SignalBlocker blocker;
        blocker.block(SIGCHLD);
        pid = startExiting(9);
        first.registerChild(pid);
        awaitExit(pid);
    }
    EXPECT_EQ(first.childRecord(pid).reaped, 1);
    EXPECT_EQ(first.drain(), 1u);
}

TEST(ProcessSetCatcherTest, UninstallRestoresThePreviousDisposition) {
    DispositionGuard guard;
    {
        ProcessSetCatcher catcher;
        catcher.install();
        EXPECT_FALSE(isMarker(currentAction()));
        EXPECT_GE(catcher.readEnd(), 0);
        SignalBlocker blocker;
        blocker.block(SIGCHLD);
        const pid_t pid = startExiting(0);
        catcher.registerChild(pid);
        awaitExit(pid);
    }
    EXPECT_TRUE(isMarker(currentAction()));
    EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
    EXPECT_TRUE(pipetest::noChildLeft());

    ProcessSetCatcher later;
    EXPECT_NO_THROW(later.install());
    EXPECT_EQ(ProcessSetCatcher::instance(), &later);
}

TEST(ProcessSetCatcherTest, UninstallWithChildrenRunningThrowsButLeavesNothingInstalled) {
    DispositionGuard guard;
    const auto before = pipetest::openDescriptors();
    auto* catcher = new ProcessSetCatcher;
    catcher->install();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::pause();
        ::_exit(0);
    }
    {
        SignalBlocker blocker;
        blocker.block(SIGCHLD);
        catcher->registerChild(pid);
    }
    try {
        delete catcher;
        ADD_FAILURE() << "no exception";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "there're some child processes still running");
    }
    EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
    EXPECT_TRUE(isMarker(currentAction()));
    EXPECT_EQ(pipetest::openDescriptors(), before);
    ::kill(pid, SIGKILL);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
}

TEST(ProcessSetCatcherTest, ChildrenOfOthersAreReapedAndRecordedNowhere) {
    ProcessSetCatcher catcher;
    catcher.install();
    pid_t stranger;
    {
        SignalBlocker blocker;
        blocker.block(SIGCHLD);
        stranger = startExiting(1);
        awaitExit(stranger);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(stranger, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(catcher.statusReports(), 0u);
    EXPECT_EQ(catcher.finished(), 0u);
    EXPECT_EQ(catcher.drain(), 0u);
    EXPECT_THROW(catcher.childRecord(stranger), std::out_of_range);
}

TEST(ProcessSetCatcherTest, AFailedInstallLeavesTheDispositionAndNoDescriptor) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' runtime probes memory through a pipe of its own; with
    // no descriptor left it reports a false error on the exception's vptr.
    GTEST_SKIP() << "needs descriptor exhaustion, which the sanitizer runtime cannot bear";
#endif
    DispositionGuard guard;
    const auto before = pipetest::openDescriptors();
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The lowest free descriptor becomes the limit: pipe() finds no room.
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    int code = 0;
    std::string what;
    {
        ProcessSetCatcher catcher;
        try {
            catcher.install();
        } catch (const kelmo::SystemError& error) {
            code = error.code();
            what = error.what();
        }
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(code, EMFILE);
    EXPECT_EQ(what.rfind("process set catcher control pipe: ", 0), 0u) << what;
    EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
    EXPECT_TRUE(isMarker(currentAction()));
    EXPECT_EQ(pipetest::openDescriptors(), before);
}

}  // namespace
