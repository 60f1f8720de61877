#pragma once

#include <signal.h>

namespace kelmo::process {

// Blocks signals for the calling thread while in scope. The mask as it was
// before the first block() is put back when the scope ends.
//
// Destruction while active restores that mask; a failure throws
// SystemError("restore sigprocmask") unless an exception is propagating, in
// which case it is ignored and errno kept.
class SignalBlocker {
public:
    SignalBlocker() = default;
    ~SignalBlocker() noexcept(false);

    SignalBlocker(const SignalBlocker&) = delete;
    SignalBlocker& operator=(const SignalBlocker&) = delete;

    // Adds signal to the blocked set. Throws SystemError "get sigprocmask",
    // "sigaddset" or "set sigprocmask".
    void block(int signal);

    bool active() const noexcept { return active_; }

private:
    sigset_t saved_;
    bool active_ = false;
};

}  // namespace kelmo::process
