#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <array>
#include <cstring>
#include <set>
#include <sstream>

#include "process/ChildReportParser.h"
#include "process/ProcessTestSupport.h"

using namespace proctest;

namespace {

const std::string SE = typeid(kelmo::SystemError).name(), RE = typeid(std::runtime_error).name();

std::string err(const std::string& what, int code) { return what + ": " + std::strerror(code); }

std::string report(std::initializer_list<std::string> pieces, bool terminated = true) {
    std::string bytes;
    for (const std::string& piece : pieces) bytes += piece + '\0';
    if (!terminated) bytes.pop_back();
    return bytes;
}

int notOpen() {
    const int fd = ::open("/dev/null", O_RDONLY);
    kelmo::closeNoInt(fd);
    return fd;
}

}  // namespace

// The child's 0, 1 and 2, as the child itself lists them, are what each spec names.
TEST(ChildStartup, StreamsAreWhatTheSpecsName) {
    enum Kind { Pipe, DevNull, Inherit, Own, Borrowed, Stdout };
    // clang-format off
    const Kind rows[][3] = {{Pipe, Pipe, Pipe}, {DevNull, DevNull, DevNull}, {Inherit, Inherit, Inherit},
        {Own, Own, Own}, {Borrowed, Borrowed, Borrowed}, {Pipe, Pipe, Stdout}, {Borrowed, DevNull, Stdout},
        {Inherit, Inherit, Stdout}};
    // clang-format on
    const int borrowed = ::open("/tmp", O_TMPFILE | O_RDWR, 0600);
    const std::string listing = "/tmp/t1-fd-listing-" + std::to_string(::getpid());
    for (const auto& row : rows) {
        auto parent = openFds();
        Launch launch{{HELPER_FD_LISTER, listing}};
        int* specs[] = {&launch.in, &launch.out, &launch.err};
        for (int n = 0; n < 3; ++n) {
            *specs[n] = std::array{FD_PIPE, FD_DEVNULL, FD_INHERIT, n, borrowed, FD_STDOUT}[row[n]];
        }
        ChildHandle handle;
        start(handle, launch);
        auto now = openFds();
        const int ends[] = {handle.stdinEnd.inUse(), handle.stdoutEnd.inUse(),
                            handle.stderrEnd.inUse()};
        std::string expected[3];
        for (int n = 0; n < 3; ++n) {
            const std::string mode = n == 0 ? " r" : " w", end = now[ends[n]];
            // An inherited stdout leaves stderr inherited too.
            const std::string toStdout = row[1] == Inherit ? parent[2] : expected[1];
            const std::string byKind[] = {end.substr(0, end.rfind(' ')) + mode, "/dev/null" + mode,
                                          parent[n], parent[n], parent[borrowed], toStdout};
            expected[n] = byKind[row[n]];
        }
        readChildReport(handle);
        handle.stdinEnd.close();
        EXPECT_EQ(waitForChild(handle), 0);
        const int file = ::open(listing.c_str(), O_RDONLY | O_CLOEXEC);
        auto child = parseListing(testsupport::readWholeFile(file));
        kelmo::closeNoInt(file);
        for (int n = 0; n < 3; ++n) EXPECT_EQ(child[n], expected[n]) << &row - rows << "/" << n;
        // A borrowed descriptor stays open under its own number, in both.
        EXPECT_EQ(child[borrowed], parent[borrowed]);
        EXPECT_EQ(openFds()[borrowed], parent[borrowed]);
    }
    ::unlink(listing.c_str());
    kelmo::closeNoInt(borrowed);
}

