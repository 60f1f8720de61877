#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <cstring>
#include <set>

#include "process/ChildReportParser.h"
#include "process/ProcessTestSupport.h"

using namespace proctest;
using namespace std::string_literals;

const std::string SE = typeid(kelmo::SystemError).name(), RE = typeid(std::runtime_error).name();

std::string err(const std::string& what, int code) { return what + ": " + std::strerror(code); }

// The program's 0, 1 and 2 are what each spec names; a borrowed descriptor stays open.
TEST(ChildStartup, StreamsAreWhatTheSpecsName) {
    enum Kind { Pipe, DevNull, Inherit, Own, Borrowed, Stdout };
    const Kind rows[][3] = {{Pipe, Pipe, Pipe}, {DevNull, DevNull, DevNull}, {Inherit, Inherit, Inherit}, {Own, Own, Own},
        {Borrowed, Borrowed, Borrowed}, {Pipe, Pipe, Stdout}, {Borrowed, DevNull, Stdout}, {Inherit, Inherit, Stdout}};
    const int borrowed = ::open("/tmp", O_TMPFILE | O_RDWR, 0600);
    const int specOf[] = {FD_PIPE, FD_DEVNULL, FD_INHERIT, -1, borrowed, FD_STDOUT};
    auto parent = openFds();
    for (const auto& row : rows) {
        Launch launch{{}};
        int* specs[] = {&launch.in, &launch.out, &launch.err};
        for (int n = 0; n < 3; ++n) *specs[n] = row[n] == Own ? n : specOf[row[n]];
        auto child = execedFds(launch);
        std::string expected[3];
        for (int n = 0; n < 3; ++n) {
            const std::string mode = n == 0 ? " r" : " w", end = child[-1 - n];
            // An inherited stdout leaves stderr inherited too.
            const std::string toStdout = row[1] == Inherit ? parent[2] : expected[1];
            const std::string byKind[] = {end.substr(0, end.rfind(' ')) + mode, "/dev/null" + mode,
                                          parent[n], parent[n], parent[borrowed], toStdout};
            expected[n] = byKind[row[n]];
            EXPECT_EQ(child[n], expected[n]) << &row - rows << "/" << n;
        }
        EXPECT_EQ(child[borrowed], parent[borrowed]);
    }
    EXPECT_EQ(openFds(), parent);
    kelmo::closeNoInt(borrowed);
}

// Every failure between fork and exec reaches the parent as the exception the
// child met (a long message over several reads), and the exit status tells its kind.
TEST(ChildStartup, FailuresBeforeExecAreReportedWithTheirKind) {
    const std::string longText(3000, 'y');
    const char* sid = "read -r p c s pp pg sid r < /proc/$$/stat; test $sid = $$";
    struct Row { std::function<void(Launch&)> change; Caught error; int exitCode; };
    const Row rows[] = {
        {[](Launch& l) { l.path = "sh", l.searchPath = true; }, {}, 0},
        {[](Launch& l) { l.path = "sh"; }, {SE, err(err("execv", 2), 2), 2}, 67},
        {[](Launch& l) { l.path = "no-such-t1", l.searchPath = true; }, {SE, err(err("execvp", 2), 2), 2}, 67},
        {[](Launch& l) { l.path = "sh", l.searchPath = l.useEnv = true, l.env = {"PATH=/bin"}; }, {SE, err(err("execve", 2), 2), 2}, 67},
        {[](Launch& l) { l.useEnv = true, l.env = {"P=42"}, l.args[2] = "test \"$P\" = 42 -a -z \"$HOME\""; }, {}, 0},
        {[](Launch& l) { l.workingDir = "/", l.args[2] = "test \"$(pwd)\" = /"; }, {}, 0},
        {[](Launch& l) { l.workingDir = "/no-such-t1"; }, {SE, err(err("cwd chdir", 2), 2), 2}, 67},
        {[](Launch& l) { l.in = 987; }, {SE, err(err("stdin dup2", EBADF), EBADF), EBADF}, 67},
        {[](Launch& l) { l.err = 987; }, {SE, err(err("stderr dup2", EBADF), EBADF), EBADF}, 67},
        {[&](Launch& l) { l.args[2] = sid; }, {}, 1},
        {[&](Launch& l) { l.args[2] = sid, l.newSession = true; }, {}, 0},
        {[](Launch& l) { l.setup = [] { throw kelmo::SystemError("hook", EACCES); }; }, {SE, err(err("hook", EACCES), EACCES), EACCES}, 67},
        {[&](Launch& l) { l.setup = [&] { throw std::runtime_error(longText); }; }, {RE, longText, 0}, 66},
        {[](Launch& l) { l.setup = [] { throw std::logic_error("x"); }; }, {typeid(std::exception).name(), "std::exception", 0}, 66},
        {[](Launch& l) { l.setup = [] { throw 42; }; }, {RE, "unknown error", 0}, 65},
    };
    for (const Row& row : rows) {
        Launch launch{{"/bin/sh", "-c", "exit 0"}};
        row.change(launch);
        EXPECT_EQ(run(launch), std::make_pair(row.error, row.exitCode)) << &row - rows;
    }
}

