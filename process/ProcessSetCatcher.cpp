#include "process/ProcessSetCatcher.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <stdexcept>

#include "common/Eintr.h"
#include "common/SystemError.h"
#include "process/OwnedDescriptor.h"

namespace kelmo::process {

static_assert(std::atomic<ProcessSetCatcher*>::is_always_lock_free,
              "the handler reads instance_ and must not take a lock");

std::atomic<ProcessSetCatcher*> ProcessSetCatcher::instance_{nullptr};

ProcessSetCatcher::~ProcessSetCatcher() noexcept(false) {
    if (std::uncaught_exceptions() > 0) {
        const int savedErrno = errno;
        try {
            uninstall(true);
        } catch (...) {
            // The exception already in flight is the one to report.
        }
        errno = savedErrno;
        return;
    }
    uninstall(false);
}

void ProcessSetCatcher::install() {
    if (instance_.load() != nullptr) {
        throw std::logic_error("ProcessSetCatcher instance has been installed already");
    }

    struct sigaction action {};
    action.sa_sigaction = &ProcessSetCatcher::onChildSignal;
    if (retryNoInt(::sigprocmask, SIG_BLOCK, nullptr, &action.sa_mask) != 0) {
        throw SystemError("sigaction");
    }
    // No SA_RESTART: the owner's calls are all retried on EINTR anyway.
    action.sa_flags = SA_NOCLDSTOP | SA_SIGINFO;
    struct sigaction previous {};
    if (retryNoInt(::sigaction, SIGCHLD, &action, &previous) != 0) {
        throw SystemError("sigaction");
    }

    try {
        int fds[2];
        // Close-on-exec, else every child of the process would hold both ends.
        if (retryNoInt(::pipe2, fds, O_CLOEXEC) != 0) {
            throw SystemError("process set catcher control pipe");
        }
        // Held locally until the pipe is ready, so a failure closes both.
        OwnedDescriptor readEnd;
        OwnedDescriptor writeEnd;
        readEnd.own(fds[0]);
        writeEnd.own(fds[1]);
        // Both ends non-blocking: a full pipe must never block the handler,
        // nor an empty one the drain.
        readEnd.setNonBlocking("control pipe fcntl");
        writeEnd.setNonBlocking("control pipe fcntl");
        // Closing an end held from before may throw; the new one is handed
        // over only afterwards, so it cannot leak.
        control_.readEnd.close();
        control_.readEnd.own(readEnd.release());
        control_.writeEnd.close();
        control_.writeEnd.own(writeEnd.release());
    } catch (...) {
        // Leave no handler without its catcher behind: it would interrupt
        // the process's calls on every child's end for nothing.
        const int savedErrno = errno;
        (void)retryNoInt(::sigaction, SIGCHLD, &previous, nullptr);
        errno = savedErrno;
        throw;
    }
    savedAction_ = previous;
    instance_.store(this);
}

void ProcessSetCatcher::registerChild(pid_t pid) {
    children_[pid] = ChildStatus();
}

ChildStatus ProcessSetCatcher::childRecord(pid_t pid) const {
    const auto found = children_.find(pid);
    if (found == children_.end()) {
        throw std::out_of_range("no such pid");
    }
    // The handler writes status before reaped; reading in the opposite order
    // never yields reaped 1 with a stale status, even if it runs in between.
    ChildStatus copy;
    copy.reaped = found->second.reaped;
    std::atomic_signal_fence(std::memory_order_acquire);
    copy.status = found->second.status;
    if (copy.reaped == 0) {
        copy.status = -1;
    }
    return copy;
}

std::size_t ProcessSetCatcher::drain() {
    const int savedErrno = errno;
    const int fd = control_.readEnd.inUse();
    std::size_t count = 0;
    // Bytes are only counted, so a larger buffer reads the same pipe.
    char bytes[64];
    for (;;) {
        const ssize_t got = retryNoInt(::read, fd, bytes, sizeof bytes);
        if (got <= 0) {
            break;
        }
        count += static_cast<std::size_t>(got);
    }
    errno = savedErrno;
    return count;
}

void ProcessSetCatcher::uninstall(bool force) {
    if (instance_.load() != this) {
        return;
    }
    // SIGCHLD stays blocked while the pipe is closed, the table freed and the
    // disposition put back, and instance is cleared before anything else: a
    // handler that still runs returns at once, never writes into a pipe
    // whose read end is gone (SIGPIPE would kill the process) and never looks
    // into a table being freed. Everything is done before any failure is
    // reported, so a catcher whose uninstall throws never leaves its handler
    // pointing at freed storage.
    sigset_t childSignal;
    sigset_t previousMask;
    ::sigemptyset(&childSignal);
    ::sigaddset(&childSignal, SIGCHLD);
    const bool masked = retryNoInt(::sigprocmask, SIG_BLOCK, &childSignal, &previousMask) == 0;
    instance_.store(nullptr);
    control_.readEnd.closeQuietly();
    control_.writeEnd.closeQuietly();

    const bool stillRunning = !force && children_.size() > finished_;
    children_.clear();
    finished_ = 0;
    statusReports_ = 0;

    int restoreError = 0;
    if (retryNoInt(::sigaction, SIGCHLD, &savedAction_, nullptr) != 0) {
        restoreError = errno;
    }
    if (masked) {
        const int savedErrno = errno;
        (void)retryNoInt(::sigprocmask, SIG_SETMASK, &previousMask, nullptr);
        errno = savedErrno;
    }

    if (stillRunning) {
        throw std::logic_error("there're some child processes still running");
    }
    if (restoreError != 0) {
        throw SystemError("restore sigaction", restoreError);
    }
}

void ProcessSetCatcher::onChildSignal(int, siginfo_t*, void*) {
    ProcessSetCatcher* const self = instance_.load();
    if (self == nullptr) {
        return;
    }
    const int savedErrno = errno;
    // Several children can end behind one signal: reap until none is left.
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid == -1 && errno == EINTR) {
            continue;
        }
        if (pid <= 0) {
            break;
        }
        const auto found = self->children_.find(pid);
        if (found == self->children_.end()) {
            continue;  // not ours: its status is lost
        }
        ++self->statusReports_;
        found->second.status = status;
        std::atomic_signal_fence(std::memory_order_release);
        found->second.reaped = 1;
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            ++self->finished_;
            // The byte goes after both fields: whoever wakes on it sees the
            // complete record. A full pipe drops it; the loop is awake anyway.
            const char byte = 't';
            (void)retryNoInt(::write, self->control_.writeEnd.inUse(), &byte, 1);
        }
    }
    errno = savedErrno;
}

}  // namespace kelmo::process