// Every failure between fork and exec reaches the parent as the exception the
// child met (a long message over several reads), and the exit status tells its kind.
TEST(ChildStartup, FailuresBeforeExecAreReportedWithTheirKind) {
    const std::string longText(3000, 'y');
    const char* sid = "read -r p c s pp pg sid r < /proc/$$/stat; test $sid = $$";
    struct Row {
        std::function<void(Launch&)> change;
        Caught error;
        int exitCode;
    };
    // clang-format off
    const Row rows[] = {
        {[](Launch& l) { l.path = "sh", l.searchPath = true; }, {}, 0},
        {[](Launch& l) { l.path = "sh"; }, {SE, err(err("execv", 2), 2), 2}, 67},
        {[](Launch& l) { l.path = "no-such-t1", l.searchPath = true; }, {SE, err(err("execvp", 2), 2), 2}, 67},
        {[](Launch& l) { l.path = "sh", l.searchPath = l.useEnv = true, l.env = {"PATH=/bin"}; }, {SE, err(err("execve", 2), 2), 2}, 67},
        {[](Launch& l) { l.useEnv = true, l.env = {"P=42"}, l.args[2] = "test \"$P\" = 42 -a -z \"$HOME\""; }, {}, 0},
        {[](Launch& l) { l.workingDir = "/", l.args[2] = "test \"$(pwd)\" = /"; }, {}, 0},
        {[](Launch& l) { l.workingDir = "/no-such-t1"; }, {SE, err(err("cwd chdir", 2), 2), 2}, 67},
        {[](Launch& l) { l.in = 987; }, {SE, err(err("stdin dup2", EBADF), EBADF), EBADF}, 67},
        {[](Launch& l) { l.out = 987; }, {SE, err(err("stdout dup2", EBADF), EBADF), EBADF}, 67},
        {[](Launch& l) { l.err = 987; }, {SE, err(err("stderr dup2", EBADF), EBADF), EBADF}, 67},
        {[&](Launch& l) { l.args[2] = sid; }, {}, 1},
        {[&](Launch& l) { l.args[2] = sid, l.newSession = true; }, {}, 0},
        {[](Launch& l) { l.setup = [] { throw kelmo::SystemError("hook", EACCES); }; }, {SE, err(err("hook", EACCES), EACCES), EACCES}, 67},
        {[](Launch& l) { l.setup = [] { throw kelmo::ExSystemError<2>("hook"); }; }, {SE, err(err("hook", 2), 2), 2}, 67},
        {[&](Launch& l) { l.setup = [&] { throw std::runtime_error(longText); }; }, {RE, longText}, 66},
        {[](Launch& l) { l.setup = [] { throw std::logic_error("x"); }; }, {typeid(std::exception).name(), "std::exception"}, 66},
        {[](Launch& l) { l.setup = [] { throw 42; }; }, {RE, "unknown error"}, 65},
    };
    // clang-format on
    for (const Row& row : rows) {
        Launch launch{{"/bin/sh", "-c", "exit 0"}};
        row.change(launch);
        const Outcome result = run(launch);
        EXPECT_EQ(result.error, row.error) << &row - rows;
        EXPECT_EQ(result.exitCode, row.exitCode) << &row - rows;
    }
}

// A rejected spec, or a parent-side step failing with EMFILE for want of room,
// names itself and leaves no descriptor open, even while the handle lives on.
TEST(ChildStartup, FailedStartLeavesNoDescriptorOpen) {
    const std::string bad = std::string(typeid(std::invalid_argument).name()) + " invalid FD for ";
    const std::string emfile = std::string(": ") + std::strerror(EMFILE) + " 24";
    struct Row {
        int room, in, out, err;
        std::string what;
    };
    // clang-format off
    const Row rows[] = {{6, FD_UNSET, FD_PIPE, FD_PIPE, bad + "stdin 0"}, {6, FD_STDOUT, FD_PIPE, FD_PIPE, bad + "stdin 0"},
        {6, FD_PIPE, FD_UNSET, FD_PIPE, bad + "stdout 0"}, {6, FD_PIPE, FD_STDOUT, FD_PIPE, bad + "stdout 0"},
        {6, FD_DEVNULL, FD_PIPE, -9, bad + "stderr 0"},
        {0, FD_PIPE, FD_PIPE, FD_PIPE, SE + " stdin pipe" + emfile}, {0, FD_DEVNULL, FD_PIPE, FD_PIPE, SE + " stdin /dev/null open" + emfile},
        {2, FD_PIPE, FD_PIPE, FD_PIPE, SE + " stdout pipe" + emfile}, {2, FD_PIPE, FD_DEVNULL, FD_PIPE, SE + " stdout /dev/null open" + emfile},
        {4, FD_PIPE, FD_PIPE, FD_PIPE, SE + " stderr pipe" + emfile}, {4, FD_PIPE, FD_PIPE, FD_DEVNULL, SE + " stderr /dev/null open" + emfile},
        {4, FD_PIPE, FD_PIPE, FD_STDOUT, SE + " pipe" + emfile}};
    // clang-format on
    for (const Row& row : rows) {
        const auto result = testsupport::runInChild([&] {
            ::syscall(SYS_close_range, 3U, ~0U, 0U);
            rlimit limit;
            ::getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = rlim_t(3 + row.room);
            ::setrlimit(RLIMIT_NOFILE, &limit);
            Launch launch{{"/bin/true"}};
            launch.in = row.in, launch.out = row.out, launch.err = row.err;
            ChildHandle handle;
            const Caught e = caught([&] { start(handle, launch); });
            int free = 0;
            while (::open("/dev/null", O_RDONLY) >= 0) ++free;
            std::printf("%s %s %d %d", e.type.c_str(), e.what.c_str(), e.code, free);
            return 0;
        });
        EXPECT_EQ(result.out, row.what + " " + std::to_string(row.room)) << result.err;
    }
}

