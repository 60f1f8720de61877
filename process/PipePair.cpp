#include "process/PipePair.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "common/SystemError.h"

namespace kelmo::process {

PipePair::~PipePair() noexcept(false) {
    if (std::uncaught_exceptions() > 0) {
        writeEnd.closeQuietly();
        readEnd.closeQuietly();
        return;
    }
    try {
        writeEnd.close();
    } catch (const SystemError& error) {
        readEnd.closeQuietly();
        throw SystemError("pipe read-end close", error.code());
    }
    readEnd.close();
}

void PipePair::create(const std::string& failureText) {
    int fds[2];
    // Close-on-exec: a child inherits only what its caller chose, never a
    // pipe of the library's own.
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw SystemError(failureText);
    }
    readEnd.own(fds[0]);
    writeEnd.own(fds[1]);
}

}  // namespace kelmo::process
