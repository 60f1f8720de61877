#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <set>

#include "process/ProcessTestSupport.h"

using namespace proctest;

const std::string SE = typeid(kelmo::SystemError).name(), RE = typeid(std::runtime_error).name();

std::string err(const std::string& what, int code) { return what + ": " + std::strerror(code); }
// Named: GCC 12 at -O2 warns when boost::function copies a stateless lambda.
void throwNumber() { throw 42; }

// close() as Linux may report it: the descriptor released, then EINTR, once.
int interruptedFd = -1, interruptedCalls = 0;
extern "C" int close(int fd) {
    const int rc = int(::syscall(SYS_close, fd));
    if (fd != interruptedFd || interruptedCalls++ > 0) return rc;
    errno = EINTR;
    return -1;
}

// EINTR from close counts as closed: a second close could hit a descriptor just reused.
TEST(CloseNoInt, EintrCountsAsClosedAndIsNeverRetried) {
    interruptedFd = ::open("/dev/null", O_RDONLY);
    EXPECT_EQ(kelmo::closeNoInt(interruptedFd), 0);
    EXPECT_EQ(interruptedCalls, 1);  // later closes of that number pass through
}

// Every failure between fork and exec reaches the parent as the exception the child
// met (a long message over several reads), and the exit status tells its kind. Stdin's
// /dev/null, opened close-on-exec onto the parent's closed 0, reaches the child still.
TEST(ChildStartup, FailuresBeforeExecAreReportedWithTheirKind) {
    const std::string longText(3000, 'y');
    struct Row { std::function<void(Launch&)> change; Caught error; int exitCode; };
    const Row rows[] = {
        {[](Launch& l) { l.path = "sh", l.searchPath = true; }, {}, 0},
        {[](Launch& l) { l.path = "sh"; }, {SE, err(err("execv", 2), 2), 2}, 67},
        {[](Launch& l) { l.useEnv = true, l.env = {"P=42"}, l.args[2] = "test \"$P\" = 42 -a -z \"$HOME\""; }, {}, 0},
        {[](Launch& l) { l.workingDir = "/no-such-t1"; }, {SE, err(err("cwd chdir", 2), 2), 2}, 67},
        {[](Launch& l) { l.err = 987; }, {SE, err(err("stderr dup2", EBADF), EBADF), EBADF}, 67},
        {[&](Launch& l) { l.setup = [&] { throw std::runtime_error(longText); }; }, {RE, longText, 0}, 66},
        {[](Launch& l) { l.setup = throwNumber; }, {RE, "unknown error", 0}, 65},
        {[](Launch& l) { l.args[2] = "test -e /dev/stdin", ::close(0); }, {}, 0},
    };
    for (const Row& row : rows) {
        Launch launch;
        launch.args = {"/bin/sh", "-c", "exit 0"};
        row.change(launch);
        EXPECT_EQ(run(launch), std::make_pair(row.error, row.exitCode)) << &row - rows;
    }
    EXPECT_EQ(::open("/dev/null", O_RDONLY), 0);  // a row closed it
}

// A child that fails before its exec runs none of its parent's code: not the exit
// handlers, not a second flush of buffered output, not the caller's code after run
// when allocation fails in the child; run still throws the report.
TEST(ChildStartup, FailedChildRunsNothingOfItsParent) {
    for (const std::string argument : {"", " fail-new-in-child"}) {
        FILE* output = ::popen((HELPER_FAILING_PARENT + argument).c_str(), "r");
        std::string text;
        for (int c; output && (c = std::fgetc(output)) != EOF;) text += char(c);
        EXPECT_EQ(output ? ::pclose(output) : -1, 0);
        const std::string told =
            argument.empty() ? err(err("execv", ENOENT), ENOENT) : "std::exception";
        EXPECT_EQ(text, "buffered\nrun threw " + told + "\nexit handler\n") << argument;
    }
}

// With a huge descriptor limit the child still starts, and only 0, 1 and 2 reach it,
// the highest descriptor the limit allows included; the parent keeps what it had.
TEST(ChildStartup, CloseDescriptorsLeavesOnlyTheStandardStreams) {
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit huge{1048576, std::max<rlim_t>(saved.rlim_max, 1048576)};
    if (::setrlimit(RLIMIT_NOFILE, &huge) != 0) huge = {saved.rlim_max, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &huge), 0);
    const int high = int(huge.rlim_cur - 1);
    ASSERT_EQ(::dup2(2, high), high);
    const auto parent = openFds();
    Launch launch;
    EXPECT_EQ(execedFds(launch).count(high), 1U);
    launch.closeDescriptors = true;
    std::set<int> survivors;
    for (const auto& fd : execedFds(launch)) survivors.insert(fd.first);
    EXPECT_EQ(survivors, (std::set<int>{0, 1, 2}));
    EXPECT_EQ(openFds(), parent);
    kelmo::closeNoInt(high);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
}
