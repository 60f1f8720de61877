#include "tool/ReservedStdout.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "common/Eintr.h"

namespace tarnwick {

ReservedStdout::ReservedStdout(bool reserve) {
    if (!reserve) {
        return;
    }
    // Close-on-exec, so that postconf children never hold the real output.
    saved_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ < 0 || null < 0 || kelmo::retryNoInt(dup2, null, STDOUT_FILENO) < 0) {
        kelmo::closeQuietly(saved_);
        saved_ = -1;
    }
    kelmo::closeQuietly(null);
}

void ReservedStdout::release() noexcept {
    if (saved_ < 0) {
        return;
    }
    // What is still buffered was written while reserved: it goes to /dev/null.
    std::cout.flush();
    std::fflush(stdout);
    kelmo::retryNoInt(dup2, saved_, STDOUT_FILENO);
    kelmo::closeQuietly(saved_);
    saved_ = -1;
}

}  // namespace tarnwick
