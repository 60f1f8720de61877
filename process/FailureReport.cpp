#include "process/FailureReport.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "common/Eintr.h"
#include "common/SystemError.h"
#include "process/ChildReportParser.h"

namespace kelmo::process {

namespace {

constexpr int EXIT_SYSTEM_ERROR = 67;
constexpr int EXIT_STD_EXCEPTION = 66;
constexpr int EXIT_UNKNOWN = 65;
constexpr std::size_t READ_CHUNK = 1024;

// A short count or a failure loses this piece; the next one is still tried.
void writePiece(int fd, const char* data, std::size_t size) noexcept {
    (void)retryNoInt(::write, fd, data, size);
}

}  // namespace

void writeChildReport(int controlFd, const char* kind, const char* message) noexcept {
    if (controlFd < 0) {
        return;
    }
    writePiece(controlFd, "ET: ", 4);
    writePiece(controlFd, kind, std::strlen(kind) + 1);
    writePiece(controlFd, "EM: ", 4);
    writePiece(controlFd, message, std::strlen(message) + 1);
}

void writeChildReportAndExit(int controlFd, const char* kind, const char* message,
                             int code) noexcept {
    writeChildReport(controlFd, kind, message);
    if (controlFd >= 0) {
        char piece[47];
        const int length = std::snprintf(piece, sizeof piece, "EC: %d", code);
        writePiece(controlFd, piece, static_cast<std::size_t>(length) + 1);
    }
    ::_exit(EXIT_SYSTEM_ERROR);
}

// Every way out is _exit: the child is a copy of its parent, and exit() would
// run the parent's exit handlers and flush its buffered output a second time.
void runChildGuarded(int controlFd, const boost::function<void()>& steps) noexcept {
    try {
        steps();
        throw std::logic_error("child start-up returned without exec");
    } catch (const SystemError& error) {
        writeChildReportAndExit(controlFd, "SystemError", error.what(), error.code());
    } catch (const std::runtime_error& error) {
        writeChildReport(controlFd, "std::runtime_error", error.what());
        ::_exit(EXIT_STD_EXCEPTION);
    } catch (const std::exception& error) {
        writeChildReport(controlFd, "std::exception", error.what());
        ::_exit(EXIT_STD_EXCEPTION);
    } catch (...) {
        writeChildReport(controlFd, "std::runtime_error", "unknown error");
        ::_exit(EXIT_UNKNOWN);
    }
}

void readChildReport(ChildHandle& handle) {
    ChildReportParser parser;
    char buffer[READ_CHUNK];
    for (;;) {
        const ssize_t count =
            retryNoInt(::read, handle.control.readEnd.inUse(), buffer, sizeof buffer);
        if (count < 0) {
            throw SystemError("control pipe read");
        }
        if (count == 0) {
            break;
        }
        parser.feed(buffer, static_cast<std::size_t>(count));
    }
    // The child has exec'd or exited; nothing more will come.
    handle.control.readEnd.closeQuietly();
    parser.finish();
    parser.raise();
}

}  // namespace kelmo::process
