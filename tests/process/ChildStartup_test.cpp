#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <set>

#include "helpers/stream_capture.h"
#include "process/ChildTestSupport.h"

using namespace childtest;

namespace {

const std::string SYSTEM_ERROR = typeid(kelmo::SystemError).name();
const std::string RUNTIME_ERROR = typeid(std::runtime_error).name();
const std::string STD_EXCEPTION = typeid(std::exception).name();

std::set<int> keys(const std::map<int, std::string>& fds) {
    std::set<int> numbers;
    for (const auto& entry : fds) numbers.insert(entry.first);
    return numbers;
}

// Makes the given system calls fail with `error` in this process and its
// children, to reach the paths taken on kernels without them.
void failSyscalls(std::initializer_list<int> numbers, int error) {
    std::vector<sock_filter> filter{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
    for (const int number : numbers) {
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1));
        filter.push_back(
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::abort();
    }
}

}  // namespace

// The child's 0, 1 and 2 are exactly what each spec names, as the child
// itself sees them.
TEST(ChildStartup, StreamsAreWhatTheSpecsName) {
    enum Kind { Pipe, DevNull, Inherit, Own, Borrowed, Stdout };
    const Kind rows[][3] = {{Pipe, Pipe, Pipe},
                            {DevNull, DevNull, DevNull},
                            {Inherit, Inherit, Inherit},
                            {Own, Own, Own},
                            {Borrowed, Borrowed, Borrowed},
                            {Pipe, Pipe, Stdout},
                            {Borrowed, DevNull, Stdout},
                            {Inherit, Inherit, Stdout}};
    const int borrowed = ::open("/tmp", O_TMPFILE | O_RDWR, 0600);
    ASSERT_GE(borrowed, 0);
    const std::string listing = "/tmp/h1-fd-listing-" + std::to_string(::getpid());
    for (const auto& row : rows) {
        int specs[3];
        for (int n = 0; n < 3; ++n) {
            const int values[] = {FD_PIPE, FD_DEVNULL, FD_INHERIT, n, borrowed, FD_STDOUT};
            specs[n] = values[row[n]];
        }
        std::vector<std::string> args{HELPER_FD_LISTER, listing};
        std::vector<char*> argv = cStrings(args);
        ChildHandle handle;
        startChild(handle, argv.data(), argv[0], nullptr, nullptr, false, false, false, {},
                   specs[0], specs[1], specs[2]);
        std::string expected[3];
        OwnedDescriptor* ends[] = {&handle.stdinEnd, &handle.stdoutEnd, &handle.stderrEnd};
        for (int n = 0; n < 3; ++n) {
            const std::string mode = n == 0 ? " r" : " w";
            switch (row[n]) {
                case Pipe: {
                    const std::string end = describeFd(ends[n]->inUse());
                    expected[n] = end.substr(0, end.rfind(' ')) + mode;
                    break;
                }
                case DevNull:
                    expected[n] = "/dev/null" + mode;
                    break;
                case Inherit:
                case Own:
                    expected[n] = describeFd(n);
                    break;
                case Borrowed:
                    expected[n] = describeFd(borrowed);
                    break;
                case Stdout:  // an inherited stdout leaves stderr inherited too
                    expected[n] = row[1] == Inherit ? describeFd(2) : expected[1];
                    break;
            }
        }
        readChildReport(handle);
        handle.stdinEnd.close();
        EXPECT_EQ(waitForChild(handle), 0);
        const int file = ::open(listing.c_str(), O_RDONLY | O_CLOEXEC);
        std::map<int, std::string> child = parseListing(testsupport::readWholeFile(file));
        kelmo::closeNoInt(file);
        for (int n = 0; n < 3; ++n) {
            EXPECT_EQ(child[n], expected[n]) << "row " << &row - rows << ", descriptor " << n;
        }
        // A borrowed descriptor stays open under its own number, in both.
        EXPECT_EQ(child.count(borrowed), 1U);
        EXPECT_NE(describeFd(borrowed), "");
    }
    ::unlink(listing.c_str());
    kelmo::closeNoInt(borrowed);
}