// A child that fails before its exec runs none of its parent's code: not the
// exit handlers, not a second flush of buffered output, not the caller's code
// after run when allocation fails in the child; run still throws the report.
TEST(ChildStartup, FailedChildRunsNothingOfItsParent) {
    const std::string missing = err(err("execv", ENOENT), ENOENT);
    const std::pair<std::string, std::string> rows[] = {{"", "run threw " + missing},
        {" fail-new-in-child", "run threw std::exception"}};
    for (const auto& [argument, told] : rows) {
        FILE* output = ::popen((HELPER_FAILING_PARENT + argument).c_str(), "r");
        ASSERT_NE(output, nullptr);
        std::string text;
        for (int c; (c = std::fgetc(output)) != EOF;) text += char(c);
        EXPECT_EQ(::pclose(output), 0);
        EXPECT_EQ(text, "buffered\n" + told + "\nexit handler\n") << argument;
    }
}

// A rejected spec, or a parent-side step failing with EMFILE for want of room,
// names itself and leaves no descriptor open, even while the handle lives on.
TEST(ChildStartup, FailedStartLeavesNoDescriptorOpen) {
    const std::string bad = std::string(typeid(std::invalid_argument).name()) + " invalid FD for ";
    const std::string emfile = std::string(": ") + std::strerror(EMFILE) + " 24";
    struct Row { int room, in, out, err; std::string what; };  // room: free after 0, 1, 2
    const Row rows[] = {{6, FD_PIPE, FD_STDOUT, FD_PIPE, bad + "stdout 0"}, {6, FD_DEVNULL, FD_PIPE, -9, bad + "stderr 0"},
        {0, FD_PIPE, FD_PIPE, FD_PIPE, SE + " stdin pipe" + emfile}, {0, FD_DEVNULL, FD_PIPE, FD_PIPE, SE + " stdin /dev/null open" + emfile},
        {2, FD_PIPE, FD_PIPE, FD_PIPE, SE + " stdout pipe" + emfile}, {2, FD_PIPE, FD_DEVNULL, FD_PIPE, SE + " stdout /dev/null open" + emfile},
        {4, FD_PIPE, FD_PIPE, FD_PIPE, SE + " stderr pipe" + emfile}, {4, FD_PIPE, FD_PIPE, FD_DEVNULL, SE + " stderr /dev/null open" + emfile},
        {4, FD_PIPE, FD_PIPE, FD_STDOUT, SE + " pipe" + emfile}};
    for (const Row& row : rows) {
        const auto result = testsupport::runInChild([&] {
            caught([] { throw kelmo::SystemError("x", 1); });  // UBSan checks it while it can
            ::syscall(SYS_close_range, 3U, ~0U, 0U);
            const rlimit limit{rlim_t(3 + row.room), rlim_t(3 + row.room)};
            ::setrlimit(RLIMIT_NOFILE, &limit);
            Launch launch{{"/bin/true"}};
            launch.in = row.in, launch.out = row.out, launch.err = row.err;
            ChildHandle handle;
            const Caught e = caught([&] { start(handle, launch); });
            int free = 0;
            while (::open("/dev/null", O_RDONLY) >= 0) ++free;
            std::printf("%s %s %d %d", std::get<0>(e).c_str(), std::get<1>(e).c_str(), std::get<2>(e), free);
            return 0;
        });
        EXPECT_EQ(result.out, row.what + " " + std::to_string(row.room)) << result.err;
    }
}

