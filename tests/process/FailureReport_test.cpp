#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <sstream>

#include "helpers/stream_capture.h"
#include "process/ChildReportParser.h"
#include "process/ChildTestSupport.h"

using namespace childtest;

namespace {

const std::string SYSTEM_ERROR = typeid(kelmo::SystemError).name();

std::string report(std::initializer_list<std::string> pieces, bool terminated = true) {
    std::string bytes;
    for (const std::string& piece : pieces) bytes += piece + '\0';
    return terminated || bytes.empty() ? bytes : bytes.substr(0, bytes.size() - 1);
}

// Feeds the report in chunks of `step` bytes, then rebuilds the exception
// with errno set to EXDEV; `clog` receives what the parser echoed.
Caught parse(const std::string& bytes, std::size_t step, std::string& clog) {
    ChildReportParser parser;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        parser.feed(bytes.data() + at, std::min(step, bytes.size() - at));
    }
    std::ostringstream sink;
    std::streambuf* const saved = std::clog.rdbuf(sink.rdbuf());
    parser.finish();
    std::clog.rdbuf(saved);
    clog = sink.str();
    errno = EXDEV;
    try {
        parser.raise();
    } catch (...) {
        return caught(std::current_exception());
    }
    return {};
}

std::string withText(const std::string& message, int code) {
    return message + ": " + std::strerror(code);
}

}  // namespace

TEST(ChildReportParser, RebuildsTheReportedExceptionFromAnySplit) {
    const std::string runtimeError = typeid(std::runtime_error).name();
    const std::string noMessage = "an error in child process";
    struct Row {
        std::string bytes, type, what;
        int code;
    } rows[] = {
        {"", "none", "", 0},
        {report({"ET: SystemError", "EM: execv: x", "EC: 2"}), SYSTEM_ERROR,
         withText("execv: x", 2), 2},
        {report({"ET: SystemError"}), SYSTEM_ERROR, withText(noMessage, EXDEV), EXDEV},
        {report({"ET: SystemError", "EC: "}), SYSTEM_ERROR, withText(noMessage, 22), 22},
        {report({"ET: SystemError", "EC: x"}), SYSTEM_ERROR, withText(noMessage, 22), 22},
        {report({"ET: SystemError", "EC:  5"}), SYSTEM_ERROR, withText(noMessage, 22), 22},
        {report({"ET: SystemError", "EC: 99999999999"}), SYSTEM_ERROR, withText(noMessage, 22), 22},
        {report({"ET: SystemError", "EC: -1"}), SYSTEM_ERROR, withText(noMessage, -1), -1},
        {report({"ET: SystemError", "EC: 0"}), SYSTEM_ERROR, withText(noMessage, EXDEV), EXDEV},
        {report({"EC: 5", "EM: no kind"}), "none", "", 0},
        {report({"ET: std::runtime_error", "EM: first", "EM: second"}), runtimeError, "second", 0},
        {report({"ET: std::runtime_error", "EM: unterminated"}, false), runtimeError,
         "unterminated", 0},
        {report({"ET: std::exception", "EM: lost"}), typeid(std::exception).name(),
         "std::exception", 0},
        {report({"ET: Bogus", "EM: m"}), typeid(std::bad_exception).name(), "std::bad_exception",
         0},
        {report({"ET: std::runtime_error", "EM: " + std::string(3000, 'x') + "end"}), runtimeError,
         std::string(3000, 'x') + "end", 0},
    };
    for (const Row& row : rows) {
        for (const std::size_t step :
             {std::size_t{1}, std::size_t{3}, std::size_t{1024}, std::size_t{65536}}) {
            std::string clog;
            const Caught result = parse(row.bytes, step, clog);
            EXPECT_EQ(result.type, row.type) << row.what << " step " << step;
            EXPECT_EQ(result.what, row.what) << " step " << step;
            EXPECT_EQ(result.code, row.code) << row.what << " step " << step;
            EXPECT_EQ(clog, "");
        }
    }
}

TEST(ChildReportParser, UntaggedPiecesAreEchoedAndIgnored) {
    const std::string bytes =
        report({"hello", "ET:", "ET: std::runtime_error", "EM: m", "trailing"}, false);
    for (const std::size_t step : {std::size_t{1}, bytes.size()}) {
        std::string clog;
        EXPECT_EQ(parse(bytes, step, clog).what, "m");
        EXPECT_EQ(clog, "child output: hello\nchild output: ET:\nchild output: trailing\n");
    }
}

TEST(ChildReport, TravelsFromChildToParent) {
    const std::string noent = withText("execv", ENOENT);
    const std::string longText(3000, 'y');
    struct Row {
        const char* name;
        std::function<void(int)> child;
        std::string type, what;
        int code, exitCode;
    } rows[] = {
        {"with code",
         [&](int fd) { writeChildReportAndExit(fd, "SystemError", noent.c_str(), ENOENT); },
         SYSTEM_ERROR, withText(noent, ENOENT), ENOENT, 67},
        {"over many reads",
         [&](int fd) { writeChildReportAndExit(fd, "SystemError", longText.c_str(), 7); },
         SYSTEM_ERROR, withText(longText, 7), 7, 67},
        {"no descriptor", [](int) { writeChildReportAndExit(-1, "SystemError", "m", 2); }, "none",
         "", 0, 67},
        {"steps that return", [](int fd) { runChildGuarded(fd, [] {}); },
         typeid(std::exception).name(), "std::exception", 0, 66},
        {"killed first", [](int) { ::raise(SIGKILL); }, "none", "", 0, -1},
        {"silent exit", [](int) { ::_exit(0); }, "none", "", 0, 0},
    };
    for (const Row& row : rows) {
        ChildHandle handle;
        handle.control.create("pipe");
        testsupport::flushAll();
        handle.pid = ::fork();
        if (handle.pid == 0) {
            handle.control.readEnd.closeQuietly();
            row.child(handle.control.writeEnd.inUse());
            ::_exit(99);
        }
        handle.control.writeEnd.close();
        std::exception_ptr error;
        try {
            readChildReport(handle);
        } catch (...) {
            error = std::current_exception();
        }
        const Caught result = caught(error);
        EXPECT_EQ(result.type, row.type) << row.name;
        EXPECT_EQ(result.what, row.what) << row.name;
        EXPECT_EQ(result.code, row.code) << row.name;
        const int status = waitForChild(handle);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.exitCode) << row.name;
        // The reader closed the read end: reading again must fail, not succeed.
        EXPECT_EQ(handle.control.readEnd.inUse(), -1);
        try {
            readChildReport(handle);
            ADD_FAILURE() << row.name;
        } catch (const kelmo::SystemError& e) {
            EXPECT_EQ(std::string(e.what()), withText("control pipe read", EBADF));
        }
    }
}

TEST(ChildReport, WriterPutsPiecesOnThePipeByteForByte) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    testsupport::flushAll();
    const pid_t pid = ::fork();
    if (pid == 0) {
        writeChildReport(fds[1], "std::runtime_error", "m");
        writeChildReportAndExit(fds[1], "SystemError", "execv: x", -12);
    }
    kelmo::closeNoInt(fds[1]);
    EXPECT_EQ(readAll(fds[0]), report({"ET: std::runtime_error", "EM: m", "ET: SystemError",
                                       "EM: execv: x", "EC: -12"}));
    kelmo::closeNoInt(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 67);
}