// With a huge descriptor limit the child still starts, and only 0, 1 and 2 reach it.
TEST(ChildStartup, CloseDescriptorsLeavesOnlyTheStandardStreams) {
    const int extra = ::dup(2);
    Launch launch{{HELPER_FD_LISTER}};
    EXPECT_EQ(parseListing(run(launch).out).count(extra), 1U);
    launch.closeDescriptors = true;
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit huge{1048576, std::max<rlim_t>(saved.rlim_max, 1048576)};
    if (::setrlimit(RLIMIT_NOFILE, &huge) != 0) huge = {saved.rlim_max, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &huge), 0);
    const int high = int(huge.rlim_cur - 1);
    ASSERT_EQ(::dup2(extra, high), high);
    std::set<int> survivors;
    for (const auto& fd : parseListing(run(launch).out)) survivors.insert(fd.first);
    EXPECT_EQ(survivors, (std::set<int>{0, 1, 2}));
    kelmo::closeNoInt(high);
    kelmo::closeNoInt(extra);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
}

// Any split of the report, byte by byte included, rebuilds the same exception; a
// SystemError's code 0 means the parent's errno (EXDEV here), a bad one EINVAL.
TEST(ChildReportParser, RebuildsTheReportedExceptionFromAnySplit) {
    const std::string none = "an error in child process", longText = std::string(3000, 'x') + "end";
    struct Row {
        std::string bytes;
        Caught error;
        std::string clog;
    };
    // clang-format off
    const Row rows[] = {
        {"", {}, ""},
        {report({"ET: SystemError", "EM: execv: x", "EC: 2"}), {SE, err("execv: x", 2), 2}, ""},
        {report({"ET: SystemError"}), {SE, err(none, EXDEV), EXDEV}, ""},
        {report({"ET: SystemError", "EC: 0"}), {SE, err(none, EXDEV), EXDEV}, ""},
        {report({"ET: SystemError", "EC: "}), {SE, err(none, EINVAL), EINVAL}, ""},
        {report({"ET: SystemError", "EC: x"}), {SE, err(none, EINVAL), EINVAL}, ""},
        {report({"ET: SystemError", "EC:  5"}), {SE, err(none, EINVAL), EINVAL}, ""},
        {report({"ET: SystemError", "EC: 99999999999"}), {SE, err(none, EINVAL), EINVAL}, ""},
        {report({"ET: SystemError", "EC: -1"}), {SE, err(none, -1), -1}, ""},
        {report({"EC: 5", "EM: no kind"}), {}, ""},
        {report({"ET: std::runtime_error", "EM: first", "EM: second"}), {RE, "second"}, ""},
        {report({"ET: std::exception", "EM: lost"}), {typeid(std::exception).name(), "std::exception"}, ""},
        {report({"ET: Bogus", "EM: m"}), {typeid(std::bad_exception).name(), "std::bad_exception"}, ""},
        {report({"ET: std::runtime_error", "EM: " + longText}), {RE, longText}, ""},
        {report({"ET: std::runtime_error", "EM: unterminated"}, false), {RE, "unterminated"}, ""},
        {report({"hello", "ET:", "ET: std::runtime_error", "EM: m", "trailing"}, false), {RE, "m"},
         "child output: hello\nchild output: ET:\nchild output: trailing\n"},
    };
    // clang-format on
    for (const Row& row : rows) {
        for (const std::size_t step : {1UL, 3UL, 1024UL, 65536UL}) {
            ChildReportParser parser;
            for (std::size_t at = 0; at < row.bytes.size(); at += step) {
                parser.feed(row.bytes.data() + at, std::min(step, row.bytes.size() - at));
            }
            std::ostringstream sink;
            std::streambuf* const saved = std::clog.rdbuf(sink.rdbuf());
            parser.finish();
            std::clog.rdbuf(saved);
            errno = EXDEV;
            EXPECT_EQ(caught([&] { parser.raise(); }), row.error) << &row - rows << "/" << step;
            EXPECT_EQ(sink.str(), row.clog);
        }
    }
}

// A failed close throws unless an exception is propagating; then it is quiet and
// errno stays as the first failure left it. The pair closes its read end regardless.
TEST(OwnedDescriptor, DestructorsThrowOnlyWhenNothingPropagates) {
    EXPECT_EQ(caught([] { OwnedDescriptor().own(notOpen()); }), (Caught{SE, err("close", 9), 9}));
    for (const bool unwinding : {false, true}) {
        int readEnd = -1;
        const Caught result = caught([&] {
            PipePair pair;
            pair.create("pipe");
            readEnd = pair.readEnd.inUse();
            pair.writeEnd.own(notOpen());  // closes the real write end first
            OwnedDescriptor other;
            other.own(notOpen());
            errno = EXDEV;
            if (unwinding) throw std::runtime_error("first");
            other.release();
        });
        const Caught thrown{SE, err("pipe read-end close", EBADF), EBADF};
        EXPECT_EQ(result, (unwinding ? Caught{RE, "first"} : thrown));
        EXPECT_TRUE(!unwinding || errno == EXDEV);
        EXPECT_EQ(::fcntl(readEnd, F_GETFD), -1);
    }
}