TEST(ChildStartup, DataFlowsThroughThePipes) {
    const char* script = "read line; echo \"out:$line\"; echo \"err:$line\" >&2; exit 3";
    Launch launch({"/bin/sh", "-c", script});
    launch.in = FD_PIPE;
    launch.input = "ping\n";
    Outcome separate = run(launch);
    EXPECT_EQ(separate.out, "out:ping\n");
    EXPECT_EQ(separate.err, "err:ping\n");
    EXPECT_EQ(separate.exitCode, 3);
    launch.err = FD_STDOUT;
    EXPECT_EQ(run(launch).out, "out:ping\nerr:ping\n");
}

// Every failure between fork and exec reaches the parent as the same kind of
// exception, and the child's exit status tells the kind apart.
TEST(ChildStartup, FailuresBeforeExecAreReported) {
    const std::string noent = std::string(": ") + std::strerror(ENOENT);
    const std::string badf = std::string(": ") + std::strerror(EBADF);
    struct Row {
        const char* name;
        std::function<void(Launch&)> change;
        std::string type, what;
        int code, exitCode;
    } rows[] = {
        {"bare name searched in PATH",
         [](Launch& l) {
             l.path = "sh";
             l.searchPath = true;
         },
         "none", "", 0, 0},
        {"bare name without search", [](Launch& l) { l.path = "sh"; }, SYSTEM_ERROR,
         "execv" + noent + noent, ENOENT, 67},
        {"missing program searched",
         [](Launch& l) {
             l.path = "no-such-program-h1";
             l.searchPath = true;
         },
         SYSTEM_ERROR, "execvp" + noent + noent, ENOENT, 67},
        {"environment given: path as it is",
         [](Launch& l) {
             l.path = "sh";
             l.searchPath = true;
             l.useEnv = true;
             l.env = {"PATH=/bin"};
         },
         SYSTEM_ERROR, "execve" + noent + noent, ENOENT, 67},
        {"environment replaces the parent's",
         [](Launch& l) {
             l.useEnv = true;
             l.env = {"PROBE=42"};
             l.args[2] = "test \"$PROBE\" = 42 -a -z \"$HOME\"";
         },
         "none", "", 0, 0},
        {"working directory",
         [](Launch& l) {
             l.workingDir = "/";
             l.args[2] = "test \"$(pwd)\" = /";
         },
         "none", "", 0, 0},
        {"missing working directory", [](Launch& l) { l.workingDir = "/no-such-dir-h1"; },
         SYSTEM_ERROR, "cwd chdir" + noent + noent, ENOENT, 67},
        {"stdin not open", [](Launch& l) { l.in = 987; }, SYSTEM_ERROR, "stdin dup2" + badf + badf,
         EBADF, 67},
        {"stdout not open", [](Launch& l) { l.out = 987; }, SYSTEM_ERROR,
         "stdout dup2" + badf + badf, EBADF, 67},
        {"stderr not open", [](Launch& l) { l.err = 987; }, SYSTEM_ERROR,
         "stderr dup2" + badf + badf, EBADF, 67},
        {"hook throws SystemError",
         [](Launch& l) { l.setup = [] { throw kelmo::SystemError("hook", EACCES); }; },
         SYSTEM_ERROR, std::string("hook: ") + std::strerror(EACCES) + ": " + std::strerror(EACCES),
         EACCES, 67},
        {"hook throws ExSystemError",
         [](Launch& l) { l.setup = [] { throw kelmo::ExSystemError<2>("hook"); }; }, SYSTEM_ERROR,
         "hook" + noent + noent, ENOENT, 67},
        {"hook throws runtime_error",
         [](Launch& l) { l.setup = [] { throw std::runtime_error("hook failed"); }; },
         RUNTIME_ERROR, "hook failed", 0, 66},
        {"hook throws logic_error",
         [](Launch& l) { l.setup = [] { throw std::logic_error("hook logic"); }; }, STD_EXCEPTION,
         "std::exception", 0, 66},
        {"hook throws an int", [](Launch& l) { l.setup = [] { throw 42; }; }, RUNTIME_ERROR,
         "unknown error", 0, 65},
    };
    for (Row& row : rows) {
        Launch launch({"/bin/sh", "-c", "exit 0"});
        row.change(launch);
        const Outcome result = run(launch);
        EXPECT_EQ(result.error.type, row.type) << row.name;
        EXPECT_EQ(result.error.what, row.what) << row.name;
        EXPECT_EQ(result.error.code, row.code) << row.name;
        EXPECT_EQ(result.exitCode, row.exitCode) << row.name;
    }
}

