#include "process/SignalBlocker.h"

#include <cerrno>
#include <exception>

#include "common/Eintr.h"
#include "common/SystemError.h"

namespace kelmo::process {

SignalBlocker::~SignalBlocker() noexcept(false) {
    if (!active_) {
        return;
    }
    if (std::uncaught_exceptions() > 0) {
        const int savedErrno = errno;
        if (retryNoInt(::sigprocmask, SIG_SETMASK, &saved_, nullptr) == 0) {
            active_ = false;
        }
        errno = savedErrno;
        return;
    }
    if (retryNoInt(::sigprocmask, SIG_SETMASK, &saved_, nullptr) != 0) {
        throw SystemError("restore sigprocmask");
    }
    active_ = false;
}

void SignalBlocker::block(int signal) {
    sigset_t mask;
    if (retryNoInt(::sigprocmask, SIG_BLOCK, nullptr, &mask) != 0) {
        throw SystemError("get sigprocmask");
    }
    if (::sigaddset(&mask, signal) != 0) {
        throw SystemError("sigaddset");
    }
    // Only the first block remembers the mask: the scope restores what the
    // caller had, not an intermediate state.
    sigset_t previous;
    if (retryNoInt(::sigprocmask, SIG_BLOCK, &mask, &previous) != 0) {
        throw SystemError("set sigprocmask");
    }
    if (!active_) {
        saved_ = previous;
        active_ = true;
    }
}

}  // namespace kelmo::process
