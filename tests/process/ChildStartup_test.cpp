#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <cstring>
#include <new>

#include "helpers/stream_capture.h"
#include "process/ChildStartup.h"
#include "process/FailureReport.h"
#include "process/ProcessTestSupport.h"

using namespace proctest;

const std::string SE = typeid(kelmo::SystemError).name(), RE = typeid(std::runtime_error).name();
const std::string longText(3000, 'y');

std::string err(const std::string& what, int code) { return what + ": " + std::strerror(code); }
// Named: GCC 12 at -O2 warns when boost::function copies a stateless lambda.
void throwLong() { throw std::runtime_error(longText); }
void throwNumber() { throw 42; }

// close() as Linux may report it: the descriptor released, then EINTR, once.
int interruptedFd = -1, interruptedCalls = 0;
extern "C" int close(int fd) {
    const int rc = int(::syscall(SYS_close, fd));
    return fd != interruptedFd || interruptedCalls++ > 0 ? rc : (errno = EINTR, -1);
}

// Once set (in a forked child), allocations fail in every other process: its children.
pid_t allocatesOnlyIn = 0;
void* operator new(std::size_t size) {
    if (allocatesOnlyIn != 0 && ::getpid() != allocatesOnlyIn) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

// startChild's arguments (stdin /dev/null, the path args[0]); env used unless empty.
struct Launch {
    std::vector<std::string> args{"/bin/sh", "-c", "exit 0"}, env;
    const char* workingDir = nullptr;
    bool closeDescriptors = false, searchPath = false;
    boost::function<void()> setup;
    int out = FD_INHERIT, err = FD_INHERIT;
};

// Starts the child, reads its report and reaps it: {the report, exit code or -1}.
std::pair<Caught, int> run(Launch l) {
    std::vector<char*> argv, envp;
    for (std::string& arg : l.args) argv.push_back(arg.data());
    for (std::string& var : l.env) envp.push_back(var.data());
    argv.push_back(nullptr), envp.push_back(nullptr);
    ChildHandle h;
    startChild(h, argv.data(), argv[0], l.workingDir, l.env.empty() ? nullptr : envp.data(),
               l.closeDescriptors, l.searchPath, false, l.setup, FD_DEVNULL, l.out, l.err);
    const Caught error = caught([&] { readChildReport(h); });
    const int status = waitForChild(h);
    return {error, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// EINTR from close counts as closed: a second close could hit a descriptor just reused.
TEST(CloseNoInt, EintrCountsAsClosedAndIsNeverRetried) {
    interruptedFd = ::open("/dev/null", O_RDONLY);
    EXPECT_EQ(kelmo::closeNoInt(interruptedFd), 0);
    EXPECT_EQ(interruptedCalls, 1);  // later closes of that number pass through
}

// Failures before exec reach the parent as thrown in the child; exit statuses tell their kind.
TEST(ChildStartup, FailuresBeforeExecAreReportedWithTheirKind) {
    const struct { std::function<void(Launch&)> change; Caught error; int exitCode; } rows[] = {
        {[](Launch& l) { l.args[0] = "sh", l.searchPath = true; }, {}, 0},
        {[](Launch& l) { l.args[0] = "sh"; }, {SE, err(err("execv", 2), 2), 2}, 67},
        {[](Launch& l) { l.env = {"P=42"}, l.args[2] = "test $P = 42 -a -z \"$HOME\""; }, {}, 0},
        {[](Launch& l) { l.workingDir = "/no-such-t1"; }, {SE, err(err("cwd chdir", 2), 2), 2}, 67},
        {[](Launch& l) { l.err = 987; }, {SE, err(err("stderr dup2", EBADF), EBADF), EBADF}, 67},
        {[](Launch& l) { l.setup = throwLong; }, {RE, longText, 0}, 66},  // over several reads
        {[](Launch& l) { l.setup = throwNumber; }, {RE, "unknown error", 0}, 65},
        // Stdin's /dev/null, opened close-on-exec onto the parent's closed 0, stays in the child.
        {[](Launch& l) { l.args[2] = "test -e /dev/stdin", ::close(0); }, {}, 0},
    };
    for (const auto& row : rows) {
        Launch launch;
        row.change(launch);
        EXPECT_EQ(run(launch), std::make_pair(row.error, row.exitCode)) << &row - rows;
    }
    EXPECT_EQ(::open("/dev/null", O_RDONLY), 0);  // a row closed it
}

// A child failing before exec runs none of its parent's code (exit handlers, stdio flush, the
// caller's code after run, even when it cannot allocate); run still throws its report.
TEST(ChildStartup, FailedChildRunsNothingOfItsParent) {
    for (const bool failNew : {false, true}) {
        const auto result = testsupport::runInChild([&] {
            std::atexit([] { std::fputs("exit handler\n", stdout); });
            std::fputs("buffered ", stdout);  // no newline: still buffered on a terminal
            allocatesOnlyIn = failNew ? ::getpid() : 0;
            const Caught thrown = caught([] { Pipe(Command("/no-such-t1")).run(); });
            std::printf("run threw %s\n", std::get<1>(thrown).c_str());
            return 0;
        }, true);
        const std::string told = failNew ? "std::exception" : err(err("execv", ENOENT), ENOENT);
        EXPECT_EQ(result.out, "buffered run threw " + told + "\nexit handler\n") << failNew;
    }
}

// Even under a huge limit, only 0, 1 and 2 reach the child (the highest allowed one included).
TEST(ChildStartup, CloseDescriptorsLeavesOnlyTheStandardStreams) {
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit huge{1048576, std::max<rlim_t>(saved.rlim_max, 1048576)};
    if (::setrlimit(RLIMIT_NOFILE, &huge) != 0) huge = {saved.rlim_max, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &huge), 0);
    const int high = int(huge.rlim_cur - 1);
    ASSERT_EQ(::dup2(2, high), high);
    const auto parent = openFds();
    for (const bool closing : {false, true}) {
        Launch launch;
        launch.args[2] = "ls /proc/$$/fd", launch.closeDescriptors = closing;  // the shell's
        launch.out = ::memfd_create("fds", MFD_CLOEXEC);
        EXPECT_EQ(run(launch), std::make_pair(Caught{}, 0));
        const std::string fds = testsupport::readWholeFile(launch.out);
        kelmo::closeNoInt(launch.out);
        if (closing) EXPECT_EQ(fds, "0\n1\n2\n");
        else EXPECT_NE(fds.find("\n" + std::to_string(high) + "\n"), std::string::npos) << fds;
    }
    EXPECT_EQ(openFds(), parent);  // the parent keeps what it had
    kelmo::closeNoInt(high);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
}