TEST(ChildStartup, HookAndSessionApplyInTheChild) {
    Launch launch(
        {"/bin/sh", "-c", "read -r pid comm state ppid pgrp sid rest < /proc/$$/stat; echo $sid"});
    launch.setup = [] { (void)!::write(1, "hook\n", 5); };  // after the redirection
    Outcome same = run(launch);
    EXPECT_NE(same.out, "hook\n" + std::to_string(same.pid) + "\n");
    EXPECT_EQ(same.out.substr(0, 5), "hook\n");
    launch.newSession = true;
    Outcome own = run(launch);
    EXPECT_EQ(own.out, "hook\n" + std::to_string(own.pid) + "\n");
}

TEST(ChildStartup, RejectedSpecsLeaveNothingOpen) {
    struct Row {
        int in, out, err;
        const char* what;
    } rows[] = {
        {FD_UNSET, FD_PIPE, FD_PIPE, "invalid FD for stdin"},
        {FD_STDOUT, FD_PIPE, FD_PIPE, "invalid FD for stdin"},
        {-6, FD_PIPE, FD_PIPE, "invalid FD for stdin"},
        {FD_PIPE, FD_UNSET, FD_PIPE, "invalid FD for stdout"},
        {FD_PIPE, FD_STDOUT, FD_PIPE, "invalid FD for stdout"},
        {FD_DEVNULL, FD_PIPE, FD_UNSET, "invalid FD for stderr"},
        {FD_PIPE, FD_DEVNULL, -9, "invalid FD for stderr"},
    };
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    for (const Row& row : rows) {
        const auto before = openFds();
        ChildHandle handle;  // outlives the failure: start-up itself must release
        try {
            startChild(handle, argv, argv[0], nullptr, nullptr, false, false, false, {}, row.in,
                       row.out, row.err);
            ADD_FAILURE() << row.what;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), row.what);
        }
        EXPECT_EQ(openFds(), before) << row.what;
        EXPECT_EQ(handle.pid, -1);
    }
}

// Each parent-side preparation step fails with EMFILE when the descriptor
// limit leaves too little room, names itself, and releases what it made.
TEST(ChildStartup, ParentFailuresNameTheStepAndReleaseDescriptors) {
    struct Row {
        int room, in, out, err;
        const char* what;
    } rows[] = {
        {0, FD_PIPE, FD_PIPE, FD_PIPE, "stdin pipe"},
        {0, FD_DEVNULL, FD_PIPE, FD_PIPE, "stdin /dev/null open"},
        {2, FD_PIPE, FD_PIPE, FD_PIPE, "stdout pipe"},
        {2, FD_PIPE, FD_DEVNULL, FD_PIPE, "stdout /dev/null open"},
        {4, FD_PIPE, FD_PIPE, FD_PIPE, "stderr pipe"},
        {4, FD_PIPE, FD_PIPE, FD_DEVNULL, "stderr /dev/null open"},
        {4, FD_PIPE, FD_PIPE, FD_STDOUT, "pipe"},
    };
    for (const Row& row : rows) {
        const auto result = testsupport::runInChild([&] {
            ::syscall(SYS_close_range, 3U, ~0U, 0U);
            rlimit limit;
            ::getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = static_cast<rlim_t>(3 + row.room);
            ::setrlimit(RLIMIT_NOFILE, &limit);
            Launch launch({"/bin/true"});
            launch.in = row.in, launch.out = row.out, launch.err = row.err;
            try {
                run(launch);
            } catch (const kelmo::SystemError& e) {
                int free = 0;
                while (::open("/dev/null", O_RDONLY) >= 0) ++free;
                std::printf("%s %d %d", e.what(), e.code(), free);
            }
            return 0;
        });
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, std::string(row.what) + ": " + std::strerror(EMFILE) + " " +
                                  std::to_string(EMFILE) + " " + std::to_string(row.room));
    }
}