// With a huge descriptor limit the child still starts, and only 0, 1 and 2 reach it.
TEST(ChildStartup, CloseDescriptorsLeavesOnlyTheStandardStreams) {
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit huge{1048576, std::max<rlim_t>(saved.rlim_max, 1048576)};
    if (::setrlimit(RLIMIT_NOFILE, &huge) != 0) huge = {saved.rlim_max, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &huge), 0);
    const int high = int(huge.rlim_cur - 1);
    ASSERT_EQ(::dup2(2, high), high);
    Launch launch{{}};
    EXPECT_EQ(execedFds(launch).count(high), 1U);
    launch.closeDescriptors = true;
    std::set<int> survivors;
    for (const auto& fd : execedFds(launch)) survivors.insert(fd.first);
    EXPECT_EQ(survivors, (std::set<int>{-3, -2, -1, 0, 1, 2}));
    kelmo::closeNoInt(high);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
}

// Any split of the report, byte by byte included, rebuilds the same exception; a
// SystemError's code 0 means the parent's errno (EXDEV here), a bad one EINVAL.
TEST(ChildReportParser, RebuildsTheReportedExceptionFromAnySplit) {
    const std::string none = "an error in child process", longText = std::string(3000, 'x') + "end";
    struct Row { std::string bytes; Caught error; std::string clog; };
    const Row rows[] = {
        {"", {}, ""},
        {"ET: SystemError\0EM: execv: x\0EC: 2\0"s, {SE, err("execv: x", 2), 2}, ""},
        {"ET: SystemError\0"s, {SE, err(none, EXDEV), EXDEV}, ""},
        {"ET: SystemError\0EC: 0\0"s, {SE, err(none, EXDEV), EXDEV}, ""},
        {"ET: SystemError\0EC: \0"s, {SE, err(none, EINVAL), EINVAL}, ""},
        {"ET: SystemError\0EC:  5\0"s, {SE, err(none, EINVAL), EINVAL}, ""},
        {"ET: SystemError\0EC: 99999999999\0"s, {SE, err(none, EINVAL), EINVAL}, ""},
        {"ET: SystemError\0EC: -1\0"s, {SE, err(none, -1), -1}, ""},
        {"EC: 5\0EM: no kind\0"s, {}, ""},
        {"ET: std::runtime_error\0EM: first\0EM: second\0"s, {RE, "second", 0}, ""},
        {"ET: std::exception\0EM: lost\0"s, {typeid(std::exception).name(), "std::exception", 0}, ""},
        {"ET: Bogus\0EM: m\0"s, {typeid(std::bad_exception).name(), "std::bad_exception", 0}, ""},
        {"ET: std::runtime_error\0EM: "s + longText + '\0', {RE, longText, 0}, ""},
        {"hello\0ET:\0ET: std::runtime_error\0EM: m\0trailing"s, {RE, "m", 0},
         "child output: hello\nchild output: ET:\nchild output: trailing\n"},
    };
    for (const Row& row : rows) {
        for (const std::size_t step : {1UL, 3UL, 1024UL, 65536UL}) {
            ChildReportParser parser;
            for (std::size_t at = 0; at < row.bytes.size(); at += step)
                parser.feed(row.bytes.data() + at, std::min(step, row.bytes.size() - at));
            testing::internal::CaptureStderr();
            parser.finish();
            const std::string echoed = testing::internal::GetCapturedStderr();
            errno = EXDEV;
            EXPECT_EQ(caught([&] { parser.raise(); }), row.error) << &row - rows << "/" << step;
            EXPECT_EQ(echoed, row.clog);
        }
    }
}

// A failed close throws unless an exception is propagating; then it is quiet and
// errno stays as the first failure left it. The pair closes its read end regardless.
TEST(OwnedDescriptor, DestructorsThrowOnlyWhenNothingPropagates) {
    const Caught closeFailed{SE, err("close", EBADF), EBADF};
    EXPECT_EQ(caught([] { OwnedDescriptor().own(987); }), closeFailed);
    for (const bool unwinding : {false, true}) {
        int readEnd = -1;
        const Caught result = caught([&] {
            PipePair pair;
            pair.create("pipe");
            readEnd = pair.readEnd.inUse();
            pair.writeEnd.own(987);  // closes the real write end first
            OwnedDescriptor other;
            other.own(987);
            errno = EXDEV;
            if (unwinding) throw std::runtime_error("first");
            other.release();
        });
        const Caught thrown{SE, err("pipe read-end close", EBADF), EBADF};
        EXPECT_EQ(result, (unwinding ? Caught{RE, "first", 0} : thrown));
        EXPECT_TRUE(!unwinding || errno == EXDEV);
        EXPECT_EQ(::fcntl(readEnd, F_GETFD), -1);
    }
}
