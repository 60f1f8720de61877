#include "process/PipePair.h"

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
    if (::pipe(fds) != 0) {
        throw SystemError(failureText);
    }
    readEnd.own(fds[0]);
    writeEnd.own(fds[1]);
}

}  // namespace kelmo::process