// Only 0, 1 and 2 reach the program, however high the descriptor limit, and
// also where close_range is missing or the limit cannot be read.
TEST(ChildStartup, CloseDescriptorsLeavesOnlyTheStandardStreams) {
    int extra[2];
    ASSERT_EQ(::pipe(extra), 0);
    Launch launch({HELPER_FD_LISTER});
    const std::set<int> inherited = keys(parseListing(run(launch).out));
    EXPECT_EQ(inherited.count(extra[0]) + inherited.count(extra[1]), 2U);
    launch.closeDescriptors = true;
    EXPECT_EQ(keys(parseListing(run(launch).out)), (std::set<int>{0, 1, 2}));

    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit huge{1048576, std::max<rlim_t>(saved.rlim_max, 1048576)};
    if (::setrlimit(RLIMIT_NOFILE, &huge) != 0) {
        huge.rlim_max = saved.rlim_max;
        huge.rlim_cur = std::min<rlim_t>(1048576, saved.rlim_max);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &huge), 0);
    }
    const int high = static_cast<int>(huge.rlim_cur - 1);
    ASSERT_EQ(::dup2(extra[0], high), high);
    EXPECT_EQ(keys(parseListing(run(launch).out)), (std::set<int>{0, 1, 2}));
    kelmo::closeNoInt(high);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    struct Row {
        std::initializer_list<int> calls;
        int error;
        std::set<int> survivors;
    } rows[] = {
        {{SYS_close_range}, ENOSYS, {0, 1, 2}},
        {{SYS_close_range}, EINVAL, {0, 1, 2}},
        {{SYS_getrlimit, SYS_prlimit64}, EPERM, {0, 1, 2, 25}},  // limit taken as 20
    };
    for (const Row& row : rows) {
        const auto result = testsupport::runInChild([&] {
            ::syscall(SYS_close_range, 3U, ~0U, 0U);
            ::dup2(1, 10);
            ::dup2(1, 25);
            failSyscalls(row.calls, row.error);
            launch.out = FD_INHERIT;
            // The hook runs right after the closing; it lists what an exec
            // would keep, without an exec (a sanitizer runtime in the helper
            // would not start with getrlimit failing).
            launch.setup = [] {
                std::string listing;
                for (const auto& entry : openFds()) {
                    if ((::fcntl(entry.first, F_GETFD) & FD_CLOEXEC) == 0) {
                        listing += std::to_string(entry.first) + " " + entry.second + "\n";
                    }
                }
                (void)!::write(1, listing.data(), listing.size());
                ::_exit(0);
            };
            return run(launch).exitCode;
        });
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(keys(parseListing(result.out)), row.survivors);
    }
    kelmo::closeNoInt(extra[0]);
    kelmo::closeNoInt(extra[1]);
}

TEST(ChildStartup, SuccessLeavesNoDescriptorAndNoZombie) {
    const auto before = openFds();
    Launch launch({"/bin/sh", "-c", "cat; echo done >&2"});
    launch.in = FD_PIPE;
    launch.input = "data";
    const Outcome result = run(launch);
    EXPECT_EQ(result.out + result.err, "datadone\n");
    EXPECT_EQ(openFds(), before);
    int status;  // waitForChild reaped it: nothing left to collect
    EXPECT_EQ(::waitpid(result.pid, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}
